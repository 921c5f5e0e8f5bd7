// File and memory requests against the server and the simulator: GETFILE (raw, Base64, empty,
// local, cached, two clients at once), GETFILEINFO, GETMEM in blocks, WRITEFILE in blocks with
// binary data, its failures and time-out, WRITEFILEINFO, names that lead out of the working folder,
// and two PLCs sharing the process-wide workers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "support/net.h"
#include "support/process.h"
#include "support/rig.h"
#include "support/scratch.h"
#include "support/text.h"

using namespace std::chrono_literals;
using kt::Plc1;

namespace {

using kt::Hex;

std::string Base64(const std::string& in) {
  const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    unsigned v = 0;
    for (size_t j = i; j < i + 3; ++j) v = v << 8 | (j < in.size() ? uint8_t(in[j]) : 0);
    for (size_t j = 0; j < 4; ++j) out += i + j <= in.size() ? digits[v >> (18 - 6 * j) & 63] : '=';
  }
  return out;
}

// Bytes 0..255 over and over: every line end, NUL and 0xFF included.
std::string Binary(size_t n, unsigned seed = 0) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>((i * 7 + seed) & 0xFF);
  return s;
}

// The reply lines of a transfer in blocks: "TAG:name[len]=data\n" per block, then the empty one.
std::string Blocks(const std::string& tag, const std::string& name, const std::string& data,
                   size_t blk, bool base64 = false) {
  std::string out;
  for (size_t at = 0; at < data.size(); at += blk) {
    std::string piece = data.substr(at, blk);
    if (base64) piece = Base64(piece);
    out += tag + ":" + name + "[" + std::to_string(piece.size()) + "]=" + piece + "\n";
  }
  return out + tag + ":" + name + "[0]=\n";
}

// Binary replies compared without printing kilobytes of them.
testing::AssertionResult Same(const std::string& got, const std::string& want) {
  if (got == want) return testing::AssertionSuccess();
  size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  return testing::AssertionFailure()
         << "got " << got.size() << " bytes, want " << want.size() << ", first difference at " << at
         << ": '" << got.substr(at, 40) << "' / '" << want.substr(at, 40) << "'";
}

// 2024-06-19 14:52:16 UTC packed and read as the 48-bit number of the information text.
const unsigned long long kStampB =
    124ULL | 6ULL << 8 | 19ULL << 16 | 14ULL << 24 | 52ULL << 32 | 16ULL << 40;
const time_t kStampTime = 1718808736;

struct FilesRig : kt::Rig {
  int fd = -1;
  std::string pending;

  bool Start(const std::string& globals = "", const std::string& plc_keys = "") {
    if (!StartSim() || !StartServer("diff_var_enabled = no\nffile_blksize = 64\n"
                                    "mem_blksize = 256\nffile_timeout_wr = 1\n" +
                                        globals,
                                    plc_keys))
      return false;
    fd = Connect();
    std::string line;
    return fd >= 0 && Line(fd, pending, line) &&
           line == "WARNING:251 Public file not changed: 'iRovanta.pub'\n";
  }
  // Everything up to and including `tail` (binary safe); "" when it does not come in time.
  std::string Until(const std::string& tail, std::chrono::milliseconds t = 10000ms) {
    auto deadline = std::chrono::steady_clock::now() + t;
    for (;;) {
      kt::Pump(srv);
      size_t at = pending.find(tail);
      if (at != std::string::npos) {
        std::string got = pending.substr(0, at + tail.size());
        pending.erase(0, at + tail.size());
        return got;
      }
      if (std::chrono::steady_clock::now() > deadline) return "";
      kt::RecvN(fd, pending, pending.size() + 1, 100ms);
    }
  }
  std::string Ask(const std::string& request, const std::string& tail = "\n") {
    return kt::SendAll(fd, request) ? Until(tail) : "";
  }
  // The information text of a GETFILEINFO reply, checked against the length it announces.
  std::string Info(const std::string& name, const std::string& options = "") {
    const std::string head = "GETFILEINFO:" + name + "[";
    std::string reply = Ask("GETFILEINFO:" + name + options + "\n");
    size_t eq = reply.find("]=");
    if (reply.rfind(head, 0) != 0 || eq == std::string::npos) return "bad reply: " + reply;
    std::string text = reply.substr(eq + 2, reply.size() - eq - 3);
    if (reply.substr(head.size(), eq - head.size()) != std::to_string(text.size()))
      return "bad length: " + reply;
    return text;
  }
  std::string Outside() const {  // a name next to the working folder, not in it
    return dir.path + ".outside";
  }
  ~FilesRig() {
    if (fd >= 0) close(fd);
    unlink(Outside().c_str());
  }
};

}  // namespace

