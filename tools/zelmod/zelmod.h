// Zelmod.so, the substitute for the closed shared-memory module: the 28 functions it exports, in
// the order a loader looks them up. A PLC is addressed by its socket, a communication channel
// into it by socket and port (each 0 to 65535, anything else fails). `korvane-plcsim --shm S:P`
// serves one PLC and port; its register images, running flag and port lock live in shared
// memory (layout in shm_layout.h). A socket or port that no live simulator serves fails.
//
// Unless a comment says otherwise a function returns non-zero on success and 0 on failure; the
// reason of the last failure in the process is kept for Zelmod_GetGlErr. Out-pointers are
// written only on success. Every function may be called from any thread.
//
// Blocks handed out by pointer are the module's own memory; texts in them are zero-terminated
// within the block:
// - information block, 256 bytes: version text at 0 (at most 127 characters); int16 at 128: the
//   notes this process holds open; int8 at 130: the sockets, int8 at 131: the ports that
//   simulators serve on this machine (both held to 127). Refreshed by each Zelmod_GetInfo call
//   and valid while the library is loaded.
// - software blocks, 512 bytes: a text at offset 256 ("SimuCtl RUN" / "SimuCtl STOP" for the
//   PLC software, "SimuApl ..." for the application). Refreshed by each call for that socket and
//   valid while the library is loaded.
// - note descriptor: 8 pointers; entries 0, 1, 2 and 4 point to the X, Y, S and R register
//   images (each Zelmod_ComGetInfo bytes long), the others are null. Valid until the note is
//   closed; asking again refreshes the same array (after a simulator restart, to the new one).
#pragma once
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZELMOD_API __attribute__((visibility("default")))

// 1. Points `*info` at the information block. Never fails.
ZELMOD_API int Zelmod_GetInfo(void** info);
// 2. Points `*sw` at the PLC software block of the socket's PLC.
ZELMOD_API int Zelmod_GetPlcSW(int socket, void** sw);
// 3. Points `*sw` at the application software block of the socket's PLC.
ZELMOD_API int Zelmod_GetAplSW(int socket, void** sw);
// 4. Returns the code of the process's last failure (ZELMOD_E_...), 0 when none since loading.
ZELMOD_API int Zelmod_GetGlErr(void);
// 5. Opens the port's note like Zelmod_OpenNoteEx, but fails when any note is open on the port,
//    even this process's own.
ZELMOD_API int Zelmod_CreateNote(int socket, int port, uint64_t* note);
// 6. Stores the handle of the port's open note (whoever opened it) in `*note`; fails when the
//    note is closed.
ZELMOD_API int Zelmod_GetNote(int socket, int port, uint64_t* note);
// 7. Opens the port's note for this process and stores its handle in `*note`. Opening it again
//    from the same process gives the same handle; fails while another live process holds it.
ZELMOD_API int Zelmod_OpenNoteEx(int socket, int port, uint64_t* note);
// 8. Points `*descriptor` at the note descriptor of the port; needs this process's open note.
ZELMOD_API int Zelmod_GetNoteDscEx(int socket, int port, void** descriptor);
// 9. Closes this process's note on the port (fails when this process does not hold it).
ZELMOD_API int Zelmod_CloseNoteEx(int socket, int port);
// 10. Stores `text` (at most 127 characters, else it fails) as the PLC's info text.
ZELMOD_API int Zelmod_PlcSetInfo(int socket, const char* text);
// 11. Copies the PLC's info text, zero-terminated and cut to `size` - 1 bytes, into `text`.
ZELMOD_API int Zelmod_PlcGetInfo(int socket, char* text, int size);
// 12. Clears the PLC's info text.
ZELMOD_API int Zelmod_PlcResInfo(int socket);
// 13. Non-zero while a live simulator serves the socket and its PLC runs ("plc start").
ZELMOD_API int Zelmod_PlcLink(int socket);
// 14. Stores the length in bytes of each of the PLC's register images in `*regsize`.
ZELMOD_API int Zelmod_ComGetInfo(int socket, int* regsize);
// 15. Copies `len` bytes at `addr` of register image `reg` (0 X, 1 Y, 2 S, 3 R) into `buf`,
//     without the port lock; fails when they are not all inside the image.
ZELMOD_API int Zelmod_ComGetBuf(int socket, int reg, int addr, void* buf, int len);
// 16. Enumerates what is served: the `index`-th (from 0) socket and port, ordered by socket and
//     then port, into `*socket` and `*port`; fails past the end.
ZELMOD_API int Zelmod_ComGetSoket(int index, int* socket, int* port);
// 17. Sets the PLC's station address (0 to 255), reported by Zelmod_SocketGetInfo.
ZELMOD_API int Zelmod_ComSetAdrPlc(int socket, int addr);
// 18. Stores the port served with the socket, the PLC's station address and its running flag.
ZELMOD_API int Zelmod_SocketGetInfo(int socket, int* port, int* addr, int* running);
// 19. Turns a trace of this process's port calls for the socket on (`on` non-zero) or off; the
//     trace goes to standard error, one line per call. Fails only for a bad socket number.
ZELMOD_API int Zelmod_SocketSetDebug(int socket, int on);
// 20. Names the port (`name`, `note`: at most 63 characters each, else it fails). Fails while
//     another live process has named it.
ZELMOD_API int Zelmod_PortSetName(int socket, int port, const char* name, const char* note);
// 21. Copies the port's names, zero-terminated and cut to the sizes, into `name` and `note`.
ZELMOD_API int Zelmod_PortGetName(int socket, int port, char* name, int name_size, char* note,
                                  int note_size);
// 22. Clears the port's names when this process (or a process that is gone) set them.
ZELMOD_API int Zelmod_PortResName(int socket, int port);
// 23. Stores the port's state in `*state`: bit 0 named, bit 1 note open, bit 2 note open by
//     this process.
ZELMOD_API int Zelmod_PortGetInfo(int socket, int port, int* state);
// 24. Takes the port's lock, waiting up to `timeout` milliseconds (0 or less: try once). Fails
//     on time-out, when the calling thread holds it already, and when this process's note on the
//     port belongs to a simulator that has gone (open the note again). A lock left by a process
//     that died is taken over.
ZELMOD_API int Zelmod_PortSetLock(int socket, int port, int timeout);
// 25. Releases the port's lock the calling thread holds.
ZELMOD_API int Zelmod_PortResLock(int socket, int port);
// 26. Resets the port whoever set it: clears the names and closes the note (for a master that
//     cannot clean up itself).
ZELMOD_API int Zelmod_PortResInfo(int socket, int port);
// 27. Non-zero when `note` is the handle of the note open on the port.
ZELMOD_API int Zelmod_IsItNote(int socket, int port, uint64_t note);
// 28. Non-zero when `code` is one of the module's failure codes; then `*text` (when not null)
//     points to its constant description.
ZELMOD_API int Zelmod_Is_Err(int code, const char** text);

// Failure codes (Zelmod_GetGlErr, Zelmod_Is_Err).
#define ZELMOD_E_ARG 1      // bad argument (number out of range, null pointer, text too long)
#define ZELMOD_E_SERVED 2   // no live simulator serves this socket or port
#define ZELMOD_E_TIMEOUT 3  // the port lock was not obtained in time
#define ZELMOD_E_NOTE 4     // this process holds no note on the port, or it holds a lost one
#define ZELMOD_E_BUSY 5     // the port's note or names belong to another process
#define ZELMOD_E_LOCK 6     // the lock is not held by this thread, or already is
#define ZELMOD_E_SYSTEM 7   // a system call failed (memory, mapping)

#ifdef __cplusplus
}
#endif
