// The locks of the process-wide workers. Each worker record is touched only under its lock, so
// communication threads of different PLCs start, stop and join a worker one at a time.
#pragma once
#include <mutex>

extern std::mutex ffg_lock;
extern std::mutex ffw_lock;
extern std::mutex mem_lock;

struct FFILE_T;
// Joins a file worker busy with `rec`; with stop_reader the reader is asked to stop first.
void WaitFileWorkersOn(FFILE_T* rec, bool stop_reader);

// Stack of every worker thread.
constexpr size_t kWorkerStack = 65536;
