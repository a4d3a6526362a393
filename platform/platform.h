// The few operating-system services the unpacker needs: sequential files,
// console output, heap and page memory, auto-reset events, threads, a
// millisecond tick counter and a message box.  One implementation per system:
// platform_posix.cpp and platform_windows.cpp, each in the order of this file.
//
// A path is the bytes as given on POSIX.  On Windows it is UTF-8 text, given
// to the system as UTF-16 in the \\?\ form (no length limit short of the
// system's, a relative path completed first); text that is not UTF-8 names no
// file.  The programs take their arguments as UTF-16 (runWithUtf8Arguments),
// so every name reaches the system as the user wrote it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dev::platform {

// ---- Process start. ----
// Makes the standard streams safe for the rest of the process; call it first
// thing in a program's main, before any file is opened.  Afterwards:
//  - no file opened later can take a standard stream's place and receive
//    console text: on POSIX each of standard input, output and error that
//    was closed is opened on the null device; Windows never reuses them;
//  - writing to a standard stream whose reader has gone (a closed pipe) fails
//    like any other write instead of ending the process;
//  - standard input and output carry bytes unchanged (no text translation).
void prepareStandardStreams();

enum class StandardStream { Input, Output, Error };
// true when the stream is an interactive terminal (a console window).
bool isTerminal(StandardStream stream);
// true when the stream was closed (or missing) when the process started:
// standardOutput() then gives nullptr, since data written there would be
// lost without an error.
bool wasClosedAtStart(StandardStream stream);

#if defined(_WIN32)
// The program's entry on Windows (wmain): runs program with the arguments as
// UTF-8 and returns its status.  An argument that is not valid UTF-16 (an
// unpaired surrogate) has no UTF-8 form: "NAME: argument N is not valid
// Unicode text" goes to standard error and refused is returned.
int runWithUtf8Arguments(const char* name, int argc, wchar_t** argv, int (*program)(int, char**), int refused);
#endif

// ---- Files: sequential, whole-buffer reads and writes. ----
struct File;
// An existing file that is not a directory; nullptr otherwise.
File* openForRead(const char* path);
File* createForWrite(const char* path);  // created anew (truncated); nullptr on failure
// Creates path as a new file for writing; nullptr when anything already
// exists at path or it cannot be created.  Never opens an existing file.
File* createNew(const char* path);
// The process's standard input or output as a File; closeFile() releases the
// File but leaves the stream open.  nullptr when it cannot be had or was
// closed at start.
File* standardInput();
File* standardOutput();
// Reads up to size bytes; returns the count read (less than size only at the
// end of the file or on an error), or -1 on an error before anything was read.
int64_t readFile(File* file, void* buffer, size_t size);
// Writes all size bytes; false on any failure.
bool writeFile(File* file, const void* buffer, size_t size);
// Hands data still held for the file to the system; false when some of what
// was written cannot be stored (a full disk, for example).  Call it before
// closing a file whose content matters.  On Windows a disk file's data are
// stored (FlushFileBuffers), so that a write the system would fail only
// later (a network share's delayed write) fails here.
bool flushFile(File* file);
// Releases the file (nullptr: nothing); false when the system reports on
// closing that something written was not stored.
bool closeFile(File* file);

// true when path names the very file that file is open on (under this or
// another name, hard links included); false when path does not exist or
// names another file.
bool isSameFile(File* file, const char* path);
// Removes path and closes file, but removes only when path itself (not
// through a symbolic link) still names that same file and it is a regular
// disk file: never a device, a pipe or a directory.  For discarding a partial
// output after a failed run; a file made by createBeside is removed while it
// is still held (POSIX).  file is released in every case; true when removed.
bool closeAndRemove(File* file, const char* path);
// What path names, following symbolic links.
enum class PathKind { Missing, Regular, Directory, Other };  // Other: a device, a pipe, a socket
PathKind pathKind(const char* path);
// Creates a new file of our own beside target, for an output that is put in
// place only when it is complete: named target + ".partial", or
// target + ".partial-N" when that name is taken; when such a name would pass
// the system's limit for one name (255), the target's own name is cut short
// first.  The name is written to temporary (a capacity of at least the
// target's length + 16; nullptr when it is smaller); nullptr when no file can
// be created.  Until it is put in place or removed (moveIntoPlace,
// closeAndRemove), an interrupt removes it (removeOnInterrupt), from the
// moment it exists.
//
// The file is held exclusively for as long as it is open (POSIX: an flock
// lock on it, taken before anything is written and released by the system
// when the process ends in any way, even killed; Windows: opened without
// sharing it for writing), which tells a temporary that a run is still
// writing from one that a killed run left behind.  An existing file at a
// temporary name is never written unless it is such a stale temporary of
// ours: no process holds it, it is a regular file with one name, owned by
// this user (POSIX), and empty or beginning with "BIK", "KB2" or "DEV", as
// every output of these programs does.  It is then emptied and reused, so
// stale temporaries never pile up; any other file there is left alone and the
// next name is tried.
File* createBeside(const char* target, char* temporary, size_t capacity);
// Puts a file made by createBeside in place: renames temporary to target
// (replacing an existing file only with replace) while the file is still
// held, so no other run can take it for a stale one in between, then closes
// it.  file is released in every case; false when the rename fails, the
// temporary file then removed (the reason is kept for lastErrorText).
bool moveIntoPlace(File* file, const char* temporary, const char* target, bool replace);
// Gives to the mode (permission bits), owner and group where the system
// permits, and modification time of from (POSIX); on Windows the last-write
// time and the read-only attribute.  Flushes to first, so that no later write
// changes its time.  false when to could not take them (an owner that may
// not be given is no failure).
bool copyAttributes(File* from, File* to);
// The system's words for why the last failed call of this thread failed
// ("No space left on device"), written to text with a terminating zero;
// returns the length.  Read it right after the failed call.
size_t lastErrorText(char* text, size_t capacity);
// Renames from to to, in the same folder.  With replace, an existing file at
// to is replaced in one step; without it the rename fails when anything
// exists at to.  false on failure, with both names as they were.  On
// Windows a replaced file's hidden and system attributes go to the file that
// takes its place (they mark the place, as a POSIX dot name does); a
// read-only, hidden or system attribute that refuses the replacement is
// cleared only for the moment of the rename and given back if it fails.
bool moveFile(const char* from, const char* to, bool replace);

