// PLC files over the file transfer service: empty, small and multi-exchange reads, a reply
// with the wrong handle, writing in pieces, information, names never asked of the PLC, and a
// PLC that answers reads and writes with no bytes.
#include <algorithm>

#include "files/fileaccess.h"
#include "files_test_support.h"

using PlcFiles = ft::WithPlc;

TEST_F(PlcFiles, ReadEmptySmallAndMultiExchangeFiles) {
  ASSERT_EQ(sim.Ctl("fileput empty.txt"), "OK");
  ft::Rec rec;
  long before = sim.Requests();
  ASSERT_EQ(GetDorvikFile(&rec, "", "empty.txt", &link, 10), 0);
  EXPECT_EQ(sim.Requests() - before, 2);  // open and close
  EXPECT_EQ(rec.size.load(), 0);
  ASSERT_NE(rec.data, nullptr);
  EXPECT_EQ(rec.data[0], '\0');
  EXPECT_EQ(rec.end.load(), rec.data);
  EXPECT_EQ(rec.source, 2);

  // 500 bytes: one read call over UDP (three frames); 3000 bytes: three calls of up to 1150.
  for (auto [size, exchanges] : {std::pair<size_t, long>{500, 3}, {3000, 5}}) {
    SCOPED_TRACE(size);
    const std::string text = ft::Pattern(size);
    ASSERT_EQ(sim.Ctl("fileput dir/f.bin " + ft::Hex(text)), "OK");
    before = sim.Requests();
    ASSERT_EQ(GetDorvikFile(&rec, "", "dir/f.bin", &link, 10), 0);
    EXPECT_EQ(sim.Requests() - before, exchanges);
    ASSERT_EQ(rec.size.load(), static_cast<int64_t>(size));
    EXPECT_EQ(std::string(rec.data, size), text);
    EXPECT_EQ(rec.data[size], '\0');
    EXPECT_EQ(rec.end.load(), rec.data + size);
  }
}

TEST_F(PlcFiles, WrongHandleIsRetriedThenFails) {
  const std::string text = ft::Pattern(300);
  ASSERT_EQ(sim.Ctl("fileput h.bin " + ft::Hex(text)), "OK");
  ft::Rec rec;
  ASSERT_EQ(sim.Ctl("fault filehandle 2"), "OK");
  ASSERT_EQ(GetDorvikFile(&rec, "", "h.bin", &link, 5), 0);
  EXPECT_EQ(std::string(rec.data, 300), text);
  EXPECT_EQ(LogCount("Error in received data! (handle: "), 2u);

  ASSERT_EQ(sim.Ctl("fault filehandle 3"), "OK");
  EXPECT_EQ(GetDorvikFile(&rec, "", "h.bin", &link, 5), -1);
  EXPECT_EQ(LogCount("Error in received data! (handle: "), 5u);
  EXPECT_TRUE(LogHas(", offset: 0 != 0, length: 300 <= 300)")) << LogText();
  EXPECT_TRUE(LogHas("Unable to read PLC file: h.bin"));
  EXPECT_EQ(rec.busy.load(), 2);  // a failed read stays marked until its user clears it
}

