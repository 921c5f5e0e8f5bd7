// The locks of the process-wide workers. Each worker record is touched only under its lock, so
// communication threads of different PLCs start, stop and join a worker one at a time.
#pragma once
#include <mutex>

extern std::mutex ffg_lock;
extern std::mutex ffw_lock;
extern std::mutex mem_lock;

// Stack of every worker thread.
constexpr size_t kWorkerStack = 65536;
