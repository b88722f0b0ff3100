// Everything Sorvik asks of the operating system. Code outside src/platform
// includes no operating-system header; each platform folder implements these
// declarations once, and the build picks the folder.
//
// Threads: every call here may run on several threads at once, each on
// what it was given, unless its declaration says otherwise. What one
// SharedRegion holds is shared by the threads of its process: lockRegion
// and unlockRegion may be called on it from any of them, while openRegion
// and closeRegion may not overlap any other call on the same SharedRegion.
// replaceFile is the one call whose callers must serialise it themselves,
// for saves of one file.
#ifndef SORVIK_PLATFORM_PLATFORM_H
#define SORVIK_PLATFORM_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace sorvik::platform {

// ---- Shared region and its lock -------------------------------------------

// What a platform keeps of one attachment (its handles and views), defined
// in the platform's own folder and never looked into above it.
struct RegionState;

// One process's attachment to a named shared region. `table` and `journal`
// are this process's views; `state` belongs to the platform, and is null
// while the region is detached.
struct SharedRegion {
    void *table = nullptr;    // tableBytes, shared by every attached process
    void *journal = nullptr;  // journalBytes of shared scratch space beside it
    size_t tableBytes = 0;
    size_t journalBytes = 0;
    RegionState *state = nullptr;
};

// Called while no other process can attach, when nobody uses the region: the
// table and journal read as zero bytes and must be given their first state.
// False gives the build up, for what the caller will not wait for while every
// other attach waits: openRegion then fails with `error` 0, leaving the
// region as if this attach had never begun, so that the caller can get it
// and try again.
using BuildRegion = bool (*)(void *context, SharedRegion *region);

// Creates the region `name` or opens it. When no process uses it (it is new,
// or every earlier user has detached or died), zero-fills it and calls
// `build` before any other process can see it; otherwise takes it unchanged.
// On POSIX the region is two regular files in `directory`, which must exist
// and must not be writable by others: whoever may write the directory shares
// the table, and the library never creates it. Objects are made mode 0660 in
// the directory's group; a symbolic link, anything but a regular file, or an
// object others may open is refused. Objects that do not hold what this
// library writes (their size, the lock's layout) are rebuilt when nobody uses
// them and refused when somebody does. Windows keeps session-wide named
// objects and ignores `directory`. False when the region cannot be created,
// opened or mapped, or is refused; `region` is then left detached and
// `error` holds the system's error number (on POSIX errno values, EUCLEAN
// for objects in use that do not check out).
bool openRegion(const char *directory, const char *name, size_t tableBytes, size_t journalBytes, BuildRegion build,
                void *context, SharedRegion *region, int *error);

// Drops this process's attachment. The region lasts while another process
// still holds it; once nobody does, the next openRegion builds it afresh.
// No thread may be inside lockRegion on the region, or hold its lock.
void closeRegion(SharedRegion *region);

enum class LockResult { acquired, ownerDied, failed };

// Takes the region's inter-process lock, waiting as long as another thread
// or process holds it. ownerDied means the lock was acquired from a holder
// that ended without releasing it, also one whose end the system did not
// see through (a thread found gone while the lock still names it); whatever
// that holder had half-written is the caller's to repair before it
// releases. Never recursive: a thread that takes it twice waits for itself.
// The lock serialises threads of one process as it does processes.
LockResult lockRegion(SharedRegion *region);
void unlockRegion(SharedRegion *region);

// Who holds the lock of the region `name` in `directory` (where the platform
// keeps its regions in one), read from outside: without
// attaching, taking the lock or changing anything. `acquisition` changes
// whenever another holder takes the lock; `processId` is 0 when the holder
// cannot be told. False when nobody holds it or it cannot be read.
struct LockHolder {
    uint64_t acquisition = 0;
    uint32_t processId = 0;
};
bool lockHolder(const char *directory, const char *name, LockHolder *holder);

// ---- Host, clock, files ----------------------------------------------------

// The first IPv4 address the local host name resolves to, network byte
// order; 0.0.0.0 when the name cannot be had or resolved. It may wait on the
// resolver for as long as the resolver takes, so it is never called while a
// lock another process waits for is held. Windows asks Winsock, which the
// library never starts: until the calling process has started it, the
// address is 0.0.0.0.
void hostAddress(uint8_t address[4]);

// Seconds since 1970-01-01 00:00 UTC.
int64_t currentTime();

enum class ReadResult { read, absent, failed };

// Reads the regular file at `path`, at most `limit` bytes, into `text`,
// without ever waiting: a FIFO, device, socket or directory there is refused
// at once. absent when nothing is at the path (nor, on Windows, its
// directory); failed, with `error` holding the system's error number, when
// something is there that cannot be read as a regular file (a directory
// gives EISDIR, any other kind of file ENODEV).
ReadResult readFile(const char *path, size_t limit, std::string *text, int *error);

