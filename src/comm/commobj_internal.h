// The steps of a communication object's thread, each in its own function. The client steps are
// implemented by the client layer, the worker attributes by the file services.
#pragma once
#include <cstdint>

struct COMMOBJ_T;

// Client layer (src/client).
int StartClientsCommObject(COMMOBJ_T* obj);  // listening socket at thread start; 1 stops the thread
void StopClientsCommObject(COMMOBJ_T* obj);  // closes every client and the listening socket
void IdleWaitCommObject(COMMOBJ_T* obj);     // cycle step 1: the idle wait
int UpdateNetCommObject(COMMOBJ_T* obj);     // connection upkeep
void ServeClientsCommObject(COMMOBJ_T* obj, uint32_t crc_read);  // receive, dispatch, reply

// The cycle's work between the idle wait and the timing rule.
void CycleCommObject(COMMOBJ_T* obj);

// Frees what the object owns (images, file cache, link, public files, plans, clients).
void FreeCommObject(COMMOBJ_T* obj);