TEST_F(PlcFiles, WriteInPiecesThenInformation) {
  const std::string text = ft::Pattern(2500);
  ft::Rec rec;
  rec.data = static_cast<char*>(malloc(text.size() + 1));
  memcpy(rec.data, text.data(), text.size());
  rec.size.store(static_cast<int64_t>(text.size()));
  const unsigned char stamp[6] = {124, 6, 19, 14, 52, 16};
  memcpy(rec.stamp_a, stamp, 6);
  memcpy(rec.stamp_b, stamp, 6);
  long before = sim.Requests();
  ASSERT_EQ(WriteDorvikFile(&rec, "", "out/w.bin", &link, 5), 0);
  EXPECT_EQ(sim.Requests() - before, 5);  // open, 1150 + 1150 + 200 bytes, close
  EXPECT_EQ(rec.end.load(), rec.data + text.size());
  EXPECT_EQ(sim.Ctl("fileget out/w.bin"), "OK " + ft::Hex(text));

  ft::Rec info;
  ASSERT_EQ(GetFileInfo(&info, "", "out/w.bin", &link, 5), 0);
  EXPECT_EQ(info.source, 2);
  EXPECT_EQ(info.size.load(), 2500);
  EXPECT_EQ(memcmp(info.stamp_b, stamp, 6), 0);
  EXPECT_EQ(info.mtime, 1718808736);

  const unsigned char later[6] = {125, 1, 2, 3, 4, 5};
  memcpy(info.stamp_b, later, 6);
  ASSERT_EQ(WriteFileInfo(&info, "", "out/w.bin", &link, 5), 0);
  EXPECT_EQ(info.source, 2);
  ft::Rec again;
  ASSERT_EQ(GetFileInfo(&again, "", "out/w.bin", &link, 5), 0);
  EXPECT_EQ(memcmp(again.stamp_b, later, 6), 0);
  EXPECT_EQ(again.mtime, 1735787045);  // 2025-01-02 03:04:05 UTC

  // Names leaving the root are refused before any exchange.
  before = sim.Requests();
  EXPECT_EQ(GetDorvikFile(&again, "", "../out/w.bin", &link, 5), -1);
  EXPECT_EQ(GetFileInfo(&again, "", "../out/w.bin", &link, 5), -1);
  EXPECT_EQ(GetFile(&again, "", "../out/w.bin", &link, 5), -1);
  EXPECT_EQ(sim.Requests() - before, 0);
}

namespace {

void PutLe32(std::vector<unsigned char>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// A scripted PLC: opens succeed with a 100-byte file, reads and writes move nothing.
int StallingSend(void* endpoint, const unsigned char* request, unsigned char* reply,
                 int request_len, int reply_len, int* error, int reply_cap) {
  auto* subs = static_cast<std::vector<int>*>(endpoint);
  *error = 0;
  if (request_len < 10) return 1;
  const unsigned char* d = request + 7;  // 0x28, sub-command, parameters
  subs->push_back(d[1]);
  std::vector<unsigned char> f = {0x68, 0, 0, 0x68, 5, 0, 0x08};
  PutLe32(f, 0);    // status
  if (d[1] == 2) {  // open: handle 7, length 100, stamps and attributes
    PutLe32(f, 7);
    PutLe32(f, 100);
    f.resize(7 + 32, 1);
  } else if (d[1] == 4 || d[1] == 5) {  // same handle and offset, no bytes
    f.insert(f.end(), d + 2, d + 10);
    PutLe32(f, 0);
  }
  f[1] = f[2] = static_cast<unsigned char>(f.size() - 4);
  unsigned sum = 0;
  for (size_t i = 4; i < f.size(); ++i) sum += f[i];
  f.push_back(static_cast<unsigned char>(sum));
  f.push_back(0x16);
  size_t cap = static_cast<size_t>(std::min(reply_len, reply_cap));
  memset(reply, 0, cap);
  memcpy(reply, f.data(), std::min(f.size(), cap));
  return 0;
}

}  // namespace

// Without a limit such a PLC would keep the transfer going forever.
using StalledTransfer = ft::InScratch;
TEST_F(StalledTransfer, ThreeEmptyAnswersFailTheReadAndTheWrite) {
  std::vector<int> subs;
  DORVIK_T link{};
  link.own_addr = 5;
  ASSERT_EQ(Dorvik_ATTACH(&link, StallingSend, &subs, 1), 0);
  ft::Rec rec;
  EXPECT_EQ(GetDorvikFile(&rec, "", "stall.bin", &link, 0), -1);
  EXPECT_EQ(std::count(subs.begin(), subs.end(), 4), 3);
  EXPECT_TRUE(LogHas("Unable to read PLC file: stall.bin"));
  EXPECT_EQ(rec.end.load(), rec.data);  // nothing arrived
  EXPECT_EQ(rec.busy.load(), 2);

  ft::Rec out;
  out.data = static_cast<char*>(malloc(50));
  memset(out.data, 'w', 50);
  out.size.store(50);
  EXPECT_EQ(WriteDorvikFile(&out, "", "stall.bin", &link, 0), -1);
  EXPECT_EQ(std::count(subs.begin(), subs.end(), 5), 3);
  EXPECT_TRUE(LogHas("Unable to write file to PLC: stall.bin"));
  Dorvik_EXIT(&link);
}
