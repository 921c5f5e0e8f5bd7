// The help text and the JSON forms of the HELP and GETINFO replies.
#include <cstring>

#include "client/protocol.h"
#include "plc/optimreq.h"

namespace {

// Rows that GETINFO and SETCONF share.
const char kHelpIpaddr[] = "     ipaddr                                     - IP address of PLC.";
const char kHelpDvkport[] =
    "     dvkport                                    - DORVIK communication port.";

// Builds one line into a bounded buffer; remembers when something did not fit.
struct LineOut {
  char* out;
  size_t cap;
  size_t len = 0;
  bool full = false;
  void Put(const char* s, size_t n) {
    if (full || len + n >= cap) {
      full = true;
      return;
    }
    memcpy(out + len, s, n);
    len += n;
    out[len] = '\0';
  }
  void Put(const char* s) { Put(s, strlen(s)); }
  // A JSON string body: quotes and backslashes escaped, control bytes as \u00XX.
  void PutEscaped(const char* s) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
      if (*p == '"' || *p == '\\') {
        char e[2] = {'\\', static_cast<char>(*p)};
        Put(e, 2);
      } else if (*p < 0x20) {
        static const char hex[] = "0123456789abcdef";
        char e[6] = {'\\', 'u', '0', '0', hex[*p >> 4], hex[*p & 15]};
        Put(e, 6);
      } else {
        Put(reinterpret_cast<const char*>(p), 1);
      }
    }
  }
  int Done(size_t* n) {
    if (full) {
      if (cap) out[0] = '\0';
      *n = 0;
      return 1;
    }
    *n = len;
    return 0;
  }
};

bool IsNetworkItem(const CLIREQ_T* r) {
  return strcmp(r->name, "NETWORK") == 0;
}

const CLIREQ_T* NextItem(const CLIREQ_T* r) {
  while (r && r->name[0] == '\0') r = r->next;
  return r;
}

}  // namespace

const char* const hlp_msgs[] = {
    " LIST:[variable_name]\\n                         - Get a list of variables in public file.",
    " SET:<variable_name,value>\\n                    - Set variable in the PLC to requested "
    "value.",
    " GET:[variable_name]\\n                          - Get value(s) of variable(s) from the PLC.",
    " EN:[variable_name] [delta]\\n                   - Enable variable(s) in public file and set "
    "variance delta.",
    " DI:[variable_name] [delta]\\n                   - Disable variable(s) in public file and set "
    "variance delta.",
    " HIDE:<variable_name>\\n                         - Hide variable(s) in public file.",
    " UNHIDE:<variable_name>\\n                       - Unhide variable(s) in public file.",
    " GETMEM:<variable_name mem_size>\\n              - Get memory block from PLC.",
    " GETFILE:<file_name>\\n                          - Get file from PLC or PC.",
    " GETFILEINFO:<file_name>\\n                      - Get informations about file from PLC or "
    "PC.",
    " WRITEFILE:<file_name>[<block_size>]=data\\n     - Write file into PLC or PC.",
    " WRITEFILEINFO:<file_name>[<block_size>]=data\\n - Write informations about file into PLC or "
    "PC.",
    " GETINFO:[name]\\n                               - Get informations about communication "
    "server.",
    "   name:",
    "     version                                    - Version of the communication server.",
    "     version_dorvik                             - Version of DORVIK library.",
    "     version_ini                                - Version of INI parsing library.",
    "     version_plc                                - PLC version.",
    kHelpIpaddr,
    "     dvkaddr                                    - DORVIK source address.",
    kHelpDvkport,
    "     serial_device                              - Settings of serial line.",
    "     pubfile                                    - The names of actual public files.",
    "     network                                    - List of connected clients.",
    " SETCONF:<variable_name,value>\\n                - Change variable listed in configuration "
    "file.",
    "   variable_name:",
    kHelpIpaddr,
    "     dvkaddr                                    - DORVIK source address (1 - 126).",
    kHelpDvkport,
    "     serial_device                              - Name of serial line.",
    "     serial_speed                               - Communication speed for serial line.",
    "     pubfile                                    - Public file.",
    "     crlf                                       - End line character (yes = DOS [\\r\\n], no "
    "= UNIX [\\n]).",
    "     diff                                       - Enable or disable sending DIFF messages "
    "(yes = Enabled).",
    " HELP:\\n                                        - Display this help message.",
    nullptr,
};

int JsonHelpLine(const char* const* rows, int crlf, char* out, size_t outsz, size_t* len) {
  LineOut o{out, outsz};
  o.Put("{ \"HELP\": \"");
  for (const char* const* r = rows; *r; ++r) {
    o.PutEscaped(*r);
    o.Put(crlf ? "\\r\\n" : "\\n");
  }
  o.Put(crlf ? "\" }\r\n" : "\" }\n");
  return o.Done(len);
}

int JsonGetInfoLine(const CLIREQ_T* items, int crlf, char* out, size_t outsz, size_t* len) {
  LineOut o{out, outsz};
  o.Put("{ \"GETINFO\": { ");
  const CLIREQ_T* r = NextItem(items);
  if (!r) o.Put("}");
  while (r) {
    o.Put("\"");
    o.PutEscaped(r->name);
    if (IsNetworkItem(r)) {
      // Consecutive NETWORK entries form one array.
      o.Put("\": [ ");
      const CLIREQ_T* first = r;
      while (r && IsNetworkItem(r)) {
        if (r != first) o.Put(", ");
        o.Put("\"");
        o.PutEscaped(r->value);
        o.Put("\"");
        r = NextItem(r->next);
      }
      o.Put(r ? " ], " : " ] }");
    } else {
      o.Put("\": \"");
      o.PutEscaped(r->value);
      o.Put("\"");
      r = NextItem(r->next);
      o.Put(r ? ", " : " }");
    }
  }
  o.Put(crlf ? " }\r\n" : " }\n");
  return o.Done(len);
}
