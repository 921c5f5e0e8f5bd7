// Read and write planning and the client request lists.
#include "plc/optimreq.h"

#include <gtest/gtest.h>

#include <string>

#include "plc_test_support.h"

namespace {

// A plan as text: register letter, address and length of every request, in order.
using Plan = std::string;
Plan Flatten(const OPTIMREQ_T* list) {
  Plan out;
  for (; list; list = list->next) {
    out += list->reg < 4 ? std::string(1, "XYSR"[list->reg]) : std::to_string(list->reg);
    out += std::to_string(list->addr) + "+" + std::to_string(list->len) + " ";
  }
  return out;
}

Plan ReadPlan(PUBFILE_T* pf) {
  OPTIMREQ_T* plan = CreatePFOptimReq(nullptr, pf);
  Plan out = Flatten(plan);
  RemoveOptimReq(plan);
  return out;
}

Plan ReadPlan(const std::string& text) {
  auto pf = kt::ReadText(text);
  EXPECT_TRUE(pf);
  return ReadPlan(pf.get());
}

CLIREQ_T* Request(CLIREQ_T* list, const char* name, const std::string& value) {
  CLIREQ_T* r = AddCliReqRec(list);
  snprintf(r->name, sizeof r->name, "%s", name);
  snprintf(r->value, sizeof r->value, "%s", value.c_str());
  return list ? list : r;
}

}  // namespace

using Planning = kt::PlcTest;

TEST_F(Planning, ReadPlanMergesNeighbours) {
  std::string many;  // a long run of neighbours is cut into blocks of 246
  for (int i = 0; i < 300; ++i)
    many += "V" + std::to_string(i) + " R 0 " + std::to_string(i) + " BYTE\n";
  const struct {
    const char* what;
    std::string text;
    Plan want;
  } rows[] = {{"dword word byte", "A R 0 0 DWORD\nB R 0 4 WORD\nC R 0 20 BYTE\n", "R0+6 R20+1 "},
              {"gap 9 merged", "A R 0 0 BYTE\nB R 0 10 BYTE\n", "R0+11 "},
              {"gap 10 split", "A R 0 0 BYTE\nB R 0 11 BYTE\n", "R0+1 R11+1 "},
              {"word and bool", "W R 0 10 WORD\nB R 0 10 .3 BOOL\n", "R10+2 "},
              {"bool bit 9", "B R 0 4 .9 BOOL\n", "R4+2 "},
              {"string 255", "S R 0 100 STRING[255]\n", "R100+246 R346+9 "},
              {"x then y", "A X 0 0 BYTE\nB Y 0 1 BYTE\n", "X0+1 Y1+1 "},
              {"300 bytes", many, "R0+246 R246+54 "}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(ReadPlan(row.text), row.want);
  }
}

TEST_F(Planning, ReadPlanSkipsDisabledAndAddsTheProjectCrc) {
  auto pf = kt::ReadText("A R 0 0 INT\nB R 0 40 INT\n__PF_CRC R 0 2 UDINT\n");
  ASSERT_TRUE(pf);
  DisablePubFile(pf.get(), "B", -1);
  DisablePubFile(pf.get(), "__PF_CRC", -1);
  EXPECT_EQ(ReadPlan(pf.get()), "R0+2 R2+4 ");
  // In state 4 the walk covers it too, and the extra request still follows.
  kt::SetAlways(pf.get(), "__PF_CRC");
  EXPECT_EQ(ReadPlan(pf.get()), "R0+6 R2+4 ");

  // The bit of a lone BOOL is marked on its request.
  auto bits = kt::ReadText("W R 0 10 WORD\nF R 0 12 .3 BOOL\n");
  OPTIMREQ_T* p = CreatePFOptimReq(nullptr, bits.get());
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->bit, 3);
  EXPECT_EQ(p->len, 3u);
  RemoveOptimReq(p);
}

TEST_F(Planning, OverlapKeepsWhatWasCovered) {
  kt::LogCapture log;
  // Bit 250 puts B's key (2 + 25) after C's (20) although B's address is lower. Cutting C's
  // request down to B's 32 bytes would stop reading the end of C; B gets a request of its own.
  EXPECT_EQ(ReadPlan("A R 0 0 BYTE\nC R 0 20 STRING[40]\nB R 0 2 .250 BOOL\nD R 0 70 BYTE\n"),
            "R0+1 R20+40 R2+32 R70+1 ");
  EXPECT_TRUE(log.Has("Overlapping address: B 2 (20)"));
}

TEST_F(Planning, WritePlan) {
  auto pf = kt::ReadText(
      "LEVEL R 0 20 INT\nPUMP X 0 0 .3 BOOL\nMSG R 0 32 STRING[16]\nLONG R 0 100 STRING[255]\n");
  ASSERT_TRUE(pf);
  CLIREQ_T* req = Request(nullptr, "LEVEL", "300");
  Request(req, "PUMP", "TRUE");
  Request(req, "MSG", "hello");
  OPTIMREQ_T* plan = CreateCLIOptimReq(nullptr, pf.get(), req);
  ASSERT_NE(plan, nullptr);
  EXPECT_EQ(Flatten(plan), "R20+2 X0+1 R32+16 ");
  EXPECT_EQ(plan->bit, 255);
  EXPECT_EQ(plan->data[0] | plan->data[1] << 8, 300);
  EXPECT_EQ(plan->next->bit, 3);
  EXPECT_EQ(plan->next->data[0], 0x08);  // only its own bit
  EXPECT_EQ(std::string(reinterpret_cast<char*>(plan->next->next->data)), "hello");
  RemoveOptimReq(plan);

  // A long STRING carries its own bytes in every piece.
  CLIREQ_T* lng = Request(nullptr, "LONG", std::string(246, 'a') + "012345678");
  plan = CreateCLIOptimReq(nullptr, pf.get(), lng);
  ASSERT_NE(plan, nullptr);
  EXPECT_EQ(Flatten(plan), "R100+246 R346+9 ");
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

TEST_F(Planning, ClientListSortAndUnknownKey) {
  auto pf = kt::ReadText("A R 0 30 INT\nB R 0 10 .5 BOOL\nC R 0 10 .2 BOOL\nD X 0 20 INT\n");
  ASSERT_TRUE(pf);
  CLIREQ_T* list = nullptr;
  for (const char* n : {"A", "B", "C", "D"}) {
    list = Request(list, n, "1");
    FindCliReqRec(list, n)->key = FindPubFileRec(pf.get(), n)->key;
  }
  list = SortCliReq(list, pf.get());
  std::string order;
  for (CLIREQ_T* r = list; r; r = r->next) order += r->name;
  EXPECT_EQ(order, "CBDA");  // by address, then bit; the register does not count

  // A key without a record fails the sort.
  kt::LogCapture log;
  FindCliReqRec(list, "A")->key = 12.5;
  EXPECT_EQ(SortCliReq(list, pf.get()), nullptr);
  EXPECT_TRUE(log.Has("Unable to found record for key: 12.500000"));
  RemoveCliReq(list, nullptr);
}
