// The few operating-system services the unpacker needs: sequential files,
// console output, heap and page memory, auto-reset events, threads, a
// millisecond tick counter and a message box.  Kept small so that a Windows
// implementation stays a matter of one more source file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dev::platform {

// ---- Files: sequential, whole-buffer reads and writes. ----
struct File;
File* openForRead(const char* path);     // must exist; nullptr on failure
File* createForWrite(const char* path);  // created anew (truncated); nullptr on failure
// Reads up to size bytes; returns the count read (less than size only at the
// end of the file or on an error), or -1 on an error before anything was read.
int64_t readFile(File* file, void* buffer, size_t size);
// Writes all size bytes; false on any failure.
bool writeFile(File* file, const void* buffer, size_t size);
void closeFile(File* file);

// ---- Console: standard output, written as it stands. ----
void consoleWrite(const char* text, size_t length);

// ---- Memory. ----
void* heapAlloc(size_t size);  // nullptr on failure
void heapFree(void* block);
void* pageAlloc(size_t size);  // zero-filled pages; nullptr on failure
void pageFree(void* block, size_t size);

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

// ---- Message box stand-in: caption and text to standard error. ----
void messageBox(const char* caption, const char* text);

}  // namespace dev::platform