// Replaces the file at `path` by `size` bytes of `data`. A symbolic link at
// the path is followed, now, to the file it names, which is the one replaced;
// the link stays. Anything there but a regular file, or a file that this
// process may not write by the system's own rules for it, is left alone and
// the save fails (EACCES when it may not write). The bytes go to a new file
// in the same directory, reach the disk and are then renamed over the old
// one, which lends its ownership and mode (never world-writable): a reader
// sees either the old file or the new one whole. Only where the directory
// refuses a new file but the file itself may be written is the file
// rewritten in place instead: written whole, cut to length and flushed,
// after room for it was claimed; a reader may then see it half-written.
// False, with the old file untouched, when any step fails; `error` then
// holds the system's error number when there is room for it.
// Temporaries are hidden and carry a marker nobody gives a file of their
// own; those that savers of this user killed halfway left beside the file
// are removed, and nothing else in the directory is ever touched.
// Saves of one file are serialised by the caller, across threads and
// processes (the library saves only under the table lock): on Windows a
// saver's temporary is unprotected between its close and its rename, and
// the clean-up of another saver of the file would remove it then.
bool replaceFile(const char *path, const char *data, size_t size, int *error);

// The system's error number for data that this system refuses to store as
// it is (EINVAL; ERROR_INVALID_DATA on Windows).
int invalidDataError();

// Leaves `error`, a number replaceFile gave, in the C library's errno for the
// caller to read: as it is where the system's numbers are errno values; on
// Windows as the errno value that stands for it (EACCES, ENOENT, ...), with
// the system's own number in _doserrno.
void setErrno(int error);

// ---- Processes and windows -------------------------------------------------

// Receives one running process: its identifier and its executable's own file
// name, without directory, cut from the path by the platform's own rules.
// On Linux it is the name the kernel keeps for the process where that is
// whole, and where the kernel cut it to 15 characters, the file name of the
// executable /proc links to (without the " (deleted)" the kernel adds once
// the file is gone, unless the running file's own name ends so), or else of
// the first or second word of the command line (a script's interpreter and
// script), whichever begins with the cut name; everything after the last
// '/' is the name, so a backslash is part of it. On Windows it is the
// executable's file name from Toolhelp, after the last backslash. The text
// is `length` bytes, not always followed by a NUL, and lasts only for the
// call. Answers false to end the walk.
using ProcessVisitor = bool (*)(void *context, uint32_t processId, const char *fileName, size_t length);

// Walks the running processes in the platform's order, leaving out those that
// have no executable of their own (kernel threads) and those that have ended
// (zombies; a process whose first thread ended while others run still runs).
// False when no list could be had at all, before any visit.
bool listProcesses(ProcessVisitor visit, void *context);

// Receives one top-level window: its 32-bit handle, the process that owns it
// (0 when unknown), whether it is visible, and its text, cut to at most 63
// bytes (empty when it has none).
using WindowVisitor = void (*)(void *context, uint32_t window, uint32_t ownerProcessId, bool visible,
                               const char *title);

// Walks the top-level windows in the window system's order. False when there
// is no window system to ask; nothing is visited then. On X a call waits for
// the server only until a deadline of its own, then gives up with what it
// has visited. A process attempts one connection at a time, on a thread of
// its own that outlives a call the server never answered: a call made while
// an attempt is pending, from any thread, finds no window system.
bool listWindows(WindowVisitor visit, void *context);

}  // namespace sorvik::platform

namespace sorvik {
// Implemented by the library above the platform; the platform's loader entry
// calls them once per process, when the library is loaded and unloaded.
// A false attach tells a loader that can refuse a library to refuse it.
// `processEnding` tells a detach that the whole process is going, where the
// loader says so; the system then reclaims everything itself.
// Both run inside the loader entry: on POSIX the shared object's constructor
// and destructor (the destructor also at exit, told apart from an unload by
// nothing), on Windows DllMain's process attach and detach, under the
// loader lock, where thread attaches and detaches do nothing. Inside it no
// library may be loaded and no thread started or waited for. An attach does
// no more than open the region, waiting while another process's attach
// holds the region's attach lock, and, when it builds the region, read the
// configuration file and resolve the host address, the address while it
// holds no lock. A detach at most closes the region.
bool onProcessAttach();
void onProcessDetach(bool processEnding);
// Called in the child of a fork, before it returns from fork: the child is a
// new process that shares the parent's attachment but holds none of its
// execution slot.
void onProcessForked();
}  // namespace sorvik

#endif
