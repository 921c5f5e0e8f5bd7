// Streaming file and memory data to a client: one block line at a time, within a request's
// budget for the cycle and the room left in the client's output queue.
#pragma once
#include <cstddef>
#include <string>

#include "client/reply.h"

// Queues one line of a request's data; `used` counts the request's bytes in this cycle. A line
// of kReplyBudget bytes or more is not counted. 0 queued; 2 it waits for the next cycle (the
// budget is used, or the queue has no room for it yet); 1 the client is closing.
int StreamLine(REPLY_T* r, size_t* used, const std::string& line);

// The end of line of the client's lines.
const char* StreamEol(const REPLY_T* r);

// A section line in the log under SendReqCommObject, with the PLC prefix.
void LogSend(const REPLY_T* r, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
