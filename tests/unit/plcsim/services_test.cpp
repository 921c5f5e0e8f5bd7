// The simulator's DORVIK services over UDP: identification, register reads and writes,
// refusals, and requests that must stay unanswered.
#include <gtest/gtest.h>

#include "sim_harness.h"

using namespace simtest;

TEST(PlcsimServices, ConnectIdentAndSequenceEcho) {
  Sim sim;
  ASSERT_TRUE(sim.Start());
  EXPECT_EQ(sim.Exchange(ShortFrame(kPlc, kMaster, 0x69)), (Bytes{0x10, 5, 0, 0x00, 5, 0x16}));

  Bytes ident = {6, 11, 3, 3};
  for (char c : std::string("PLCSIMKORVANE-SIM1.02.3")) ident.push_back(static_cast<uint8_t>(c));
  EXPECT_EQ(sim.Exchange(ShortFrame(kPlc, kMaster, 0x6E)), LongFrame(kMaster, kPlc, 0x00, ident));

  EXPECT_EQ(sim.Ctl("ident A|BB||1.A"), "OK");
  EXPECT_EQ(LongData(sim.Exchange(ShortFrame(kPlc, kMaster, 0x6E))),
            (Bytes{1, 2, 0, 3, 'A', 'B', 'B', '1', '.', 'A'}));
  EXPECT_EQ(sim.Ctl("ident only-one"), "ERR usage: ident T1|T2|T3|T4");

  // The sequence number comes back unchanged, including the highest one.
  sim.SendDatagram(ShortFrame(kPlc, kMaster, 0x69), 0xFFFF);
  Bytes d;
  ASSERT_TRUE(sim.RecvDatagram(d));
  ASSERT_EQ(d.size(), 12u);
  EXPECT_EQ(Bytes(d.begin(), d.begin() + 6), (Bytes{0xFF, 0xFF, 0x02, 0x00, 0x00, 0x06}));

  // An unknown short request is refused with FC 0x02.
  EXPECT_EQ(sim.Exchange(ShortFrame(kPlc, kMaster, 0x6A)), ShortFrame(kMaster, kPlc, 0x02));
}

TEST(PlcsimServices, ReadNBlocksAndFrames) {
  Sim sim;
  ASSERT_TRUE(sim.Start({"--regsize", "1024"}));
  ASSERT_EQ(sim.Ctl("setbytes R 0 0102030405"), "OK");
  ASSERT_EQ(sim.Ctl("setbytes X 10 aabb"), "OK");
  ASSERT_EQ(sim.Ctl("setbytes D2 1023 77"), "OK");
  ASSERT_EQ(sim.Ctl("setbytes E 512 99"), "OK");

  // Several blocks in one frame: the data concatenated in descriptor order.
  Bytes rep =
      sim.Exchange(Request(0x6C, {0x0B, 3, 1, 0, 3, 0, 10, 0, 2, 130, 0xFF, 3, 1, 10, 0, 2, 1}));
  EXPECT_EQ(rep, LongFrame(kMaster, kPlc, 0x08, {2, 3, 4, 0xAA, 0xBB, 0x77, 0x99}));

  // Three blocks of 100 bytes as the master packs them: two frames in one datagram.
  Bytes big;
  for (int i = 0; i < 300; i++) big.push_back(static_cast<uint8_t>(i * 7));
  std::string hex;
  for (uint8_t b : big) {
    char h[3];
    snprintf(h, sizeof h, "%02x", b);
    hex += h;
  }
  ASSERT_EQ(sim.Ctl("setbytes R 100 " + hex), "OK");
  rep = sim.Exchange(Cat({Request(0x6C, {0x0B, 3, 100, 0, 100, 3, 200, 0, 100}),
                          Request(0x6C, {0x0B, 3, 44, 1, 100})}));
  ASSERT_EQ(rep.size(), 209u + 109u);
  EXPECT_EQ(LongData(rep, 0), Bytes(big.begin(), big.begin() + 200));
  EXPECT_EQ(LongData(rep, 209), Bytes(big.begin() + 200, big.end()));

  // Refusals: no such register, past the register's end, zero length, too much for one reply.
  const Bytes refuse523 = LongFrame(kMaster, kPlc, 0x0C, {0x30, 0x0B});
  EXPECT_EQ(sim.Exchange(Request(0x6C, {0x0B, 4, 0, 0, 1})), refuse523);
  EXPECT_EQ(sim.Exchange(Request(0x6C, {0x0B, 3, 0xFC, 3, 5})), refuse523);
  EXPECT_EQ(sim.Exchange(Request(0x6C, {0x0B, 3, 0, 0, 0})), refuse523);
  EXPECT_EQ(sim.Exchange(Request(0x6C, {0x0B, 3, 0, 0, 200, 3, 0, 1, 200})),
            LongFrame(kMaster, kPlc, 0x0C, {0x30, 0x0E}));
  // One bad frame of two: each frame gets its own reply, in order.
  rep = sim.Exchange(Cat({Request(0x6C, {0x0B, 3, 0, 0, 1}), Request(0x6C, {0x0B, 9, 0, 0, 1})}));
  EXPECT_EQ(rep, Cat({LongFrame(kMaster, kPlc, 0x08, {1}), refuse523}));
}

