// Reading a generated 20,000-variable public file, and planning its cyclic reads.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "plc/optimreq.h"
#include "plc/pubfile.h"
#include "plc/pubfile_ops.h"

namespace {

// Variables spread over X, Y, S and R with every kind of type and some gaps.
std::string MakeText(int count) {
  static const char* const regs[] = {"X", "Y", "S", "R"};
  static const char* const types[] = {"INT", "REAL", "DINT", "BYTE", "LREAL", "STRING[24]"};
  static const int sizes[] = {2, 4, 4, 1, 8, 24};
  std::string text = "; generated public file\r\n";
  uint32_t addr[4] = {};
  char line[128];
  for (int i = 0; i < count; ++i) {
    int r = i % 4;
    int t = (i / 4) % 6;
    if (i % 17 == 0) {
      snprintf(line, sizeof line, "VAR_%05d %s 0 %u .%d BOOL PUB_OUT\r\n", i, regs[r], addr[r],
               i % 8);
      addr[r] += 1;
    } else {
      snprintf(line, sizeof line, "VAR_%05d %s 0 %u %s\r\n", i, regs[r], addr[r], types[t]);
      addr[r] += sizes[t] + (i % 13 == 0 ? 12 : 0);
    }
    text += line;
  }
  return text;
}

PUBFILE_T* Read(const std::string& text) {
  PUBFILE_T* pf = CreatePubFile(nullptr);
  SetPubText(&pf->file, text.data(), static_cast<int64_t>(text.size()));
  return ReadPubFile(pf);
}

const std::string& Text() {
  static const std::string text = MakeText(20000);
  return text;
}

// The reader's pause every 1000 lines is left out: it measures the scheduler, not the parser.
void BM_ReadPubFile(benchmark::State& state) {
  pubfile_read_pause_ms = 0;
  for (auto _ : state) {
    PUBFILE_T* pf = Read(Text());
    benchmark::DoNotOptimize(pf);
    RemovePubFile(pf, 2);
  }
  state.SetItemsProcessed(state.iterations() * 20000);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(Text().size()));
}
BENCHMARK(BM_ReadPubFile)->Unit(benchmark::kMillisecond);

void BM_CreatePFOptimReq(benchmark::State& state) {
  pubfile_read_pause_ms = 0;
  PUBFILE_T* pf = Read(Text());
  int64_t requests = 0;
  for (auto _ : state) {
    OPTIMREQ_T* plan = CreatePFOptimReq(nullptr, pf);
    requests = 0;
    for (OPTIMREQ_T* q = plan; q; q = q->next) ++requests;
    RemoveOptimReq(plan);
  }
  state.counters["requests"] = static_cast<double>(requests);
  state.SetItemsProcessed(state.iterations() * 20000);
  RemovePubFile(pf, 2);
}
BENCHMARK(BM_CreatePFOptimReq)->Unit(benchmark::kMillisecond);

void BM_ClonePubFile(benchmark::State& state) {
  pubfile_read_pause_ms = 0;
  PUBFILE_T* pf = Read(Text());
  for (auto _ : state) RemovePubFile(ClonePubFile(pf), 0);
  RemovePubFile(pf, 2);
}
BENCHMARK(BM_ClonePubFile)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
