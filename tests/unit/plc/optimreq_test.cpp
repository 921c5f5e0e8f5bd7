// Read and write planning and the client request lists.
#include "plc/optimreq.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/globals.h"
#include "plc/plcdef.h"
#include "plc_test_support.h"

namespace {

struct Planning : ::testing::Test {
  void SetUp() override {
    ResetGlobalSettings();
    pubfile_read_pause_ms = 0;
  }
  void TearDown() override { ResetGlobalSettings(); }
};

struct Req {
  int reg;
  uint32_t addr;
  uint32_t len;
  bool operator==(const Req& o) const { return reg == o.reg && addr == o.addr && len == o.len; }
};

std::ostream& operator<<(std::ostream& os, const Req& r) {
  return os << "{" << r.reg << "," << r.addr << "," << r.len << "}";
}

std::vector<Req> Flatten(const OPTIMREQ_T* list) {
  std::vector<Req> out;
  for (; list; list = list->next) out.push_back({list->reg, list->addr, list->len});
  return out;
}

std::vector<Req> ReadPlan(const std::string& text) {
  auto pf = kt::ReadText(text);
  EXPECT_TRUE(pf);
  OPTIMREQ_T* plan = CreatePFOptimReq(nullptr, pf.get());
  std::vector<Req> out = Flatten(plan);
  RemoveOptimReq(plan);
  return out;
}

CLIREQ_T* Request(CLIREQ_T* list, const char* name, const char* value) {
  CLIREQ_T* r = AddCliReqRec(list);
  snprintf(r->name, sizeof r->name, "%s", name);
  snprintf(r->value, sizeof r->value, "%s", value);
  return list ? list : r;
}

}  // namespace

TEST_F(Planning, ReadPlanMergesNeighbours) {
  const int R = PLC_REG_R;
  EXPECT_EQ(ReadPlan("A R 0 0 DWORD\nB R 0 4 WORD\nC R 0 20 BYTE\n"),
            (std::vector<Req>{{R, 0, 6}, {R, 20, 1}}));
  EXPECT_EQ(ReadPlan("A R 0 0 BYTE\nB R 0 10 BYTE\n"), (std::vector<Req>{{R, 0, 11}}));
  EXPECT_EQ(ReadPlan("A R 0 0 BYTE\nB R 0 11 BYTE\n"), (std::vector<Req>{{R, 0, 1}, {R, 11, 1}}));
  EXPECT_EQ(ReadPlan("W R 0 10 WORD\nB R 0 10 .3 BOOL\n"), (std::vector<Req>{{R, 10, 2}}));
  EXPECT_EQ(ReadPlan("B R 0 4 .9 BOOL\n"), (std::vector<Req>{{R, 4, 2}}));
  EXPECT_EQ(ReadPlan("S R 0 100 STRING[255]\n"), (std::vector<Req>{{R, 100, 246}, {R, 346, 9}}));
  EXPECT_EQ(ReadPlan("A X 0 0 BYTE\nB Y 0 1 BYTE\n"),
            (std::vector<Req>{{PLC_REG_X, 0, 1}, {PLC_REG_Y, 1, 1}}));

  // A long run of neighbours is cut into blocks of 246.
  std::string many;
  for (int i = 0; i < 300; ++i)
    many += "V" + std::to_string(i) + " R 0 " + std::to_string(i) + " BYTE\n";
  EXPECT_EQ(ReadPlan(many), (std::vector<Req>{{R, 0, 246}, {R, 246, 54}}));
}

