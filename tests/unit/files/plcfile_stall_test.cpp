// A PLC that keeps answering a read or a write with no bytes would keep a transfer going
// forever; after three such answers in a row the transfer fails like any other.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "files/fileaccess.h"
#include "files_test_support.h"
#include "link/dorvik.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A scripted PLC: opens succeed with a 100-byte file, reads and writes move nothing.
struct StallingPlc {
  std::vector<int> subs;  // sub-command of every exchange
};

Bytes Le32(uint32_t v) {
  return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
          static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
}

int StallingSend(void* endpoint, const unsigned char* request, unsigned char* reply,
                 int request_len, int reply_len, int* error, int reply_cap) {
  StallingPlc* plc = static_cast<StallingPlc*>(endpoint);
  *error = 0;
  if (request_len < 10) return 1;
  const unsigned char* d = request + 7;  // 0x28, sub-command, parameters
  plc->subs.push_back(d[1]);
  Bytes data = Le32(0);  // status
  switch (d[1]) {
    case 2:  // open: handle 7, length 100, stamps and attributes
      for (const Bytes& b : {Le32(7), Le32(100)}) data.insert(data.end(), b.begin(), b.end());
      data.resize(32, 1);
      break;
    case 4:
    case 5:  // read / write: same handle and offset, no bytes
      data.insert(data.end(), d + 2, d + 6);
      data.insert(data.end(), d + 6, d + 10);
      for (unsigned char b : Le32(0)) data.push_back(b);
      break;
    default:
      break;
  }
  Bytes f = {0x68,
             static_cast<unsigned char>(data.size() + 3),
             static_cast<unsigned char>(data.size() + 3),
             0x68,
             5,
             0,
             0x08};
  unsigned sum = 5 + 0 + 0x08;
  for (unsigned char b : data) {
    f.push_back(b);
    sum += b;
  }
  f.push_back(static_cast<unsigned char>(sum));
  f.push_back(0x16);
  int cap = reply_len < reply_cap ? reply_len : reply_cap;
  memset(reply, 0, static_cast<size_t>(cap));
  memcpy(reply, f.data(), f.size() < static_cast<size_t>(cap) ? f.size() : cap);
  return 0;
}

size_t CountSub(const StallingPlc& plc, int sub) {
  size_t n = 0;
  for (int s : plc.subs) n += (s == sub);
  return n;
}

}  // namespace

using StalledTransfer = ft::InScratch;

TEST_F(StalledTransfer, ThreeEmptyAnswersFailTheReadAndTheWrite) {
  StallingPlc plc;
  DORVIK_T link{};
  link.plc_addr = 0;
  link.own_addr = 5;
  ASSERT_EQ(Dorvik_ATTACH(&link, StallingSend, &plc, 1), 0);

  ft::Rec rec;
  EXPECT_EQ(GetDorvikFile(&rec, "", "stall.bin", &link, 0), -1);
  EXPECT_EQ(CountSub(plc, 4), 3u);
  EXPECT_TRUE(log->Has("Unable to read PLC file: stall.bin"));
  EXPECT_EQ(rec.end.load(), rec.data);  // nothing arrived
  EXPECT_EQ(rec.busy.load(), 2);

  plc.subs.clear();
  ft::Rec out;
  out.data = static_cast<char*>(malloc(50));
  memset(out.data, 'w', 50);
  out.size.store(50);
  EXPECT_EQ(WriteDorvikFile(&out, "", "stall.bin", &link, 0), -1);
  EXPECT_EQ(CountSub(plc, 5), 3u);
  EXPECT_TRUE(log->Has("Unable to write file to PLC: stall.bin"));
  Dorvik_EXIT(&link);
}
