// Process-wide state and the global settings of section "*".
// Settings are written by main before any communication thread starts and only read afterwards;
// values that threads share while running are atomic.
#pragma once
#include <atomic>
#include <cstdio>

// Process run state: 0 starting, 1 running, 3 exit requested.
extern std::atomic<int> commobj_state;
// Set once a thread or section could not start; main then ends with status 1.
extern std::atomic<int> start_failed;
extern std::atomic<int> verbose;

extern int logon;       // 1: log lines go to logout, else to standard error
extern FILE* logout;    // the open log file
extern int json_proto;  // default JSON flag of new clients (always 0 at start)

extern int comm_loop_delay;    // ms, 1..1000
extern int comm_sched_pri;     // 0: no real-time priority
extern int net_connect_max;    // 1..1024
extern int mem_blksize;        // bytes, 1..65536
extern int mem_use_threads;    // bool
extern int ffile_blksize;      // bytes, 1..65536
extern int ffile_timeout;      // s, 0..3600
extern int ffile_timeout_wr;   // s, 0..60
extern int ffile_maxrec;       // 0..1024
extern int end_line_crlf;      // bool
extern int pf_var_disabled;    // bool
extern int diff_var_enabled;   // bool
extern int sync_var_enabled;   // bool
extern int date_time_decimal;  // bool
extern int lim_of_decimals;    // bool
extern int num_of_decimals;    // 0..15
extern int scient_notation;    // bool

// Requests the orderly stop (commobj_state 3) and wakes every wait that watches StopFd().
void RequestStop();
// A descriptor that becomes readable, and stays so, once a stop is requested: waits watch it
// instead of polling commobj_state. -1 when it could not be made (waits then poll).
int StopFd();

// A start-up failure: requests the orderly stop (commobj_state 3) and marks the run as failed,
// so a supervisor sees status 1.
void StopOnStartFailure();

// Restores every setting to its default (used at start-up and by tests).
void ResetGlobalSettings();
