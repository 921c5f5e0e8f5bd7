// Signals. Termination and "logged only" signals are blocked in every thread and taken by one
// signal thread through a signalfd, so the log is never written from an asynchronous handler;
// fatal signals (SEGV, ILL, FPE, ABRT) run a handler that logs a back-trace and exits 1.
// Every other signal keeps its default action: the signal thread is ended through a pipe of its
// own, not by borrowing a signal.
#pragma once

// Call before any other thread exists. Returns 0, or 1 if the signal thread cannot start.
int InstallSignalHandlers();

// What the server does on one signal (logging, stop request); run on the signal thread.
void SignalHandler(int sig);

// Logs the back-trace of the calling thread, then "*** END ***", and exits with status 1.
[[noreturn]] void PrintStackTrace();

// Ends the signal thread (at the very end of main).
void StopSignalThread();
