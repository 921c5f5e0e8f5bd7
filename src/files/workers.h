// The process-wide background workers (file get, file write, memory read): their thread
// attributes, prepared again by every communication object before its thread starts.
#pragma once

// Initialises the three attribute sets with 64 KiB stacks; on failure stores the message and
// returns 1.
int PrepareWorkerAttrs(const char** errmsg);
// Stops the background reads (file get and memory), waits for a running file write, then
// destroys the three attribute sets. Called once the communication threads have ended and
// before their records are freed, so no worker outlives the process's objects.
void DestroyWorkerAttrs();
