// The locks of the process-wide workers. Each worker record is touched only under its lock, so
// communication threads of different PLCs start, stop and join a worker one at a time.
#pragma once
#include <cstdint>
#include <mutex>

extern std::mutex ffg_lock;
extern std::mutex ffw_lock;
extern std::mutex mem_lock;

struct FFILE_T;
// Joins a file worker busy with `rec`; with stop_reader the reader is asked to stop first.
void WaitFileWorkersOn(FFILE_T* rec, bool stop_reader);

// Stack of every worker thread.
constexpr size_t kWorkerStack = 65536;

// Whose turn a busy worker serves next: the first request it turned away, as long as that
// request keeps asking (its object retries once per cycle). A neighbour's quick succession of
// requests then cannot starve another PLC, and a request that went away holds nobody up.
struct WORKER_TURN_T {
  const void* rec = nullptr;
  int64_t until_us = 0;
};
// Under the worker's lock: 0 when `rec` may start the worker now, 1 when it waits (`running`:
// the worker's thread has not finished yet).
int TakeWorkerTurn(WORKER_TURN_T* turn, const void* rec, bool running);
