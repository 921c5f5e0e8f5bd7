// Storage of the process-wide state and settings.
#include "app/globals.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

std::atomic<int> commobj_state{0};
std::atomic<int> start_failed{0};
std::atomic<int> verbose{0};

int logon = 0;
FILE* logout = nullptr;
int json_proto = 0;

int comm_loop_delay = 100;
int comm_sched_pri = 0;
int net_connect_max = 10;
int mem_blksize = 1024;
int mem_use_threads = 1;
int ffile_blksize = 1024;
int ffile_timeout = 300;
int ffile_timeout_wr = 5;
int ffile_maxrec = 256;
int end_line_crlf = 0;
int pf_var_disabled = 0;
int diff_var_enabled = 1;
int sync_var_enabled = 1;
int date_time_decimal = 0;
int lim_of_decimals = 0;
int num_of_decimals = 10;
int scient_notation = 0;

int StopFd() {
  static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return fd;
}

void RequestStop() {
  commobj_state = 3;
  // Never read back: the descriptor stays readable, so no wait can miss the stop.
  const uint64_t one = 1;
  if (StopFd() >= 0 && write(StopFd(), &one, sizeof one) < 0) {
  }
}

void StopOnStartFailure() {
  start_failed = 1;
  RequestStop();
}

void ResetGlobalSettings() {
  json_proto = 0;
  comm_loop_delay = 100;
  comm_sched_pri = 0;
  net_connect_max = 10;
  mem_blksize = 1024;
  mem_use_threads = 1;
  ffile_blksize = 1024;
  ffile_timeout = 300;
  ffile_timeout_wr = 5;
  ffile_maxrec = 256;
  end_line_crlf = 0;
  pf_var_disabled = 0;
  diff_var_enabled = 1;
  sync_var_enabled = 1;
  date_time_decimal = 0;
  lim_of_decimals = 0;
  num_of_decimals = 10;
  scient_notation = 0;
}
