// The thread of a communication object: its creation, its body (start-up, the timed cycle, the
// end) and the joining and freeing of every object. It sits on top of the object's record and
// link and of the client layer, and calls both.
#pragma once

struct COMMOBJ_T;

int RealizeCommObject(COMMOBJ_T* obj);  // starts the object's thread; 0, or 1 on failure
void* ThreadCommObject(void* arg);
void DestroyAllCommObject(COMMOBJ_T* list);  // joins every thread, frees every object

// Hands the object what its lower layer needs from the client layer (before InitCommObject).
void PrepareCycleCommObject(COMMOBJ_T* obj);
// One cycle's work between the idle wait and the timing rule.
void CycleCommObject(COMMOBJ_T* obj);
// The idle wait before a cycle: cut short by client input, a new connection or a pending write.
void IdleWaitCommObject(COMMOBJ_T* obj);

// The wait before the next cycle (timing rule of the cycle): given the current idle wait, the
// cycle period and the time the cycle's work took (all in us), the next idle wait.
int NextIdleWait(int idle_wait, int period_us, long elapsed_us);