TEST(Files, GetFileInformationMemoryAndWriteFile) {
  FilesRig rig;
  ASSERT_TRUE(rig.Start()) << rig.srv.err;
  const std::string blk = Binary(3 * 64);       // three blocks of ffile_blksize
  const std::string odd = Binary(100, 3);       // a short last block
  const std::string big = Binary(400 * 64, 1);  // more than one cycle's budget
  ASSERT_EQ(kt::SimControl(rig.sim, "fileput blk.bin " + Hex(blk)), "OK");
  ASSERT_EQ(kt::SimControl(rig.sim, "fileput big.bin " + Hex(big)), "OK");
  ASSERT_EQ(kt::SimControl(rig.sim, "fileput dir/odd.bin " + Hex(odd)), "OK");
  ASSERT_EQ(kt::SimControl(rig.sim, "fileput empty.txt"), "OK");
  ASSERT_EQ(kt::SimControl(rig.sim, "filestamp blk.bin 2024 6 19 14 52 16"), "OK");
  ASSERT_TRUE(kt::WriteFile(rig.dir / "local.txt", "from the working folder\n"));

  EXPECT_TRUE(Same(rig.Ask("GETFILE:blk.bin\n", "GETFILE:blk.bin[0]=\n"),
                   Blocks("GETFILE", "blk.bin", blk, 64)));
  EXPECT_TRUE(rig.WaitLog(Plc1("Obtained file 'blk.bin' from PLC."))) << rig.srv.err;
  EXPECT_TRUE(Same(rig.Ask("getfile: blk.bin a\n", "GETFILE:blk.bin[0]=\n"),
                   Blocks("GETFILE", "blk.bin", blk, 64, true)));
  EXPECT_TRUE(rig.WaitLog(Plc1("Obtained file 'blk.bin' from cache."))) << rig.srv.err;
  // Two files in one request, an argument line each.
  EXPECT_TRUE(Same(rig.Ask("GETFILE:dir/odd.bin\nempty.txt\n", "GETFILE:empty.txt[0]=\n"),
                   Blocks("GETFILE", "dir/odd.bin", odd, 64) + "GETFILE:empty.txt[0]=\n"));
  EXPECT_TRUE(Same(rig.Ask("GETFILE:local.txt\n", "GETFILE:local.txt[0]=\n"),
                   Blocks("GETFILE", "local.txt", "from the working folder\n", 64)));
  EXPECT_TRUE(rig.WaitLog(Plc1("Obtained file 'local.txt' from local computer."))) << rig.srv.err;

  // Size, attributes, creation and modification stamps; with A the size of the Base64 lines:
  // 256 characters in lines of 64 -> 256 - 2 + 4 x 2.
  const std::string text = rig.Info("blk.bin");
  unsigned long size = 0, attr = 0;
  unsigned long long created = 0, modified = 0;
  ASSERT_EQ(sscanf(text.c_str(), "%lu %lu %llu %llu", &size, &attr, &created, &modified), 4)
      << text;
  EXPECT_EQ(size, 192u);
  EXPECT_EQ(attr, 0u);
  EXPECT_EQ(modified, kStampB);
  EXPECT_EQ(rig.Info("blk.bin", " A").rfind("262 0 ", 0), 0u);
  EXPECT_TRUE(rig.WaitLog(Plc1("Obtained information about file 'blk.bin' from PLC.")));

  // Two clients stream one cached file at once, over several cycles, each from its own place
  // and in its own coding.
  int other = rig.Connect();
  std::string other_pending, line;
  ASSERT_TRUE(rig.Line(other, other_pending, line));
  ASSERT_EQ(rig.Until("\n"), line);  // the connect's notice goes to every client
  ASSERT_TRUE(kt::SendAll(rig.fd, "GETFILE:big.bin\n"));
  ASSERT_TRUE(rig.WaitLog(Plc1("Getting file 'big.bin'.")));
  ASSERT_TRUE(kt::SendAll(other, "GETFILE:big.bin A\n"));
  EXPECT_TRUE(Same(rig.Until("GETFILE:big.bin[0]=\n"), Blocks("GETFILE", "big.bin", big, 64)));
  std::string b64;
  while (b64.find("[0]=") == std::string::npos && rig.Line(other, other_pending, line)) b64 += line;
  EXPECT_TRUE(Same(b64, Blocks("GETFILE", "big.bin", big, 64, true)));
  close(other);

  // Memory in blocks of mem_blksize, by address or by a variable's name.
  const std::string mem = Binary(1000, 5);
  ASSERT_EQ(kt::SimControl(rig.sim, "setbytes R 1000 " + Hex(mem)), "OK");
  ASSERT_EQ(kt::SimControl(rig.sim, "set R 24 UDINT 305419896"), "OK");  // COUNTER 0x12345678
  EXPECT_TRUE(Same(rig.Ask("GETMEM:%r1000 1000\n", "GETMEM:%R1000[0]=\n"),
                   Blocks("GETMEM", "%R1000", mem, 256)));
  EXPECT_TRUE(Same(rig.Ask("GETMEM:counter 4\n", "GETMEM:COUNTER[0]=\n"),
                   Blocks("GETMEM", "COUNTER", "\x78\x56\x34\x12", 256)));

  const std::string bad = "ERROR:35 Wrong parameter value in request: 'GETMEM:%R";
  const std::pair<std::string, std::string> failures[] = {
      {"GETFILE:nope.bin", "ERROR:41 Unable to get file: 'nope.bin'"},
      {"GETFILEINFO:nope.bin", "ERROR:40 Unable to get information about file: 'nope.bin'"},
      {"GETFILE:" + std::string(300, 'n'),
       "ERROR:41 Unable to get file: '" + std::string(300, 'n') + "'"},
      {"GETMEM:%R1000", "ERROR:31 Incomplete client request: 'GETMEM:%R1000'"},
      {"GETMEM:%R1000 0", bad + "1000 0'"},
      {"GETMEM:%R0 4294967297", bad + "0 4294967297'"},
      {"GETMEM:%R0 16777217", bad + "0 16777217'"},
      {"GETMEM:%R0 12x", bad + "0 12x'"},
      {"GETMEM:NOPE 4", "ERROR:33 Unknown variable name in request: 'GETMEM:NOPE 4'"},
      {"GETMEM:%R65500 100", "ERROR:80 Unable to get data from address: '%R65500'"},
  };
  for (const auto& [request, reply] : failures) EXPECT_EQ(rig.Ask(request + "\n"), reply + "\n");
  EXPECT_TRUE(rig.WaitLog(Plc1("Unable to get data from address '%R65500'!!!"))) << rig.srv.err;

  // Bytes that look like requests, NUL bytes and line ends stay file data; nothing is served
  // from them (a SET would change LEVEL, a GET would answer before the OK).
  const std::string part1 = std::string("GET:TEMP\nSET:LEVEL,77\r\nEN:\0DI:\n", 31);
  const std::string part2 = "\nWRITEFILE:x[1]=y\n" + Binary(300, 9);
  ASSERT_TRUE(kt::SendAll(rig.fd, "WRITEFILE:w.bin[" + std::to_string(part1.size()) + "]=" + part1 +
                                      "\nwritefile:w.bin[" + std::to_string(part2.size()) +
                                      "]=" + part2 + "\r\n"));
  ASSERT_TRUE(rig.WaitLog(Plc1("Receiving file 'w.bin'."))) << rig.srv.err;
  EXPECT_EQ(rig.Ask("WRITEFILE:w.bin[0]=\n"), "WRITEFILE:w.bin OK\n");
  EXPECT_EQ(kt::SimControl(rig.sim, "fileget w.bin"), "OK " + Hex(part1 + part2));
  EXPECT_EQ(kt::SimControl(rig.sim, "get R 20 INT"), "OK 0");
  EXPECT_TRUE(rig.WaitLog(Plc1("File 'w.bin' was written into PLC."))) << rig.srv.err;

  // A name beginning with '.' stays on this computer; an empty file is two empty blocks.
  EXPECT_EQ(rig.Ask("WRITEFILE:.out/a.txt[5]=hello\nWRITEFILE:.out/a.txt[0]=\n"
                    "WRITEFILE:.out/e.txt[0]=\nWRITEFILE:.out/e.txt[0]=\n",
                    "WRITEFILE:.out/e.txt OK\n"),
            "WRITEFILE:.out/a.txt OK\nWRITEFILE:.out/e.txt OK\n");
  EXPECT_EQ(kt::ReadFile(rig.dir / ".out/a.txt"), "hello");
  EXPECT_TRUE(kt::FileExists(rig.dir / ".out/e.txt"));
  EXPECT_EQ(kt::ReadFile(rig.dir / ".out/e.txt"), "");

  // Information: set here, read back (PLC) or seen on the disk (local).
  const std::string stamps = " 0 0 " + std::to_string(kStampB);
  EXPECT_EQ(rig.Ask("WRITEFILEINFO:.out/a.txt=5" + stamps + "\n"), "WRITEFILEINFO:.out/a.txt OK\n");
  struct stat st {};
  ASSERT_EQ(stat((rig.dir / ".out/a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, kStampTime);
  EXPECT_EQ(rig.Ask("WRITEFILEINFO:w.bin[9]=9" + stamps + "\n"), "WRITEFILEINFO:w.bin OK\n");
  EXPECT_NE(rig.Ask("GETFILEINFO:w.bin\n").find(" " + std::to_string(kStampB) + "\n"),
            std::string::npos);

  // Failures, each in a buffer of its own. Names leading out of the working folder fail like
  // any other write; nothing appears outside.
  const std::string out = "../" + rig.Outside().substr(rig.Outside().rfind('/') + 1);
  const std::string e30 = "ERROR:30 Bad client request: '",
                    e44 = "ERROR:44 Unterminated write file data: '";
  const std::pair<std::string, std::string> write_failures[] = {
      {"WRITEFILE:h.bin[3]=abcd", e44 + "WRITEFILE:h.bin[3]'"},
      {"WRITEFILE:h.bin[99999999999]=abc", e44 + "WRITEFILE:h.bin[99999999999]'"},
      {"WRITEFILE:h.bin[1x]=a", e30 + "WRITEFILE:h.bin[1x]'"},
      {"WRITEFILE:h.bin=a", e30 + "WRITEFILE:h.bin'"},
      {"WRITEFILEINFO:" + out + "=1" + stamps,
       "ERROR:43 Unable to write file information: '" + out + "'"},
      {"WRITEFILEINFO:x.bin", e30 + "WRITEFILEINFO:x.bin'"},
      {"WRITEFILEINFO:x.bin=1 2",
       "ERROR:35 Wrong parameter value in request: 'WRITEFILEINFO:x.bin=1 2'"},
  };
  for (const auto& [request, reply] : write_failures)
    EXPECT_EQ(rig.Ask(request + "\n"), reply + "\n");
  for (const std::string& name : {out, "./a/../" + out, "a/../" + out}) {
    EXPECT_EQ(rig.Ask("WRITEFILE:" + name + "[1]=x\nWRITEFILE:" + name + "[0]=\n"),
              "ERROR:42 Unable to write file: '" + name + "'\n");
  }
  EXPECT_FALSE(kt::FileExists(rig.Outside()));

  ASSERT_TRUE(kt::WriteFile(rig.Outside(), "secret"));
  EXPECT_EQ(rig.Ask("GETFILE:" + out + "\n"), "ERROR:41 Unable to get file: '" + out + "'\n");
  EXPECT_EQ(rig.Ask("GETFILEINFO:a/../" + out + "\n"),
            "ERROR:40 Unable to get information about file: 'a/../" + out + "'\n");
  EXPECT_EQ(kt::ReadFile(rig.Outside()), "secret");

  // A block one byte short drops what s.bin had: its next (empty) block starts a new file,
  // whose last block never comes.
  ASSERT_TRUE(kt::SendAll(rig.fd, "WRITEFILE:s.bin[2]=ab\n"));
  ASSERT_TRUE(rig.WaitLog(Plc1("Receiving file 's.bin'."))) << rig.srv.err;
  EXPECT_EQ(rig.Ask("WRITEFILE:s.bin[10]=123456789\n"),
            "ERROR:44 Unterminated write file data: 'WRITEFILE:s.bin[10]'\n");
  EXPECT_EQ(rig.Ask("WRITEFILE:s.bin[0]=\n"), "ERROR:45 Timeout write file data: 's.bin'\n");
  EXPECT_TRUE(rig.WaitLog(Plc1("Timeout 'WRITEFILE' client request!!!"))) << rig.srv.err;
}

// Two PLCs share the process-wide workers. While PLC1's slow transfers hold all three, PLC2's
// file read, memory read and file write wait in its lists without holding up its thread: a
// later GET is answered at once, the complete but waiting write has no time-out, and all three
// finish once the workers are free.
TEST(Files, WorkersBusyForAnotherPlc) {
  FilesRig rig;
  kt::PlcSim sim2;
  ASSERT_TRUE(kt::StartProjectSim(sim2, rig.dir / "plc2", "R 20 INT 42\n",
                                  kt::SignPubFile(kt::kTestPubFile)));
  ASSERT_TRUE(rig.Start("",
                        "\n[PLC2]\nserver_port = 0\nipaddr_local = 127.0.0.1\ndvktout = 300\n"
                        "dvktout_step = 100\nipaddr = 127.0.0.1\ndvkport = " +
                            std::to_string(sim2.udp_port) + "\n"))
      << rig.srv.err;
  ASSERT_TRUE(rig.WaitLog("CommObject running...", 2));
  const std::string mark = "PLC-2 (PLC2): Listening on port ";
  ASSERT_NE(rig.srv.err.find(mark), std::string::npos) << rig.srv.err;
  const int fd2 = kt::TcpConnect(atoi(rig.srv.err.c_str() + rig.srv.err.find(mark) + mark.size()));
  std::string pending2, line;
  ASSERT_TRUE(rig.Line(fd2, pending2, line));  // the connect's notice

  std::string small, mem;  // printable, so PLC2's replies read as lines
  for (int i = 0; i < 300; ++i) small += static_cast<char>('a' + i % 26);
  for (int i = 0; i < 500; ++i) mem += static_cast<char>('A' + i % 26);
  ASSERT_EQ(kt::SimControl(sim2, "fileput small.bin " + Hex(small)), "OK");
  ASSERT_EQ(kt::SimControl(sim2, "setbytes R 1000 " + Hex(mem)), "OK");
  ASSERT_EQ(kt::SimControl(rig.sim, "fileput big.bin " + Hex(Binary(20000))), "OK");
  // Every exchange with PLC1 answered 100 ms late, for about four seconds of exchanges.
  ASSERT_EQ(kt::SimControl(rig.sim, "fault delay 100 40"), "OK");
  ASSERT_TRUE(kt::SendAll(rig.fd, "GETFILE:big.bin\nGETMEM:%R0 30000\n"));
  ASSERT_TRUE(rig.WaitLog(Plc1("Getting file 'big.bin'.")));
  const std::string wa(10000, 'w');
  ASSERT_TRUE(kt::SendAll(rig.fd, "WRITEFILE:wa.bin[10000]=" + wa + "\nWRITEFILE:wa.bin[0]=\n"));
  ASSERT_TRUE(rig.WaitLog(Plc1("Writing file 'wa.bin'.")));

  ASSERT_TRUE(kt::SendAll(fd2, "WRITEFILE:wb.bin[5]=hello\nWRITEFILE:wb.bin[0]=\n"));
  ASSERT_TRUE(rig.WaitLog("PLC-2 (PLC2): Writing file 'wb.bin'."));
  const auto asked = std::chrono::steady_clock::now();
  ASSERT_TRUE(kt::SendAll(fd2, "GETFILE:small.bin\nGETMEM:%R1000 500\nGET:LEVEL\n"));
  ASSERT_TRUE(rig.Line(fd2, pending2, line, 500ms));
  EXPECT_EQ(line, "GET:LEVEL,42\n");
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 500ms);
  EXPECT_EQ(rig.srv.err.find(Plc1("Obtained file 'big.bin'")), std::string::npos);
  EXPECT_EQ(rig.srv.err.find(Plc1("File 'wa.bin' was written")), std::string::npos);

  std::string files, mems, rest;
  while (files.find("[0]=") == std::string::npos || mems.find("[0]=") == std::string::npos ||
         rest.empty()) {
    ASSERT_TRUE(rig.Line(fd2, pending2, line, 20000ms)) << files << mems << rest;
    (line.rfind("GETFILE:", 0) == 0 ? files : line.rfind("GETMEM:", 0) == 0 ? mems : rest) += line;
  }
  EXPECT_EQ(files, Blocks("GETFILE", "small.bin", small, 64));
  EXPECT_EQ(mems, Blocks("GETMEM", "%R1000", mem, 256));
  EXPECT_EQ(rest, "WRITEFILE:wb.bin OK\n");
  EXPECT_EQ(kt::SimControl(sim2, "fileget wb.bin"), "OK " + Hex("hello"));
  EXPECT_TRUE(rig.WaitLog(Plc1("Obtained file 'big.bin' from PLC."), 1, 20000ms)) << rig.srv.err;
  EXPECT_TRUE(rig.WaitLog(Plc1("File 'wa.bin' was written into PLC."), 1, 20000ms));
  EXPECT_EQ(kt::SimControl(rig.sim, "fileget wa.bin"), "OK " + Hex(wa));
  close(fd2);
}
