// Enabling, disabling, hiding, copying, merging, destroying and folding public files.
#include "plc/pubfile_ops.h"

#include <cstdlib>
#include <new>
#include <string>

#include "app/globals.h"
#include "app/log.h"
#include "app/text.h"

namespace {

// A record in state 4 is left alone.
void SetRecState(PUBFILE_R* rec, int32_t state) {
  if (rec->state != PF_ALWAYS) rec->state = state;
}

int SetRecStateByName(PUBFILE_T* pf, const char* name, int32_t state, const char* tag) {
  PUBFILE_R* rec = FindPubFileRec(pf, name);
  if (!rec) {
    log(tag, 0, "Unknown variable name: %s", name ? name : "");
    return 1;
  }
  SetRecState(rec, state);
  return 0;
}

struct Selection {
  int32_t state;  // PF_ENABLED or PF_DISABLED
  int32_t PUBFILE_T::*own_mark;
  PubNameSet PUBFILE_T::*own_set;
  PubNameSet PUBFILE_T::*other_set;
};

const Selection kEnable = {PF_ENABLED, &PUBFILE_T::enable_mark, &PUBFILE_T::enabled_names,
                           &PUBFILE_T::disabled_names};
const Selection kDisable = {PF_DISABLED, &PUBFILE_T::disable_mark, &PUBFILE_T::disabled_names,
                            &PUBFILE_T::enabled_names};

int ApplySelected(PUBFILE_T* pf, PUBFILE_R* rec, double delta, const Selection& s) {
  if (delta >= 0) {
    rec->delta = delta;
    rec->retake = 1;
  }
  try {
    if (rec->state != PF_ALWAYS) {
      pf->*s.own_mark = 3;
      (pf->*s.own_set).emplace(rec->name, rec->name);
    }
  } catch (const std::bad_alloc&) {
    return 1;
  }
  (pf->*s.other_set).erase(rec->name);
  SetRecState(rec, s.state);
  return 0;
}

// Collects the records a name selects: exact, pattern, or all (empty name).
int SelectAndApply(PUBFILE_T* pf, const char* name, double delta, const Selection& s) {
  if (!pf || !name) return 1;
  int selected = 0;
  if (name[0] == '\0') {
    PubNameSet& other = pf->*s.other_set;
    if (other.empty()) {
      for (auto& e : pf->names) {
        if (e.second->hidden) continue;
        ++selected;
        if (ApplySelected(pf, e.second, delta, s)) return 1;
      }
      return selected ? 0 : 1;
    }
    // Copy first: applying takes each name out of the set being walked.
    std::vector<const char*> todo;
    try {
      for (const auto& e : other) todo.push_back(e.first);
    } catch (const std::bad_alloc&) {
      return 1;
    }
    for (const char* n : todo) {
      PUBFILE_R* rec = FindPubFileRecExact(pf, n);
      if (!rec || rec->hidden) continue;
      ++selected;
      if (ApplySelected(pf, rec, delta, s)) return 1;
    }
    other.clear();
    return selected ? 0 : 1;
  }
  if (strchr(name, '*')) {
    // Walks the index directly so an enumeration left half-way cannot shorten the selection.
    const bool all = strcmp(name, "*") == 0;
    for (auto& e : pf->names) {
      if (all ? e.second->hidden != 0 : strmcmp(e.first, name) != 0) continue;
      ++selected;
      if (ApplySelected(pf, e.second, delta, s)) return 1;
    }
    pf->name_cursor = pf->names.begin();
    return selected ? 0 : 1;
  }
  PUBFILE_R* rec = FindPubFileRecExact(pf, name);
  if (!rec) return 1;
  return ApplySelected(pf, rec, delta, s);
}

int SetHidden(PUBFILE_T* pf, const char* name, int32_t hidden) {
  if (!pf || !name) return 1;
  int changed = 0;
  if (name[0] == '\0' || strchr(name, '*')) {
    const bool all = name[0] == '\0' || strcmp(name, "*") == 0;
    for (auto& e : pf->names) {
      if (!all && strmcmp(e.first, name) != 0) continue;
      e.second->hidden = hidden;
      ++changed;
    }
    pf->name_cursor = pf->names.begin();
    return changed ? 0 : 1;
  }
  PUBFILE_R* rec = FindPubFileRecExact(pf, name);
  if (!rec) return 1;
  rec->hidden = hidden;
  return 0;
}

bool ShareNames(PUBFILE_T* dst, const PUBFILE_T* src) {
  try {
    for (const auto& o : src->name_owners) dst->name_owners.push_back(o);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace

int EnablePubFileRec(PUBFILE_T* pf, const char* name) {
  return SetRecStateByName(pf, name, PF_ENABLED, "EnablePubFileRec");
}

int DisablePubFileRec(PUBFILE_T* pf, const char* name) {
  return SetRecStateByName(pf, name, PF_DISABLED, "DisablePubFileRec");
}

int EnablePubFile(PUBFILE_T* pf, const char* name, double delta) {
  return SelectAndApply(pf, name, delta, kEnable);
}

int DisablePubFile(PUBFILE_T* pf, const char* name, double delta) {
  return SelectAndApply(pf, name, delta, kDisable);
}

int HidePubFile(PUBFILE_T* pf, const char* name) {
  return SetHidden(pf, name, 1);
}

int UnHidePubFile(PUBFILE_T* pf, const char* name) {
  return SetHidden(pf, name, 0);
}

PUBFILE_T* ClonePubFile(PUBFILE_T* pf) {
  if (!pf) return nullptr;
  std::unique_ptr<PUBFILE_T> copy(CreatePubFile(nullptr));
  if (!copy || !ShareNames(copy.get(), pf)) return nullptr;
  memcpy(copy->file.name, pf->file.name, sizeof copy->file.name);
  copy->file.source = pf->file.source;
  for (const auto& e : pf->names) {
    PUBFILE_R r = *e.second;
    if (r.state != PF_ALWAYS) r.state = pf_var_disabled ? PF_DISABLED : PF_ENABLED;
    switch (InsertPubFileRec(copy.get(), r)) {
      case PF_INSERTED:
        break;
      case PF_KEY_TAKEN:
        log("ClonePubFile", 0, "Unable to insert (addrs) new public file record!");
        return nullptr;
      default:
        log("ClonePubFile", 0, "Unable to insert (names) new public file record!");
        return nullptr;
    }
    if (r.state == PF_ENABLED) copy->enable_mark = 3;
    if (r.state == PF_DISABLED) copy->disable_mark = 3;
  }
  return copy.release();
}

PUBFILE_T* AddPubFile(PUBFILE_T* dst, PUBFILE_T* src) {
  if (!dst || !src) return dst;
  // The destination gets its own copy of the text, so each file frees only what it owns.
  if (!ShareNames(dst, src) || CopyPubText(&dst->file, &src->file) != 0) return nullptr;
  for (const auto& e : src->names) {
    switch (InsertPubFileRec(dst, *e.second)) {
      case PF_INSERTED:
        break;
      case PF_NAME_TAKEN:
        log("AddPubFile", 0, "Found duplicity for variable: %s. Skiping this record!", e.first);
        break;
      default:
        log("AddPubFile", 0, "Unable to insert (addrs) new public file record!");
        return nullptr;
    }
  }
  return dst;
}

void RemovePubFile(PUBFILE_T* pf, int mode) {
  (void)mode;
  delete pf;  // frees the records and the text, and drops this file's hold on the names
}

int UpdatePubFileClient(PUBFILE_T* pf, const PubFileCopies* clients) {
  if (!clients) return 0;
  for (PUBFILE_T** slot : *clients) {
    if (!slot) continue;
    PUBFILE_T* fresh = ClonePubFile(pf);
    if (!fresh) return 1;
    RemovePubFile(*slot, 0);
    *slot = fresh;
  }
  return 0;
}

// A client's enabled names count whatever its mark: a client that enabled a variable earlier
// still reads it, so another client's later disable must not stop the polling. Disabled names
// count only while the mark shows a fresh choice.
static bool InChosenSet(const PubFileCopies& clients, const char* name, bool enabled) {
  for (PUBFILE_T** slot : clients) {
    const PUBFILE_T* c = slot ? *slot : nullptr;
    if (!c) continue;
    if (enabled && c->enabled_names.count(name)) return true;
    if (!enabled && c->disable_mark == 3 && c->disabled_names.count(name)) return true;
  }
  return false;
}

int UpdatePubFile(PUBFILE_T* pf, const PubFileCopies* clients) {
  if (!pf || !clients) return 0;
  bool any_copy = false;
  for (PUBFILE_T** slot : *clients) any_copy = any_copy || (slot && *slot);

  int set = 0;
  for (auto& e : pf->names) {
    PUBFILE_R& r = *e.second;
    int32_t state = r.state;
    bool assign = false;
    if (any_copy || r.state == PF_ALWAYS) {
      if (InChosenSet(*clients, r.name, true)) {
        state = PF_ENABLED;
        assign = true;
      } else if (InChosenSet(*clients, r.name, false)) {
        state = PF_DISABLED;
        assign = true;
      }
    } else {
      state = pf_var_disabled ? PF_DISABLED : PF_ENABLED;
      assign = true;
    }
    if (!assign) continue;
    r.state = state;
    set = 1;
  }
  if (set) {
    for (PUBFILE_T** slot : *clients) {
      if (!slot || !*slot) continue;
      if ((*slot)->enable_mark == 3) (*slot)->enable_mark = 0;
      if ((*slot)->disable_mark == 3) (*slot)->disable_mark = 0;
    }
  }
  return set;
}
