// A pseudo-terminal whose master side the test drives as the PLC of a serial link.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "link_fake.h"

namespace lt {

struct PtyPlc {
  int master = -1;
  std::string slave;
  PtyPlc() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    const char* name = ptsname(master);
    if (name) slave = name;
  }
  ~PtyPlc() {
    if (master >= 0) close(master);
  }
  // Reads exactly n bytes of request within 5 s; fewer on time-out.
  Bytes Read(size_t n) {
    Bytes got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.size() < n) {
      int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now())
                                      .count());
      pollfd p = {master, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, left) != 1) break;
      unsigned char buf[512];
      ssize_t r = read(master, buf, n - got.size() < sizeof buf ? n - got.size() : sizeof buf);
      if (r <= 0) break;
      got.insert(got.end(), buf, buf + r);
    }
    return got;
  }
  void Write(const Bytes& b) {
    size_t done = 0;
    while (done < b.size()) {
      ssize_t w = write(master, b.data() + done, b.size() - done);
      if (w <= 0) return;
      done += static_cast<size_t>(w);
    }
  }
};

}  // namespace lt
