// Windows implementation of the platform layer, on the kernel's own services
// (and MessageBoxA from USER32): file handles, the standard output handle, the
// process heap, page memory, auto-reset events, threads and the tick counter.
// Sections follow platform.h.
#include "platform/platform.h"

#include <windows.h>

namespace dev::platform {

namespace {

// ReadFile and WriteFile take 32-bit counts: larger requests go in pieces.
constexpr size_t kLargestTransfer = 1u << 30;

HANDLE handleOf(File* file) { return reinterpret_cast<HANDLE>(file); }
HANDLE handleOf(Event* event) { return reinterpret_cast<HANDLE>(event); }

// Writes all bytes to a handle with WriteFile; false when any piece fails.
bool writeAll(HANDLE handle, const void* buffer, size_t size) {
    const char* p = static_cast<const char*>(buffer);
    while (size) {
        const DWORD want = static_cast<DWORD>(size < kLargestTransfer ? size : kLargestTransfer);
        DWORD written = 0;
        if (!WriteFile(handle, p, want, &written, nullptr) || written == 0) return false;
        p += written;
        size -= written;
    }
    return true;
}

}  // namespace

// ---- Files. ----
// A File is the kernel handle itself; INVALID_HANDLE_VALUE becomes nullptr.
// Both kinds of open share the file for reading and writing with others.

File* openForRead(const char* path) {
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : reinterpret_cast<File*>(h);
}

File* createForWrite(const char* path) {
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : reinterpret_cast<File*>(h);
}

int64_t readFile(File* file, void* buffer, size_t size) {
    char* p = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < size) {
        const size_t left = size - done;
        const DWORD want = static_cast<DWORD>(left < kLargestTransfer ? left : kLargestTransfer);
        DWORD got = 0;
        if (!ReadFile(handleOf(file), p + done, want, &got, nullptr)) return done ? static_cast<int64_t>(done) : -1;
        if (got == 0) break;  // end of the file
        done += got;
    }
    return static_cast<int64_t>(done);
}

bool writeFile(File* file, const void* buffer, size_t size) { return writeAll(handleOf(file), buffer, size); }

void closeFile(File* file) {
    if (file) CloseHandle(handleOf(file));
}

// ---- Console. ----
// WriteConsoleA works only on a console; when standard output is redirected to
// a file or a pipe (GetConsoleMode fails) the same bytes go with WriteFile.
// The handle is looked up on every write, which costs nothing at the rate of
// progress lines and follows a standard output that the process redirects.

void consoleWrite(const char* text, size_t length) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE || length == 0) return;
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode)) {
        writeAll(out, text, length);
        return;
    }
    while (length) {
        const DWORD want = static_cast<DWORD>(length < kLargestTransfer ? length : kLargestTransfer);
        DWORD written = 0;
        if (!WriteConsoleA(out, text, want, &written, nullptr) || written == 0) return;
        text += written;
        length -= written;
    }
}

// ---- Memory. ----

void* heapAlloc(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size ? size : 1); }

void heapFree(void* block) {
    if (block) HeapFree(GetProcessHeap(), 0, block);
}

void* pageAlloc(size_t size) {
    return VirtualAlloc(nullptr, size ? size : 1, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);  // zero-filled
}

void pageFree(void* block, size_t) {
    if (block) VirtualFree(block, 0, MEM_RELEASE);
}

// ---- Auto-reset events. ----
// An Event is the kernel handle itself.

Event* createEvent(bool signalled) {
    return reinterpret_cast<Event*>(CreateEventA(nullptr, FALSE, signalled ? TRUE : FALSE, nullptr));
}

void setEvent(Event* event) { SetEvent(handleOf(event)); }

void waitEvent(Event* event) { WaitForSingleObject(handleOf(event), INFINITE); }

void closeEvent(Event* event) {
    if (event) CloseHandle(handleOf(event));
}

// ---- Threads. ----
// The thread's record carries the entry and its argument to a start routine
// with the calling convention CreateThread expects.

struct Thread {
    HANDLE handle;
    ThreadEntry entry;
    void* argument;
};

namespace {
DWORD WINAPI threadStart(LPVOID record) {
    Thread* t = static_cast<Thread*>(record);
    return t->entry(t->argument);
}
}  // namespace

Thread* startThread(ThreadEntry entry, void* argument) {
    Thread* t = static_cast<Thread*>(heapAlloc(sizeof(Thread)));
    if (!t) return nullptr;
    t->entry = entry;
    t->argument = argument;
    t->handle = CreateThread(nullptr, 0, threadStart, t, 0, nullptr);
    if (!t->handle) {
        heapFree(t);
        return nullptr;
    }
    SetThreadPriority(t->handle, THREAD_PRIORITY_BELOW_NORMAL);
    return t;
}

void joinThread(Thread* thread) {
    if (!thread) return;
    WaitForSingleObject(thread->handle, INFINITE);
    CloseHandle(thread->handle);
    heapFree(thread);
}

// ---- Time. ----

uint32_t tickCount() { return GetTickCount(); }

// ---- Message box. ----

void systemMessageBox(const char* caption, const char* text) { MessageBoxA(nullptr, text, caption, MB_OK); }

}  // namespace dev::platform
