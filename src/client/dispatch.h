// The request dispatcher's shared pieces: the state of one buffer being served, reading a
// request's argument lines, messages, reply entries and the handlers of the requests.
#pragma once
#include <string>

#include "client/netcomm.h"
#include "comm/commobj.h"
#include "plc/optimreq.h"

// Reply entries that one buffer of requests may queue, so that serving it takes bounded memory
// and time (a request past the limit is refused with error 36).
constexpr size_t kMaxBufferReplies = 65536;
constexpr int kReplyLists = 10;  // lists a buffer may append to: more than NETSLOT_T has

// One client's request text being served in this cycle. `pos` never passes `end`.
struct DISPATCH_T {
  COMMOBJ_T* obj;
  NETCOMM_T* cli;
  const char* pos;         // next unread byte
  const char* end;         // end of the text
  char keyword[256];       // the request's keyword in upper case, with its ':'
  bool first = true;       // the next argument line is the rest of the keyword's line
  bool quotes = false;     // GET and SET: a ':' inside double quotes belongs to the argument
  size_t replies = 0;      // reply entries queued from this text
  uint64_t mem_bytes = 0;  // PLC memory asked for by the GETMEM requests of this text
  // The lists appended to and their last records: a long list is not walked for every entry.
  CLIREQ_T** lists[kReplyLists] = {};
  CLIREQ_T* tails[kReplyLists] = {};
};

// The next argument line of the current request (without its line end); false when the next
// line starts a request of its own or the text ends. The first line is the rest of the
// keyword's line, which may be empty.
bool NextArgLine(DISPATCH_T* d, std::string* line);
// Skips what is left of the current request's argument lines.
void SkipArgLines(DISPATCH_T* d);

// A line of the log under DoReqCommObject, with the PLC prefix.
void LogReq(const DISPATCH_T* d, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// A message line to the client. 0, or 1 when the client is closing (the send failed).
int ErrReq(DISPATCH_T* d, int code, const std::string& arg);
// The request rebuilt for messages: keyword and argument.
std::string ReqText(const DISPATCH_T* d, const std::string& arg);
// A variable or item name: spaces removed, upper case.
std::string NameOf(const std::string& arg);
// Appends a reply entry; null when memory runs out.
CLIREQ_T* AddReply(CLIREQ_T** list, const char* name, const char* value, double key);
// The same for the request being served: null also when the text has queued kMaxBufferReplies
// entries (error 36 is then sent).
CLIREQ_T* AddReqReply(DISPATCH_T* d, CLIREQ_T** list, const char* name, const char* value,
                      double key);

// Handlers: 0 goes on with the next request, 1 ends the serving of this buffer.
int ReqList(DISPATCH_T* d);
int ReqGet(DISPATCH_T* d);
int ReqSet(DISPATCH_T* d);
int ReqGetMem(DISPATCH_T* d);
int ReqGetFile(DISPATCH_T* d);
int ReqGetFileInfo(DISPATCH_T* d);
int ReqWriteFile(DISPATCH_T* d);
int ReqWriteFileInfo(DISPATCH_T* d);
int ReqHide(DISPATCH_T* d);
int ReqUnhide(DISPATCH_T* d);
int ReqSetConf(DISPATCH_T* d);
int ReqGetInfo(DISPATCH_T* d);
int ReqEnable(DISPATCH_T* d);
int ReqDisable(DISPATCH_T* d);
int ReqHelp(DISPATCH_T* d);