TEST(PlcsimServices, WritesChangeRegisters) {
  Sim sim;
  ASSERT_TRUE(sim.Start({"--regsize", "256"}));
  // WRITEN with two records, answered by the single byte 0xE5.
  EXPECT_EQ(sim.Exchange(Request(0x63, {0x0C, 3, 100, 0, 2, 0x34, 0x12, 1, 7, 0, 1, 0xFE})),
            Bytes{0xE5});
  EXPECT_EQ(sim.Ctl("get R 100 UINT"), "OK 4660");
  EXPECT_EQ(sim.Ctl("get Y 7 USINT"), "OK 254");

  // WRITEB: set bit 3, clear bit 1 of X 0.
  ASSERT_EQ(sim.Ctl("setbytes X 0 02"), "OK");
  EXPECT_EQ(sim.Exchange(Request(0x63, {0x10, 0, 0, 0, 0x83, 0, 0, 0, 0x01})), Bytes{0xE5});
  EXPECT_EQ(sim.Ctl("getbytes X 0 1"), "OK 08");
  EXPECT_EQ(sim.Ctl("get X 0.3 BOOL"), "OK 1");

  // Out of range: refused with 527 and nothing written, not even the good first record.
  const Bytes refuse527 = LongFrame(kMaster, kPlc, 0x0C, {0x30, 0x0F});
  EXPECT_EQ(sim.Exchange(Request(0x63, {0x0C, 3, 0, 0, 1, 0x55, 3, 0xFF, 0, 2, 1, 2})), refuse527);
  EXPECT_EQ(sim.Ctl("getbytes R 0 1"), "OK 00");
  EXPECT_EQ(sim.Exchange(Request(0x63, {0x0C, 3, 0, 0, 4, 1, 2})), refuse527);  // data missing
  EXPECT_EQ(sim.Exchange(Request(0x63, {0x10, 3, 0, 1, 0x81})), refuse527);
  EXPECT_EQ(sim.Exchange(Request(0x63, {0x10, 77, 0, 0, 0x81})), refuse527);

  // Control and status words, logout, shared-memory transfer, unknown services.
  EXPECT_EQ(sim.Exchange(Request(0x63, {0x09, 0x0F, 0x00})), Bytes{0xE5});
  EXPECT_EQ(sim.Exchange(Request(0x63, {0x11, 0xFF, 0x00, 0xA0, 0x00})), Bytes{0xE5});
  EXPECT_EQ(LongData(sim.Exchange(Request(0x6C, {0x0A}))).size(), 2u);
  EXPECT_EQ(sim.Exchange(Request(0x6C, {0x0E})), LongFrame(kMaster, kPlc, 0x08, {0, 0}));
  EXPECT_EQ(sim.Exchange(Request(0x6C, {0x2D})), Bytes{0xE5});
  EXPECT_EQ(sim.Exchange(Request(0x6C, {0x2A, 0xFF, 0, 0, 0, 0, 0xFF, 0, 0, 0})),
            LongFrame(kMaster, kPlc, 0x08, {0, 0, 0, 0}));
  EXPECT_EQ(sim.Exchange(Request(0x6C, {0x55})), LongFrame(kMaster, kPlc, 0x0C, {0x30, 0x17}));
  // READB: one byte per bit asked.
  EXPECT_EQ(sim.Exchange(Request(0x6C, {0x0F, 0, 0, 0, 3, 0, 0, 0, 2})),
            LongFrame(kMaster, kPlc, 0x08, {1, 0}));
}

TEST(PlcsimServices, BadRequestsGetNoAnswer) {
  Sim sim;
  ASSERT_TRUE(sim.Start());
  Bytes bad_fcs = ShortFrame(kPlc, kMaster, 0x69);
  bad_fcs[4] ^= 1;
  Bytes other_station = ShortFrame(7, kMaster, 0x69);
  Bytes bad_ler = Request(0x6C, {0x0A});
  bad_ler[2]++;
  Bytes bad_ed = Request(0x6C, {0x0A});
  bad_ed.back() = 0x17;
  Bytes truncated = Request(0x6C, {0x0A});
  truncated.pop_back();
  std::vector<Bytes> six_frames(6, ShortFrame(kPlc, kMaster, 0x69));
  uint16_t s = 1;
  for (const Bytes& b : {bad_fcs, other_station, bad_ler, bad_ed, truncated, Cat(six_frames)})
    sim.SendDatagram(b, s++);
  // A datagram without frames.
  sim.SendDatagram({}, s++);
  // The first answer is the one to the good request after them.
  sim.SendDatagram(ShortFrame(kPlc, kMaster, 0x69), 500);
  Bytes d;
  ASSERT_TRUE(sim.RecvDatagram(d));
  EXPECT_EQ(d[0] | (d[1] << 8), 500);
  EXPECT_EQ(sim.Ctl("stats"), "OK requests=1 frames=1 udp=8 serial=0");
  EXPECT_EQ(sim.Ctl("resetstats"), "OK");
  EXPECT_EQ(sim.Ctl("stats"), "OK requests=0 frames=0 udp=0 serial=0");
}
