// Message codes and their texts, and the error/warning/unknown message lines sent to a client.
#include <cstdio>
#include <cstring>

#include "app/log.h"
#include "client/netcomm.h"
#include "client/protocol.h"
#include "comm/commobj.h"

namespace {

struct EMS_T {
  int code;
  const char* text;
};

const EMS_T kEms[] = {
    {10, "Unable to connect to PLC."},
    {11, "Maximum connections reached."},
    {20, "Unable to get data from PLC."},
    {21, "Unable to send data to PLC."},
    {30, "Bad client request:"},
    {31, "Incomplete client request:"},
    {32, "Unknown command name in request:"},
    {33, "Unknown variable name in request:"},
    {34, "Disabled variable name:"},
    {35, "Wrong parameter value in request:"},
    {36, "No space in buffer for client request:"},
    {40, "Unable to get information about file:"},
    {41, "Unable to get file:"},
    {42, "Unable to write file:"},
    {43, "Unable to write file information:"},
    {44, "Unterminated write file data:"},
    {45, "Timeout write file data:"},
    {46, "Aborted get file:"},
    {80, "Unable to get data from address:"},
    {81, "Unable to set data into address:"},
    {50, "Unknown name in request:"},
    {60, "Unknown name in request:"},
    {70, "Unable to connect to SHARED module."},
    {250, "Changed public file:"},
    {251, "Public file not changed:"},
    {1024, "Unknown error."},
};
constexpr size_t kEmsRows = sizeof kEms / sizeof kEms[0];
static_assert(kEmsRows == 26, "26 message rows");

// Appends at most `room` bytes of arg to out, escaped for JSON when asked; never splits an
// escape. Returns the bytes written.
size_t AppendArg(char* out, size_t room, const char* arg, int json) {
  size_t n = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(arg); *p; ++p) {
    char esc[8];
    size_t k;
    if (json && (*p == '"' || *p == '\\')) {
      esc[0] = '\\';
      esc[1] = static_cast<char>(*p);
      k = 2;
    } else if (json && *p < 0x20) {
      k = static_cast<size_t>(snprintf(esc, sizeof esc, "\\u%04x", *p));
    } else {
      esc[0] = static_cast<char>(*p);
      k = 1;
    }
    if (n + k > room) break;
    memcpy(out + n, esc, k);
    n += k;
  }
  return n;
}

// The inner text (plain or JSON) into inner[kEmsgInnerMax + 1]; its length.
size_t InnerText(char* inner, int json, int code, const char* arg) {
  const char* text = Ems(code);
  bool takes_arg = strchr(text, ':') != nullptr;
  const size_t cap = kEmsgInnerMax + 1;
  if (!takes_arg) {
    int n = json ? snprintf(inner, cap, "{ \"code\": %d, \"text\": \"%s\" }", code, text)
                 : snprintf(inner, cap, "%d %s", code, text);
    return n < 0 ? 0 : (static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1);
  }
  // The argument is cut so that the closing quote (and brace) always fit.
  const char* closing = json ? "'\" }" : "'";
  int n = json ? snprintf(inner, cap, "{ \"code\": %d, \"text\": \"%s '", code, text)
               : snprintf(inner, cap, "%d %s '", code, text);
  size_t head = n < 0 ? 0 : static_cast<size_t>(n);
  size_t close_len = strlen(closing);
  if (head + close_len > kEmsgInnerMax) return head < cap ? head : cap - 1;
  head += AppendArg(inner + head, kEmsgInnerMax - head - close_len, arg ? arg : "", json);
  memcpy(inner + head, closing, close_len);
  head += close_len;
  inner[head] = '\0';
  return head;
}

}  // namespace

const char* Ems(int code) {
  for (size_t i = 0; i < kEmsRows; ++i)
    if (kEms[i].code == code) return kEms[i].text;
  return kEms[kEmsRows - 1].text;
}

size_t FormatEmsg(char* out, size_t outsz, int json, int crlf, int code, const char* arg) {
  if (outsz == 0) return 0;
  char inner[kEmsgInnerMax + 1];
  int n;
  if (code >= 1024) {
    n = json ? snprintf(out, outsz,
                        "{ \"UNKNOWN\": { \"code\": %d, \"text\": \"Unknown error.\" }}%s", code,
                        crlf ? "\r\n" : "\n")
             : snprintf(out, outsz, "UNKNOWN:%d Unknown error.%s", code, crlf ? "\r\n" : "\n");
  } else {
    InnerText(inner, json, code, arg);
    const char* kind = code < 250 ? "ERROR" : "WARNING";
    n = json ? snprintf(out, outsz, "{ \"%s\": %s}%s", kind, inner, crlf ? "\r\n" : "\n")
             : snprintf(out, outsz, "%s:%s%s", kind, inner, crlf ? "\r\n" : "\n");
  }
  if (n < 0) {
    out[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(n) < outsz ? static_cast<size_t>(n) : outsz - 1;
}

int SendEmsgCommObject(COMMOBJ_T* obj, NETCOMM_T* cli, int code, const char* arg) {
  if (cli->state & NET_FREE) return 0;
  // The message goes out behind the client's own unsent replies.
  char line[kEmsgInnerMax + 64];
  size_t n = FormatEmsg(line, sizeof line, cli->json, cli->crlf, code, arg);
  if (QueueNetComm(cli, line, n) != 0) return DropSlowNetComm(obj, cli);
  if (SendNetComm(cli, -1) != 0) {
    log("SendEmsgCommObject", 0, "PLC-%d (%s): Closed connection from %s", obj->cfg.plc_num,
        obj->cfg.name, cli->addr);
    cli->state = NET_FREE;
    return 1;
  }
  return 0;
}
