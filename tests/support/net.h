// Loopback TCP/UDP helpers for tests. Every address is 127.0.0.1.
#pragma once
#include <chrono>
#include <string>

namespace kt {

// A socket of `type` bound to `ip` on a port the system picked (stored in *port); -1 on failure.
int BoundSocket(int type, int* port, const char* ip = "127.0.0.1");

// Connects to 127.0.0.1:port, retrying until the time-out; -1 on failure. A receive buffer size
// other than 0 is set before connecting (a small one backs replies up in the server).
int TcpConnect(int port, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000),
               int rcvbuf = 0);

bool SendAll(int fd, const std::string& data);

// Reads one line (up to and including LF) within the time-out; false on time-out or close.
// Bytes after the line stay in `pending` for the next call.
bool RecvLine(int fd, std::string& pending, std::string& line,
              std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// Reads until `n` bytes are in `out` (appending) or the time-out passes.
bool RecvN(int fd, std::string& out, size_t n,
           std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// True when the peer closed the connection within the time-out (reading and dropping data).
bool WaitClosed(int fd, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// Whatever arrives within the window (used to check that nothing is sent).
std::string RecvFor(int fd, std::chrono::milliseconds window);

}  // namespace kt
