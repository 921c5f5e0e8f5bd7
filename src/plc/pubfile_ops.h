// Operations on public files: enabling and disabling variables, hiding them, copying a file for
// a client, merging two files, destroying a file, and keeping the clients' copies and the
// communication object's file in step.
#pragma once
#include <vector>

#include "plc/pubfile.h"

// The clients that keep their own copy of the public file (connected clients): one entry per
// client, pointing at that client's PUBFILE_T* so a refresh can replace the copy in place.
// The caller passes a null list when it has no client list at all.
using PubFileCopies = std::vector<PUBFILE_T**>;

int EnablePubFileRec(PUBFILE_T* pf, const char* name);  // 0, or 1 "Unknown variable name: %s"
int DisablePubFileRec(PUBFILE_T* pf, const char* name);
// name: exact, a pattern with '*', or empty for all; delta < 0 leaves the delta as it is.
int EnablePubFile(PUBFILE_T* pf, const char* name, double delta);
int DisablePubFile(PUBFILE_T* pf, const char* name, double delta);
int HidePubFile(PUBFILE_T* pf, const char* name);
int UnHidePubFile(PUBFILE_T* pf, const char* name);

// A new file with copies of every record (names shared and kept alive), or null.
PUBFILE_T* ClonePubFile(PUBFILE_T* pf);
// Adds src's records and a copy of its text to dst; dst, or null when a record cannot be inserted.
PUBFILE_T* AddPubFile(PUBFILE_T* dst, PUBFILE_T* src);
// Destroys the file and its own text. Names are shared and freed with the last file that holds
// them, so the modes (0 object only, 1 names but the fixed ones, 2 all names) all end safely:
// no mode can free a name that another file still points at.
void RemovePubFile(PUBFILE_T* pf, int mode);

// Gives every client a fresh copy of pf. 0, or 1 when a copy cannot be made (that client keeps
// its old copy).
int UpdatePubFileClient(PUBFILE_T* pf, const PubFileCopies* clients);
// Folds the clients' enable/disable choices into pf. Non-zero when a record's state was set.
int UpdatePubFile(PUBFILE_T* pf, const PubFileCopies* clients);