// ---- Interrupts. ----
// Names path for removal by an interrupt, which then removes it before the
// process ends as the interrupt would end it (POSIX: SIGINT, SIGTERM and
// SIGHUP; Windows: Ctrl+C, Ctrl+Break and closing the console), so that a
// partial output is never left behind.  Several paths at a time, from any
// thread (up to 64; the text is copied, a longer one than the system's path
// limit is not kept); nullptr does nothing.  A path is no longer named once
// moveIntoPlace or closeAndRemove has handled it.  On Windows the file must
// have been made by createBeside, which lets it be removed while open.
void removeOnInterrupt(const char* path);

// ---- Console: standard output and standard error, written as they stand
// (UTF-8 text; on Windows a console is given it as UTF-16, so that names
// show in any script). ----
void consoleWrite(const char* text, size_t length);
// Flushes what the C runtime holds for standard error first.
void errorWrite(const char* text, size_t length);

// ---- Memory. ----
void* heapAlloc(size_t size);  // nullptr on failure
void heapFree(void* block);
// Zero-filled pages; nullptr on failure.  dense names the byte ranges of the
// block that will be used densely (a model table's hot part, at random; a
// large ring that every frame writes again): where the system gives large
// pages without privilege (Linux transparent huge pages), the whole
// kLargePage units inside those ranges are backed by them, which spares the
// faults and page walks of small pages at the price of a whole large page of
// memory once any byte of it is touched.  Elsewhere, and on systems without
// them, dense changes nothing.
// The block starts on a kLargePage boundary when dense is not empty and
// largePagesOffered().
struct PageSpan {
    size_t offset;
    size_t length;
};
constexpr size_t kLargePage = size_t(2) << 20;
void* pageAlloc(size_t size, const PageSpan* dense = nullptr, size_t denseCount = 0);
void pageFree(void* block, size_t size);
// true when pageAlloc backs dense ranges with large pages on this system.
bool largePagesOffered();
// Asks the system to back [block, block + size) of a pageAlloc block now, as
// a write would, instead of on first use.  Only a hint: contents never
// change, and where the system has no such call it does nothing.
void pagePopulate(void* block, size_t size);

// ---- Auto-reset events. ----
struct Event;
Event* createEvent(bool signalled);  // nullptr on failure
void setEvent(Event* event);
void waitEvent(Event* event);  // waits without time limit, then resets
void closeEvent(Event* event);

// ---- Threads. ----
using ThreadEntry = uint32_t (*)(void* argument);
struct Thread;
// Starts a thread at below-normal priority (best effort); nullptr on failure.
Thread* startThread(ThreadEntry entry, void* argument);
void joinThread(Thread* thread);  // waits for the thread to end and releases it

// ---- Time. ----
uint32_t tickCount();  // milliseconds, wrapping
uint64_t threadProcessorNanos();  // processor time of the calling thread so far; 0 where unknown

// ---- Message box: modal, no owner window, one OK button; returns when it
// is closed.  Where there is no windowing system (POSIX) the caption and the
// text go to standard error instead. ----
void messageBox(const char* caption, const char* text);
// Shows boxes to a watcher instead of the user while one is set (nullptr
// restores the box), so a failure report can be checked without a display.
using MessageBoxWatcher = void (*)(const char* caption, const char* text);
void watchMessageBoxes(MessageBoxWatcher watcher);

}  // namespace dev::platform
