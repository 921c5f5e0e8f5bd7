// The reply sender's shared pieces: one client's replies being queued in this cycle, and the
// sections that stream file and memory data.
#pragma once
#include <cstddef>
#include <string>

struct COMMOBJ_T;
struct NETCOMM_T;

// Bytes one section (one file or memory request) may queue in a cycle.
constexpr size_t kReplyBudget = 16384;

struct REPLY_T {
  COMMOBJ_T* obj;
  NETCOMM_T* cli;
};

// Queues text behind the client's unsent output and sends what the socket takes. 0, or 1 when
// the client is closing (the output would not fit, or the send failed; logged).
int QueueReply(REPLY_T* r, const std::string& text);
// Logs the closed connection and marks the client closing; returns 1.
int ClosedReply(REPLY_T* r);
// Sends what is queued. 0, or 1 when the client is closing.
int FlushSection(REPLY_T* r);

// Sections after the information replies, in this order. Each returns 0 when it is done for
// this client, 2 when it continues in the next cycle, 1 when the client is closing.
int SendMemSection(REPLY_T* r);        // GETMEM data as the memory worker fills it
int SendFileSection(REPLY_T* r);       // GETFILE data as the file worker fills it
int SendWriteFileSection(REPLY_T* r);  // WRITEFILE completions, time-outs and failures
