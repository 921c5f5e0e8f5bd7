// The requests on variables: LIST, GET, SET, EN, DI, HIDE and UNHIDE.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/log.h"
#include "client/dispatch.h"
#include "plc/plcdef.h"
#include "plc/plcvalue.h"
#include "plc/pubfile_ops.h"

namespace {

bool Active(const PUBFILE_R* r) {
  return r->state == PF_ENABLED || r->state == PF_ALWAYS;
}

// The value text of a reply line: cut to 255 characters, a STRING in double quotes.
std::string ReplyValue(const PUBFILE_R* r, const char* value) {
  char out[kPlcValueText + 8];
  if (r->type == PLC_STRING)
    snprintf(out, sizeof out, "\"%.253s\"", value);
  else
    snprintf(out, sizeof out, "%.255s", value);
  return out;
}

int NoMemory(DISPATCH_T* d, const char* what, const std::string& arg) {
  LogReq(d, "Unable to allocate memory for '%s' client request: '%s'", what,
         ReqText(d, arg).c_str());
  return 1;
}

// Calls fn for every record the name selects in the client's copy: all of them (empty), those
// matching a pattern, or the one of a plain name. Returns how many were visited; -1 when fn
// failed (fn's result 1).
template <class Fn>
int ForEachSelected(PUBFILE_T* pf, const std::string& name, Fn fn) {
  int n = 0;
  if (name.empty() || name.find('*') != std::string::npos) {
    const char* pattern = name.empty() ? "*" : name.c_str();
    for (PUBFILE_R* r = FindPubFileRec(pf, pattern); r; r = FindPubFileRec(pf, pattern)) {
      ++n;
      if (fn(r) != 0) {
        while (FindPubFileRec(pf, pattern)) {  // run the enumeration out: the cursor resets
        }
        return -1;
      }
    }
    return n;
  }
  PUBFILE_R* r = FindPubFileRecExact(pf, name.c_str());
  if (!r) return 0;
  return fn(r) != 0 ? -1 : 1;
}

int ListLine(DISPATCH_T* d, const std::string& arg) {
  NETCOMM_T* cli = d->cli;
  const std::string name = NameOf(arg);
  const bool many = name.empty() || name.find('*') != std::string::npos;
  if (many) cli->list_term = 1;
  int n = ForEachSelected(cli->pf, name, [&](PUBFILE_R* r) {
    char value[300];
    int k = snprintf(value, sizeof value, "%s", GetPlcTypeName(r->type));
    if (r->type == PLC_STRING) k += snprintf(value + k, sizeof value - k, "[%u]", r->size);
    if (r->state == PF_DISABLED) k += snprintf(value + k, sizeof value - k, "*");
    if (r->hidden) snprintf(value + k, sizeof value - k, "~");
    return AddReply(&cli->list_req, r->name, value, r->key) ? 0 : 1;
  });
  if (n < 0) return NoMemory(d, "LIST", arg);
  if (n == 0 && !many) {
    LogReq(d, "Unknown variable name '%s' in 'LIST' client request: '%s'", name.c_str(),
           ReqText(d, name).c_str());
    return ErrReq(d, 33, ReqText(d, name));
  }
  return 0;
}

// A GET of a name that is not in the public file: a PLC address read at once.
int GetAddress(DISPATCH_T* d, const std::string& name) {
  COMMOBJ_T* obj = d->obj;
  LogReq(d, "Getting data from address '%s'.", name.c_str());
  char value[kPlcValueText] = {};
  int rc = GetDataValCommObject(obj, name.c_str(), value);
  if (rc == -1) {
    LogReq(d, "Unable to get data from PLC!!!");
    if (obj->link.error.load() != 0)
      LogReq(d, "Invalid parameter of communication service: %s", Dorvik_ErrorMSG(&obj->link));
    return ErrReq(d, 80, name);
  }
  if (rc != 0 || !IsPlcAddr(name.c_str())) {
    LogReq(d, "Unknown variable name '%s' in 'GET' client request: '%s'", name.c_str(),
           ReqText(d, name).c_str());
    return ErrReq(d, 33, ReqText(d, name));
  }
  if (!AddReply(&d->cli->get_req, name.c_str(), value, 0)) return NoMemory(d, "GET", name);
  return 0;
}

int GetLine(DISPATCH_T* d, const std::string& arg) {
  NETCOMM_T* cli = d->cli;
  COMMOBJ_T* obj = d->obj;
  const std::string name = NameOf(arg);
  if (name.empty() || name.find('*') != std::string::npos) {
    cli->get_term = 1;
    const bool skip_hidden = name.empty() || name == "*";
    int n = ForEachSelected(cli->pf, name, [&](PUBFILE_R* r) {
      if (!Active(r) || (skip_hidden && r->hidden)) return 0;
      char value[kPlcValueText] = {};
      GetValCommObject(obj, r->name, value);
      return AddReply(&cli->get_req, r->name, ReplyValue(r, value).c_str(), r->key) ? 0 : 1;
    });
    return n < 0 ? NoMemory(d, "GET", arg) : 0;
  }
  PUBFILE_R* r = FindPubFileRecExact(cli->pf, name.c_str());
  if (!r) return GetAddress(d, name);
  char value[kPlcValueText] = {};
  if (Active(r)) {
    GetValCommObject(obj, r->name, value);
  } else {
    int rc = GetDataValCommObject(obj, r->name, value);
    if (rc == -1) LogReq(d, "Unable to get data from PLC!!!");
    if (rc != 0) return 0;
  }
  if (!AddReply(&cli->get_req, r->name, ReplyValue(r, value).c_str(), r->key))
    return NoMemory(d, "GET", arg);
  return 0;
}

// The value text a PLC address holds after `value` is written to it.
std::string Canonical(const std::string& addr, const std::string& value) {
  uint8_t reg = 0, bit = 0, type = 0;
  uint32_t offset = 0, size = 0;
  if (ParsePlcAddr(addr.c_str(), &reg, &offset, &bit, &type, &size) != 0) return value;
  unsigned char bytes[kPlcValueText + 8] = {};
  std::string text = value;
  if (CharToBinPlc(bytes, &text[0], type, bit, size) != 0) return value;
  char out[kPlcValueText] = {};
  BinToCharPlc(bytes, out, type, bit, size);
  return out;
}

// A SET of a PLC address: written at once; a change shows as a DIFF line.
int SetAddress(DISPATCH_T* d, const std::string& addr, std::string value) {
  COMMOBJ_T* obj = d->obj;
  LogReq(d, "Setting data into address '%s'.", addr.c_str());
  uint8_t reg = 0, bit = 0, type = 0;
  uint32_t offset = 0, size = 0;
  ParsePlcAddr(addr.c_str(), &reg, &offset, &bit, &type, &size);
  if (CharToBinPlc(nullptr, &value[0], type, bit, size) != 0) {
    LogReq(d, "Wrong parameter value '%s' in 'SET' client request: '%s'", value.c_str(),
           ReqText(d, addr + "," + value).c_str());
    return ErrReq(d, 35, ReqText(d, addr + "," + value));
  }
  char before[kPlcValueText] = {};
  int rc = GetDataValCommObject(obj, addr.c_str(), before);
  if (rc == 0) rc = SetDataValCommObject(obj, addr.c_str(), value.c_str()) == -1 ? -2 : 0;
  if (rc != 0) {
    LogReq(d, rc == -1 ? "Unable to get data from PLC!!!" : "Unable to set data in PLC!!!");
    if (obj->link.error.load() != 0)
      LogReq(d, "Invalid parameter of communication service: %s", Dorvik_ErrorMSG(&obj->link));
    return ErrReq(d, 81, addr);
  }
  const std::string after = Canonical(addr, value);
  if (after != before && !AddReply(&d->cli->diff_req, addr.c_str(), after.c_str(), 0)) {
    LogReq(d, "Unable to allocate memory for client request: '%s'", ReqText(d, addr).c_str());
    return 1;
  }
  return 0;
}

int SetLine(DISPATCH_T* d, const std::string& line) {
  NETCOMM_T* cli = d->cli;
  // The separator: the last ',' of the line, or with a quoted value the ',' before the quote.
  const size_t quote = line.find('"');
  size_t sep = quote == std::string::npos ? line.rfind(',') : line.rfind(',', quote);
  if (sep != std::string::npos && quote != std::string::npos &&
      line.find('"', quote + 1) == std::string::npos)
    sep = std::string::npos;  // the closing quote is missing
  std::string value;
  if (sep != std::string::npos)
    value = quote == std::string::npos ? line.substr(sep + 1)
                                       : line.substr(quote + 1, line.size() - quote - 2);
  if (sep == std::string::npos || value.empty()) {
    LogReq(d, "Unable to get parameter value from 'SET' client request: '%s'",
           ReqText(d, line).c_str());
    ErrReq(d, 31, ReqText(d, line));
    return 1;
  }
  const std::string name = NameOf(line.substr(0, sep));
  const std::string text = ReqText(d, name + "," + value);
  PUBFILE_R* r = FindPubFileRecExact(cli->pf, name.c_str());
  if (!r) {
    if (IsPlcAddr(name.c_str())) return SetAddress(d, name, value);
    LogReq(d, "Unknown variable name '%s' in 'SET' client request: '%s'", name.c_str(),
           text.c_str());
    return ErrReq(d, 33, text);
  }
  std::string check = value;
  if (CharToBinPlc(nullptr, &check[0], r->type, r->bit, r->size) != 0) {
    LogReq(d, "Wrong parameter value '%s' in 'SET' client request: '%s'", value.c_str(),
           text.c_str());
    return ErrReq(d, 35, text);
  }
  CLIREQ_T** list = Active(r) ? &cli->set_req : &cli->set_di_req;
  if (!AddReply(list, r->name, value.c_str(), r->key)) {
    LogReq(d, "Unable to allocate memory for 'SET' client request: '%s'", text.c_str());
    return 1;
  }
  if (!Active(r)) {
    r->report_once = 1;  // the next change check reports it once: the client's acknowledgement
    cli->report_pending = 1;
    SetValCommObject(d->obj, r->name, value.c_str());
  }
  return 0;
}

int HideLine(DISPATCH_T* d, const std::string& arg, bool hide) {
  const std::string name = NameOf(arg);
  int rc = hide ? HidePubFile(d->cli->pf, name.c_str()) : UnHidePubFile(d->cli->pf, name.c_str());
  if (rc == 0) return 0;
  LogReq(d, "Unknown variable name '%s' in '%s' client request: '%s'", name.c_str(),
         hide ? "HIDE" : "UNHIDE", ReqText(d, name).c_str());
  return ErrReq(d, 33, ReqText(d, name));
}

int EnableLine(DISPATCH_T* d, const std::string& arg, bool enable) {
  // "name [delta]": the name is the first word; what follows is the delta.
  size_t b = arg.find_first_not_of(' ');
  size_t e = b == std::string::npos ? std::string::npos : arg.find(' ', b);
  const std::string name = NameOf(b == std::string::npos ? "" : arg.substr(b, e - b));
  std::string delta_text;
  if (e != std::string::npos) {
    size_t db = arg.find_first_not_of(' ', e);
    if (db != std::string::npos) delta_text = arg.substr(db);
  }
  double delta = -1;
  const bool number = !delta_text.empty() && sscanf(delta_text.c_str(), "%lf", &delta) == 1;
  if (number) delta = std::fabs(delta);
  if (!number) delta = -1;
  d->obj->active_changed = enable ? 1 : 2;
  const char* what = enable ? "EN" : "DI";
  const std::string text = ReqText(d, delta_text.empty() ? name : name + " " + delta_text);
  int rc = enable ? EnablePubFile(d->cli->pf, name.c_str(), delta)
                  : DisablePubFile(d->cli->pf, name.c_str(), delta);
  if (rc != 0) {
    LogReq(d, "Unknown variable name '%s' in '%s' client request: '%s'", name.c_str(), what,
           text.c_str());
    if (ErrReq(d, 33, text)) return 1;
  }
  if (delta >= 0) {
    ::log("DoReqCommObject", 1, "PLC-%d (%s): Sets the value delta to %lf for variable(s) '%s'.",
          d->obj->cfg.plc_num, d->obj->cfg.name, delta, name.c_str());
  } else if (!delta_text.empty()) {
    LogReq(d, "Unable to set value delta to '%s' for variable(s) '%s' in client request: '%s'",
           delta_text.c_str(), name.c_str(), text.c_str());
    return ErrReq(d, 35, text);
  }
  return 0;
}

template <class LineFn>
int EachLine(DISPATCH_T* d, LineFn fn) {
  std::string line;
  while (NextArgLine(d, &line))
    if (fn(line) != 0) return 1;
  return 0;
}

}  // namespace

int ReqList(DISPATCH_T* d) {
  return EachLine(d, [&](const std::string& l) { return ListLine(d, l); });
}

int ReqGet(DISPATCH_T* d) {
  return EachLine(d, [&](const std::string& l) { return GetLine(d, l); });
}

int ReqSet(DISPATCH_T* d) {
  return EachLine(d, [&](const std::string& l) { return SetLine(d, l); });
}

int ReqHide(DISPATCH_T* d) {
  return EachLine(d, [&](const std::string& l) { return HideLine(d, l, true); });
}

int ReqUnhide(DISPATCH_T* d) {
  return EachLine(d, [&](const std::string& l) { return HideLine(d, l, false); });
}

int ReqEnable(DISPATCH_T* d) {
  return EachLine(d, [&](const std::string& l) { return EnableLine(d, l, true); });
}

int ReqDisable(DISPATCH_T* d) {
  return EachLine(d, [&](const std::string& l) { return EnableLine(d, l, false); });
}
