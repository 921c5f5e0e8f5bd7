// The file cache under load: choosing a record in a full cache of 1024 files, serving a cached
// local file after its information check, and reading a 1 MiB local file.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/clock.h"
#include "app/globals.h"
#include "files/ffile.h"
#include "files/fileaccess.h"

namespace {

time_t bench_now = 1000000;
time_t BenchNow() {
  return bench_now;
}

// A full cache whose records all hold a little data.
FFILE_T* FullCache(int n) {
  FFILE_T* list = nullptr;
  for (int i = 0; i < n; ++i) {
    FFILE_T* r = AddFileRec(list);
    if (!list) list = r;
    snprintf(r->name, sizeof r->name, "file_%04d", i);
    r->data = static_cast<char*>(calloc(1, 16));
    r->use_time.store(bench_now - (i * 7919) % n);
  }
  return list;
}

void BM_FindFreeFileRecFullCache(benchmark::State& state) {
  ffile_maxrec = 1024;
  SetClock(BenchNow, nullptr);
  FFILE_T* list = FullCache(1024);
  int i = 0;
  for (auto _ : state) {
    char name[32];
    snprintf(name, sizeof name, "new_%d", i++);
    FFILE_T* r = FindFreeFileRec(list, name);
    snprintf(r->name, sizeof r->name, "%s", name);
    r->data = static_cast<char*>(calloc(1, 16));
    r->use_time.store(bench_now);
    ++bench_now;
    benchmark::DoNotOptimize(r);
  }
  RemoveFile(list);
  SetClock(nullptr, nullptr);
}
BENCHMARK(BM_FindFreeFileRecFullCache);

struct LocalFile {
  std::string dir;
  LocalFile() {
    char tmpl[] = "/tmp/korvane-bench-XXXXXX";
    dir = mkdtemp(tmpl);
    std::string path = dir + "/big.bin";
    FILE* f = fopen(path.c_str(), "wb");
    std::string block(1 << 20, 'k');
    fwrite(block.data(), 1, block.size(), f);
    fclose(f);
  }
  ~LocalFile() {
    unlink((dir + "/big.bin").c_str());
    rmdir(dir.c_str());
  }
};

void BM_GetLocalFile1MiB(benchmark::State& state) {
  LocalFile lf;
  char old[4096];
  if (!getcwd(old, sizeof old) || chdir(lf.dir.c_str()) != 0) return;
  FFILE_T rec;
  for (auto _ : state) {
    GetLocalFile(&rec, "", "big.bin");
    benchmark::DoNotOptimize(rec.data);
  }
  state.SetBytesProcessed(state.iterations() * (1 << 20));
  free(rec.data);
  if (chdir(old) != 0) return;
}
BENCHMARK(BM_GetLocalFile1MiB);

void BM_GetFileServedFromCache(benchmark::State& state) {
  LocalFile lf;
  char old[4096];
  if (!getcwd(old, sizeof old) || chdir(lf.dir.c_str()) != 0) return;
  ffile_maxrec = 256;
  FFILE_T rec;
  GetFile(&rec, "", "big.bin", nullptr, 0);
  for (auto _ : state) {
    GetFile(&rec, "", "big.bin", nullptr, 0);  // one information check, then memory
    benchmark::DoNotOptimize(rec.source);
  }
  free(rec.data);
  if (chdir(old) != 0) return;
}
BENCHMARK(BM_GetFileServedFromCache);

}  // namespace

BENCHMARK_MAIN();