TEST_F(Planning, ReadPlanSkipsDisabledAndAddsTheProjectCrc) {
  auto pf = kt::ReadText("A R 0 0 INT\nB R 0 40 INT\n__PF_CRC R 0 2 UDINT\n");
  ASSERT_TRUE(pf);
  DisablePubFile(pf.get(), "B", -1);
  DisablePubFile(pf.get(), "__PF_CRC", -1);
  OPTIMREQ_T* plan = CreatePFOptimReq(nullptr, pf.get());
  EXPECT_EQ(Flatten(plan), (std::vector<Req>{{PLC_REG_R, 0, 2}, {PLC_REG_R, 2, 4}}));

  // In state 4 the walk covers it too, and the extra request still follows.
  PUBFILE_R* crc = FindPubFileRec(pf.get(), "__PF_CRC");
  crc->state = PF_ALWAYS;
  pf->addrs[crc->key].state = PF_ALWAYS;
  OPTIMREQ_T* again = CreatePFOptimReq(nullptr, pf.get());
  EXPECT_EQ(Flatten(again), (std::vector<Req>{{PLC_REG_R, 0, 6}, {PLC_REG_R, 2, 4}}));

  // Appended to an existing list, which keeps its head.
  OPTIMREQ_T* both = CreatePFOptimReq(plan, pf.get());
  EXPECT_EQ(both, plan);
  EXPECT_EQ(Flatten(both).size(), 4u);
  RemoveOptimReq(both);
  RemoveOptimReq(again);
  EXPECT_EQ(CreatePFOptimReq(nullptr, nullptr), nullptr);

  // Bit and BOOL marking.
  auto bits = kt::ReadText("W R 0 10 WORD\nF R 0 12 .3 BOOL\n");
  OPTIMREQ_T* p = CreatePFOptimReq(nullptr, bits.get());
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->bit, 3);
  EXPECT_EQ(p->len, 3u);
  RemoveOptimReq(p);
}

TEST_F(Planning, OverlapKeepsWhatWasCovered) {
  kt::LogCapture log;
  // Bit 250 puts B's key (2 + 25) after C's (20) although B's address is lower.
  auto pf = kt::ReadText("A R 0 0 BYTE\nC R 0 20 STRING[40]\nB R 0 2 .250 BOOL\nD R 0 70 BYTE\n");
  ASSERT_TRUE(pf);
  OPTIMREQ_T* plan = CreatePFOptimReq(nullptr, pf.get());
  std::vector<Req> got = Flatten(plan);
  RemoveOptimReq(plan);
  EXPECT_TRUE(log.Has("Overlapping address: B 2 (20)"));
  // Cutting C's request down to B's 32 bytes would stop reading the end of C; B gets a request
  // of its own and C keeps its 40 bytes.
  EXPECT_EQ(got,
            (std::vector<Req>{
                {PLC_REG_R, 0, 1}, {PLC_REG_R, 20, 40}, {PLC_REG_R, 2, 32}, {PLC_REG_R, 70, 1}}));
}

TEST_F(Planning, WritePlan) {
  auto pf = kt::ReadText(
      "LEVEL R 0 20 INT\nPUMP X 0 0 .3 BOOL\nHIGH X 0 0 .9 BOOL\nMSG R 0 32 STRING[16]\n"
      "LONG R 0 100 STRING[255]\n");
  ASSERT_TRUE(pf);
  CLIREQ_T* req = Request(nullptr, "LEVEL", "300");
  Request(req, "PUMP", "TRUE");
  Request(req, "MSG", "hello");
  EXPECT_EQ(req->flags, 1);
  EXPECT_EQ(req->next->flags, 0);
  OPTIMREQ_T* plan = CreateCLIOptimReq(nullptr, pf.get(), req);
  ASSERT_NE(plan, nullptr);
  EXPECT_EQ(Flatten(plan),
            (std::vector<Req>{{PLC_REG_R, 20, 2}, {PLC_REG_X, 0, 1}, {PLC_REG_R, 32, 16}}));
  EXPECT_EQ(plan->bit, 255);
  EXPECT_EQ(plan->data[0] | plan->data[1] << 8, 300);
  EXPECT_EQ(plan->next->bit, 3);
  EXPECT_EQ(plan->next->data[0], 0x08);  // only its own bit
  EXPECT_EQ(std::string(reinterpret_cast<char*>(plan->next->next->data)), "hello");
  RemoveOptimReq(plan);

  // A long STRING carries its own bytes in every piece.
  std::string text(255, 'a');
  for (int i = 246; i < 255; ++i) text[i] = static_cast<char>('0' + i - 246);
  CLIREQ_T* lng = Request(nullptr, "LONG", text.c_str());
  plan = CreateCLIOptimReq(nullptr, pf.get(), lng);
  ASSERT_NE(plan, nullptr);
  EXPECT_EQ(Flatten(plan), (std::vector<Req>{{PLC_REG_R, 100, 246}, {PLC_REG_R, 346, 9}}));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(plan->data), 246), std::string(246, 'a'));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(plan->next->data), 9), "012345678");
  RemoveOptimReq(plan);

  // Unknown name: no plan, and a list passed in is left as it was.
  kt::LogCapture log;
  Request(req, "NOPE", "1");
  OPTIMREQ_T* keep = AddOptimReqRec(nullptr);
  EXPECT_EQ(CreateCLIOptimReq(keep, pf.get(), req), nullptr);
  EXPECT_TRUE(log.Has("Unknown variable name: NOPE"));
  EXPECT_EQ(keep->next, nullptr);
  RemoveOptimReq(keep);
  RemoveCliReq(req, nullptr);
  RemoveCliReq(lng, nullptr);
}

