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
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  std::string slave;
  PtyPlc() {
    const char* name =
        master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
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
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p = {master, POLLIN, 0};
      unsigned char buf[512];
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1) break;
      ssize_t r = read(master, buf, std::min(n - got.size(), sizeof buf));
      if (r <= 0) break;
      got.insert(got.end(), buf, buf + r);
    }
    return got;
  }
  void Write(const Bytes& b) {
    for (size_t done = 0; done < b.size();) {
      ssize_t w = write(master, b.data() + done, b.size() - done);
      if (w <= 0) return;
      done += static_cast<size_t>(w);
    }
  }
};

}  // namespace lt
