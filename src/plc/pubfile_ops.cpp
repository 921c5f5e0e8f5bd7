// Enabling, disabling, hiding, copying, merging, destroying and folding public files.
#include "plc/pubfile_ops.h"

#include <cstdlib>
#include <memory>
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
  int32_t state;  // PF_ENABLED or PF_DISABLED: also the choice set of this operation
  int32_t other;  // the opposite set
  int32_t PUBFILE_T::*own_mark;
};

const Selection kEnable = {PF_ENABLED, PF_DISABLED, &PUBFILE_T::enable_mark};
const Selection kDisable = {PF_DISABLED, PF_ENABLED, &PUBFILE_T::disable_mark};

void ApplySelected(PUBFILE_T* pf, PUBFILE_R* rec, double delta, const Selection& s) {
  if (delta >= 0) {
    rec->delta = delta;
    rec->retake = 1;
  }
  if (rec->state != PF_ALWAYS) {
    pf->*s.own_mark = 3;
    rec->choice = static_cast<uint8_t>(s.state);  // and out of the other set
  } else if (rec->choice == s.other) {
    rec->choice = 0;
  }
  SetRecState(rec, s.state);
}

// Collects the records a name selects: exact, pattern, or all (empty name).
int SelectAndApply(PUBFILE_T* pf, const char* name, double delta, const Selection& s) {
  if (!pf || !name) return 1;
  const PubNameMap& names = pf->index->names;
  int selected = 0;
  if (name[0] == '\0') {
    bool other_empty = true;
    for (const PUBFILE_R& r : pf->recs) other_empty = other_empty && r.choice != s.other;
    // With names in the other set, only those are selected (each leaves the set as it is
    // applied), and the set is emptied afterwards, hidden names included.
    for (const auto& e : names) {
      PUBFILE_R* rec = &pf->recs[e.second];
      if (rec->hidden || (!other_empty && rec->choice != s.other)) continue;
      ++selected;
      ApplySelected(pf, rec, delta, s);
    }
    for (PUBFILE_R& r : pf->recs) {
      if (r.choice == s.other) r.choice = 0;
    }
    return selected ? 0 : 1;
  }
  if (strchr(name, '*')) {
    // Walks the index directly so an enumeration left half-way cannot shorten the selection.
    const bool all = strcmp(name, "*") == 0;
    for (const auto& e : names) {
      PUBFILE_R* rec = &pf->recs[e.second];
      if (all ? rec->hidden != 0 : strmcmp(e.first, name) != 0) continue;
      ++selected;
      ApplySelected(pf, rec, delta, s);
    }
    pf->name_cursor = names.begin();
    return selected ? 0 : 1;
  }
  PUBFILE_R* rec = FindPubFileRecExact(pf, name);
  if (!rec) return 1;
  ApplySelected(pf, rec, delta, s);
  return 0;
}

int SetHidden(PUBFILE_T* pf, const char* name, int32_t hidden) {
  if (!pf || !name) return 1;
  int changed = 0;
  if (name[0] == '\0' || strchr(name, '*')) {
    const bool all = name[0] == '\0' || strcmp(name, "*") == 0;
    for (const auto& e : pf->index->names) {
      if (!all && strmcmp(e.first, name) != 0) continue;
      pf->recs[e.second].hidden = hidden;
      ++changed;
    }
    pf->name_cursor = pf->index->names.begin();
    return changed ? 0 : 1;
  }
  PUBFILE_R* rec = FindPubFileRecExact(pf, name);
  if (!rec) return 1;
  rec->hidden = hidden;
  return 0;
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

// The copy shares the source's index and name texts, which no file changes once shared; it
// holds only its own records, with what a client changes in them.
PUBFILE_T* ClonePubFile(PUBFILE_T* pf) {
  if (!pf) return nullptr;
  std::unique_ptr<PUBFILE_T> copy(CreatePubFile(nullptr));
  if (!copy) return nullptr;
  try {
    copy->recs.assign(pf->recs.begin(), pf->recs.end());
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  copy->index = pf->index;
  CreatePubFile(copy.get());  // cursors into the shared index
  memcpy(copy->file.name, pf->file.name, sizeof copy->file.name);
  copy->file.source = pf->file.source;
  for (PUBFILE_R& r : copy->recs) {
    if (r.state != PF_ALWAYS) r.state = pf_var_disabled ? PF_DISABLED : PF_ENABLED;
    r.choice = r.state == PF_ALWAYS ? 0 : static_cast<uint8_t>(r.state);
    if (r.state == PF_ENABLED) copy->enable_mark = 3;
    if (r.state == PF_DISABLED) copy->disable_mark = 3;
  }
  return copy.release();
}

PUBFILE_T* AddPubFile(PUBFILE_T* dst, PUBFILE_T* src) {
  if (!dst || !src) return dst;
  // The destination gets its own copy of the text, so each file frees only what it owns.
  PUBINDEX_T* ix = OwnPubIndex(dst);
  if (!ix || CopyPubText(&dst->file, &src->file) != 0) return nullptr;
  const PUBINDEX_T& from = *src->index;
  try {
    if (&from != ix)
      ix->name_owners.insert(ix->name_owners.end(), from.name_owners.begin(),
                             from.name_owners.end());
    dst->recs.reserve(dst->recs.size() + from.names.size());
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  for (const auto& e : from.names) {
    switch (InsertPubFileRec(dst, src->recs[e.second])) {
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
// A copy sharing pf's index has the variable at the same position; others are searched by name.
static bool InChosenSet(const PubFileCopies& clients, const PUBFILE_T* pf, uint32_t at,
                        bool enabled) {
  const PUBFILE_R& r = pf->recs[at];
  for (PUBFILE_T** slot : clients) {
    PUBFILE_T* c = slot ? *slot : nullptr;
    if (!c || (!enabled && c->disable_mark != 3)) continue;
    const PUBFILE_R* cr = c->index == pf->index ? &c->recs[at] : FindPubFileRecExact(c, r.name);
    if (cr && cr->choice == (enabled ? PF_ENABLED : PF_DISABLED)) return true;
  }
  return false;
}

int UpdatePubFile(PUBFILE_T* pf, const PubFileCopies* clients) {
  if (!pf || !clients) return 0;
  bool any_copy = false;
  for (PUBFILE_T** slot : *clients) any_copy = any_copy || (slot && *slot);

  int set = 0;
  for (const auto& e : pf->index->names) {
    PUBFILE_R& r = pf->recs[e.second];
    int32_t state = r.state;
    bool assign = false;
    if (any_copy || r.state == PF_ALWAYS) {
      if (InChosenSet(*clients, pf, e.second, true)) {
        state = PF_ENABLED;
        assign = true;
      } else if (InChosenSet(*clients, pf, e.second, false)) {
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
