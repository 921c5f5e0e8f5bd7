// The client text protocol: line assembly, message codes and message lines, the help text,
// the JSON forms of GETINFO and HELP, and Base64 for file data.
#pragma once
#include <cstddef>

struct COMMOBJ_T;
struct NETCOMM_T;
struct CLIREQ_T;

constexpr size_t kLineMax = 131071;     // longest assembled request text
constexpr size_t kEmsgInnerMax = 1023;  // longest inner text of a message line

// Assembles received chunks into complete lines. `pending` and `received` are buffers of
// kLineMax + 1 bytes with their fill lengths. 0: `received` now holds complete lines (or nothing)
// to process; 1: wait for more input. *overflow (when given) becomes 1 when a piece was dropped.
int WaitForCmd(char* pending, size_t* pending_len, char* received, size_t* received_len,
               int* overflow = nullptr);

// The text of a message code; "Unknown error." for a code not in the table.
const char* Ems(int code);

// One message line (with the line end) into out; its length, always < outsz. Quotes,
// backslashes and control bytes of the argument are escaped in the JSON style.
size_t FormatEmsg(char* out, size_t outsz, int json, int crlf, int code, const char* arg);
// Formats the message into the client's transmit buffer and sends it at once. 0 sent (or not
// sent because the client is closing), 1 the send failed (the client is then closing).
int SendEmsgCommObject(COMMOBJ_T* obj, NETCOMM_T* cli, int code, const char* arg);

// Help rows, ended by a null entry.
extern const char* const hlp_msgs[];
constexpr int kHelpRows = 35;

// The JSON lines of HELP (from rows ended by null) and GETINFO (from a list of items; records
// with an empty name are skipped), with the line end. 0, or 1 when the line does not fit in
// outsz (out then holds nothing useful). *len gets the line's length.
int JsonHelpLine(const char* const* rows, int crlf, char* out, size_t outsz, size_t* len);
int JsonGetInfoLine(const CLIREQ_T* items, int crlf, char* out, size_t outsz, size_t* len);

// Base64 through the OpenSSL BIO chain, without line breaks.
long Base64EncodeLen(long n);
long Base64DecodeLen(long n);
// *out gets a NUL-terminated text from malloc (the caller frees it); 0, or 1 on failure.
int Base64Encode(const unsigned char* data, size_t len, char** out, size_t* outlen);
// *out gets the decoded bytes plus a NUL, from malloc (the caller frees it); 0, or 1.
int Base64Decode(const char* text, unsigned char** out, size_t* outlen);

// Receives what the client sent; 1 when it closed the connection (logged, the client closing).
int GetReqCommObject(COMMOBJ_T* obj, NETCOMM_T* cli);
// Serves the requests received from one client in this cycle; non-zero: stop serving it now.
int DoReqCommObject(COMMOBJ_T* obj, NETCOMM_T* cli);
// Sends what is queued for the client in portions; 0, or 1 when a send failed (closing).
int SendReqCommObject(COMMOBJ_T* obj, NETCOMM_T* cli);
// Queues DIFF entries for the variables the client reads that changed; 1 when out of memory.
int DiffCommObject(COMMOBJ_T* obj, NETCOMM_T* cli);
