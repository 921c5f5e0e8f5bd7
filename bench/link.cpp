// Raw link figures against the simulator, through the link library alone (no server): the
// baselines that the server's figures are divided by.
//   korvane_bench_link plan PORT FILE SECS the read plan of a public file: its blocks, the fewest
//                                          exchanges that carry them, and the time of those
//                                          exchanges done back to back (best 1 s window)
//   korvane_bench_link file PORT NAME      a PLC file read whole in the largest pieces one
//                                          exchange carries: the link's file rate
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "benchkit.h"
#include "link/dorvik.h"
#include "plc/optimreq.h"
#include "plc/pubfile.h"
#include "plc/pubfile_ops.h"

namespace {

DORVIK_T link;

bool Open(int port) {
  Dorvik_SetStation(&link, 0, 1, 1000);
  Dorvik_SetUDP(&link, "127.0.0.1", port);
  return Dorvik_INIT(&link) == 0;
}

struct Block {
  uint8_t reg;
  uint32_t addr, len;
};

// One exchange's worth of descriptors, packed as the data cycle packs them.
struct Exchange {
  std::vector<Block> blocks;
  uint32_t bytes = 0;
};

std::vector<Exchange> Pack(const std::vector<Block>& plan, int max_frames) {
  std::vector<Exchange> out;
  size_t i = 0;
  while (i < plan.size()) {
    Exchange x;
    for (int frame = 0; frame < max_frames && i < plan.size(); ++frame) {
      uint32_t bytes = 0;
      int desc = 0;
      while (i < plan.size() && desc < DORVIK_READN_MAX_DESC &&
             bytes + plan[i].len <= DORVIK_MAX_BLOCK) {
        bytes += plan[i].len;
        x.blocks.push_back(plan[i++]);
        ++desc;
      }
    }
    for (const Block& b : x.blocks) x.bytes += b.len;
    out.push_back(std::move(x));
  }
  return out;
}

bool Read(const Exchange& x) {
  unsigned char buf[2048];
  unsigned char* d = buf + 1;
  for (const Block& b : x.blocks) {
    d[0] = static_cast<unsigned char>(b.reg + (b.addr >> 16));
    d[1] = static_cast<unsigned char>(b.addr & 0xFF);
    d[2] = static_cast<unsigned char>((b.addr >> 8) & 0xFF);
    d[3] = static_cast<unsigned char>(b.len);
    d += 4;
  }
  return Dorvik_READN(&link, buf, static_cast<unsigned>(x.blocks.size())) ==
         static_cast<int>(x.bytes);
}

int Plan(const char* path, double seconds) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << "__PF_CRC R 0 0 UDINT\n" << in.rdbuf();  // the fixed public file's record, as merged
  const std::string text = ss.str();
  pubfile_read_pause_ms = 0;
  PUBFILE_T* pf = CreatePubFile(nullptr);
  SetPubText(&pf->file, text.data(), static_cast<int64_t>(text.size()));
  if (!ReadPubFile(pf)) return 1;
  OPTIMREQ_T* head = CreatePFOptimReq(nullptr, pf);
  std::vector<Block> plan;
  uint64_t bytes = 0;
  for (OPTIMREQ_T* r = head; r; r = r->next) {
    plan.push_back({r->reg, r->addr, r->len});
    bytes += r->len;
  }
  const std::vector<Exchange> xs = Pack(plan, link.max_frames);
  const uint64_t per_x = static_cast<uint64_t>(link.max_frames) * DORVIK_MAX_BLOCK;
  const uint64_t per_xd = static_cast<uint64_t>(link.max_frames) * DORVIK_READN_MAX_DESC;
  const uint64_t bound = std::max((bytes + per_x - 1) / per_x, (plan.size() + per_xd - 1) / per_xd);
  // Plans back to back in windows of one second after one for warm-up; the best window's mean,
  // so that a busy machine weighs on it as little as on the server's figure.
  for (const Exchange& x : xs)
    if (!Read(x)) return 1;
  double plan_ms = 1e9;
  for (int w = 0; w < static_cast<int>(seconds); ++w) {
    int plans = 0;
    const int64_t t0 = bench::NowNs(), stop = t0 + 1000000000;
    while (bench::NowNs() < stop) {
      for (const Exchange& x : xs)
        if (!Read(x)) return 1;
      ++plans;
    }
    plan_ms = std::min(plan_ms, static_cast<double>(bench::NowNs() - t0) / 1e6 / plans);
  }
  bench::Put("variables", CountActRecPublicFile(pf));
  bench::Put("blocks", static_cast<double>(plan.size()));
  bench::Put("bytes", static_cast<double>(bytes));
  bench::Put("min_exchanges", static_cast<double>(xs.size()));
  bench::Put("bound_exchanges", static_cast<double>(bound));
  bench::Put("raw_plan_ms", plan_ms);
  RemoveOptimReq(head);
  RemovePubFile(pf, 2);
  return 0;
}

uint32_t Le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void PutLe32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

int File(const char* name) {
  unsigned char rec[1320] = {};
  rec[1] = 2;  // open for reading
  rec[2] = 1;
  snprintf(reinterpret_cast<char*>(rec + 7), sizeof rec - 7, "%s", name);
  if (Dorvik_FILETRANSFER(&link, rec) < 0 || Le32(rec) != 0) return 1;
  const uint32_t handle = Le32(rec + 4), size = Le32(rec + 8);
  uint32_t offset = 0;
  int exchanges = 0;
  const int64_t t0 = bench::NowNs();
  while (offset < size) {
    memset(rec, 0, 16);
    rec[1] = 4;
    PutLe32(rec + 2, handle);
    PutLe32(rec + 6, offset);
    PutLe32(rec + 10, size - offset);
    int n = Dorvik_FILETRANSFER(&link, rec);
    if (n <= 0 || Le32(rec) != 0) return 1;
    offset += static_cast<uint32_t>(n);
    ++exchanges;
  }
  const double s = static_cast<double>(bench::NowNs() - t0) / 1e9;
  memset(rec, 0, 24);
  rec[1] = 3;
  PutLe32(rec + 3, handle);
  Dorvik_FILETRANSFER(&link, rec);
  bench::Put("file_bytes", size);
  bench::Put("file_exchanges", exchanges);
  bench::Put("bytes_per_exchange", static_cast<double>(size) / exchanges);
  bench::Put("exchanges_per_s", exchanges / s);
  bench::Put("raw_file_mib_s", static_cast<double>(size) / s / 1048576.0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || !Open(atoi(argv[2]))) {
    fprintf(stderr, "usage: %s plan PORT FILE SECS | file PORT NAME\n", argv[0]);
    return 2;
  }
  int rc = 2;
  if (strcmp(argv[1], "plan") == 0 && argc == 5) rc = Plan(argv[3], atof(argv[4]));
  if (strcmp(argv[1], "file") == 0) rc = File(argv[3]);
  if (rc == 1) fprintf(stderr, "%s: link failure: %s\n", argv[1], Dorvik_ErrorMSG(&link));
  Dorvik_EXIT(&link);
  return rc;
}