TEST_F(Planning, OptimListHandling) {
  OPTIMREQ_T* a = AddOptimReqRec(nullptr);
  OPTIMREQ_T* a2 = AddOptimReqRec(a);
  OPTIMREQ_T* b = AddOptimReqRec(nullptr);
  EXPECT_EQ(a->next, a2);
  EXPECT_EQ(a2->prev, a);
  EXPECT_EQ(AddOptimReq(nullptr, b), b);
  EXPECT_EQ(AddOptimReq(a, b), a);
  EXPECT_EQ(a2->next, b);
  EXPECT_EQ(b->prev, a2);
  EXPECT_EQ(RemoveOptimReqRec(a2), a);
  EXPECT_EQ(a->next, b);
  EXPECT_EQ(RemoveOptimReqRec(a), b);
  EXPECT_EQ(b->prev, nullptr);
  RemoveOptimReq(b);
  RemoveOptimReq(nullptr);
}

TEST_F(Planning, ClientListsFindRemoveAndSort) {
  auto pf = kt::ReadText("A R 0 30 INT\nB R 0 10 .5 BOOL\nC R 0 10 .2 BOOL\nD X 0 20 INT\n");
  ASSERT_TRUE(pf);
  CLIREQ_T* list = nullptr;
  for (const char* n : {"A", "B", "C", "D"}) {
    list = Request(list, n, "1");
    FindCliReqRec(list, n)->key = FindPubFileRec(pf.get(), n)->key;
  }
  EXPECT_EQ(FindCliReqRec(list, "Q"), nullptr);

  list = SortCliReq(list, pf.get());
  ASSERT_NE(list, nullptr);
  std::string order;
  for (CLIREQ_T* r = list; r; r = r->next) {
    order += r->name;
    if (r->next) {
      EXPECT_EQ(r->next->prev, r);
    }
  }
  EXPECT_EQ(order, "CBDA");  // by address, then bit; the register does not count
  EXPECT_EQ(list->prev, nullptr);

  // Remove a run in the middle: C B [D] A -> C B A
  CLIREQ_T* d = FindCliReqRec(list, "D");
  RemoveCliReq(d, d);
  order.clear();
  for (CLIREQ_T* r = list; r; r = r->next) order += r->name;
  EXPECT_EQ(order, "CBA");
  EXPECT_EQ(FindCliReqRec(list, "A")->prev, FindCliReqRec(list, "B"));

  EXPECT_EQ(RemoveCliReqRec(FindCliReqRec(list, "B")), FindCliReqRec(list, "C"));

  kt::LogCapture log;
  FindCliReqRec(list, "A")->key = 12.5;
  EXPECT_EQ(SortCliReq(list, pf.get()), nullptr);
  EXPECT_TRUE(log.Has("Unable to found record for key: 12.500000"));
  RemoveCliReq(list, nullptr);
}
