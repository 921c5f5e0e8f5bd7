// Read and write planning and the client request lists.
#include "plc/optimreq.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "plc_test_support.h"

namespace {

// A plan as text: register, address, length and (unless 255) bit of every request, in order.
std::string Flatten(const OPTIMREQ_T* list) {
  std::string out;
  for (; list; list = list->next) {
    out += list->reg < 4 ? std::string(1, "XYSR"[list->reg]) : std::to_string(list->reg) + ":";
    out += std::to_string(list->addr) + "+" + std::to_string(list->len);
    out += (list->bit == 255 ? "" : "." + std::to_string(list->bit)) + " ";
  }
  return out;
}

// The read plan of a public file given as lines separated by ','.
std::string ReadPlan(std::string lines) {
  std::replace(lines.begin(), lines.end(), ',', '\n');
  auto pf = kt::ReadText(lines);
  OPTIMREQ_T* plan = CreatePFOptimReq(nullptr, pf.get());
  std::string out = Flatten(plan);
  RemoveOptimReq(plan);
  return out;
}

CLIREQ_T* Request(CLIREQ_T* list, const char* name, const std::string& value) {
  CLIREQ_T* r = AddCliReqRec(list);
  snprintf(r->name, sizeof r->name, "%s", name);
  snprintf(r->value, sizeof r->value, "%s", value.c_str());
  return list ? list : r;
}

}  // namespace

using Planning = kt::PlcTest;

TEST_F(Planning, WriteAndReadPlans) {
  auto pf = kt::ReadText(
      "LEVEL R 0 20 INT\nPUMP X 0 0 .3 BOOL\nLOW X 0 1 .0 BOOL\n"
      "MSG R 0 32 STRING[16]\nLONG R 0 100 STRING[255]\n");
  ASSERT_TRUE(pf);
  CLIREQ_T* req = Request(nullptr, "LEVEL", "300");
  Request(req, "PUMP", "true");
  Request(req, "LOW", "1");
  Request(req, "MSG", "hello");
  Request(req, "LONG", std::string(246, 'a') + "012345678");
  OPTIMREQ_T* plan = CreateCLIOptimReq(nullptr, pf.get(), req);
  EXPECT_EQ(Flatten(plan), "R20+2 X0+1.3 X1+1.0 R32+16 R100+246 R346+9 ");
  // Each request's bytes; a BOOL's carry only its own bit, a long value's pieces their part.
  std::string data;
  for (OPTIMREQ_T* p = plan; p; p = p->next)
    data += std::string(reinterpret_cast<char*>(p->data), std::min<uint32_t>(p->len, 7)) + "|";
  EXPECT_EQ(data, std::string("\x2c\x01|\x08|\x01|hello\0\0|aaaaaaa|0123456|", 31));
  RemoveOptimReq(plan);

  // Unknown name: no plan, and a list passed in is left as it was.
  Request(req, "NOPE", "1");
  OPTIMREQ_T* keep = AddOptimReqRec(nullptr);
  EXPECT_EQ(CreateCLIOptimReq(keep, pf.get(), req), nullptr);
  EXPECT_TRUE(Logged("Unknown variable name: NOPE"));
  EXPECT_EQ(keep->next, nullptr);
  RemoveOptimReq(keep);
  RemoveCliReq(req, nullptr);

  // variables | plan: up to 9 bytes between two variables are read along; a block holds at most
  // 246 bytes; a BOOL reads up to its bit's byte; registers are never merged; disabled variables
  // are not read; __PF_CRC gets a request of its own at the end, whatever its state.
  for (const char* row :
       {"A R 0 0 DWORD,B R 0 4 WORD,C R 0 20 BYTE|R0+6 R20+1 ", "A R 0 0 BYTE,B R 0 10 BYTE|R0+11 ",
        "A R 0 0 BYTE,B R 0 11 BYTE|R0+1 R11+1 ", "W R 0 10 WORD,B R 0 10 .3 BOOL|R10+2.3 ",
        "B R 0 4 .0 BOOL|R4+1.0 ", "B R 0 4 .7 BOOL|R4+1.7 ", "B R 0 4 .8 BOOL|R4+2.8 ",
        "B R 0 4 .17 BOOL|R4+3.17 ", "S R 0 100 STRING[246]|R100+246 ",
        "S R 0 100 STRING[247]|R100+246 R346+1.0 ", "S R 0 100 STRING[255]|R100+246 R346+9.0 ",
        "A R 0 0 STRING[200],B R 0 200 STRING[46]|R0+246 ",
        "A R 0 0 STRING[200],B R 0 200 STRING[47]|R0+246 R246+1.0 ",
        "A R 0 0 STRING[200],B R 0 205 STRING[95]|R0+246 R246+54.0 ",
        "A X 0 0 BYTE,B Y 0 1 BYTE|X0+1 Y1+1 ", "A E 0 0 BYTE,B D0 0 1 BYTE|10:0+1 128:1+1 ",
        "A R 0 0 INT,B R 0 40 INT,__PF_CRC R 0 2 UDINT|R0+6 R40+2 R2+4 ",
        // B's bit puts it after C although its address is lower: cutting C's request down to
        // B's 32 bytes would stop reading the end of C, so B gets a request of its own.
        "A R 0 0 BYTE,C R 0 20 STRING[40],B R 0 2 .250 BOOL,D R 0 70 BYTE|"
        "R0+1 R20+40.250 R2+32 R70+1 "}) {
    EXPECT_EQ(ReadPlan(kt::Cols(row)[0]), kt::Cols(row)[1]) << row;
  }
  EXPECT_TRUE(Logged("Overlapping address: B 2 (20)"));
  pf_var_disabled = 1;
  EXPECT_EQ(ReadPlan("A R 0 0 INT,__PF_CRC R 0 2 UDINT"), "R2+4 ");
  EXPECT_EQ(CreatePFOptimReq(nullptr, nullptr), nullptr);
}
