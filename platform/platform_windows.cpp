// Windows implementation of the platform layer, on the kernel's own services
// (and MessageBoxA from USER32): file handles, the standard handles, the
// process heap, page memory, auto-reset events, threads and the tick counter.
// Sections follow platform.h.
#include "platform/platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace dev::platform {

namespace {

// ReadFile and WriteFile take 32-bit counts: larger requests go in pieces.
constexpr size_t kLargestTransfer = 1u << 30;

HANDLE handleOf(Event* event) { return reinterpret_cast<HANDLE>(event); }

bool usable(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

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

HANDLE standardHandle(StandardStream stream) {
    return GetStdHandle(stream == StandardStream::Input    ? STD_INPUT_HANDLE
                        : stream == StandardStream::Output ? STD_OUTPUT_HANDLE
                                                           : STD_ERROR_HANDLE);
}

}  // namespace

// ---- Process start. ----
// Windows never hands a standard stream's place to a file opened later (the
// standard handles are the process's own, and the C runtime keeps its first
// three descriptors reserved even when a handle is missing), and a write to a
// pipe without a reader fails with an error, not a signal.  What is left is
// the C runtime's text mode, which would turn "\n" into "\r\n" on the way out
// and stop reading at a ^Z byte.

void prepareStandardStreams() {
    if (const int fd = _fileno(stdin); fd >= 0) _setmode(fd, _O_BINARY);
    if (const int fd = _fileno(stdout); fd >= 0) _setmode(fd, _O_BINARY);
}

bool wasClosedAtStart(StandardStream stream) { return !usable(standardHandle(stream)); }

bool isTerminal(StandardStream stream) {
    DWORD mode = 0;
    return GetConsoleMode(standardHandle(stream), &mode) != 0;
}

// ---- Files. ----
// A File is a record holding the kernel handle.  Files are shared for reading
// and writing with others.  WriteFile hands every byte to the system at once,
// so a File holds no data of its own: flushFile reports whether every write
// succeeded.

struct File {
    HANDLE handle;
    bool borrowed;  // a standard handle: closing releases the record only
    bool failed;    // a write has failed
};

namespace {

File* wrap(HANDLE handle, bool borrowed = false) {
    if (!usable(handle)) return nullptr;
    File* file = static_cast<File*>(heapAlloc(sizeof(File)));
    if (!file) {
        if (!borrowed) CloseHandle(handle);
        return nullptr;
    }
    *file = File{handle, borrowed, false};
    return file;
}

bool identify(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
    return GetFileInformationByHandle(handle, &info) != 0;
}

// One file, not two: the same volume and the same index on it (hard links
// share both).
bool sameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// Opens whatever path names (a folder too) only to ask what it is; with
// ownName, a symbolic link or other reparse point is opened itself, not
// followed.
HANDLE openToQuery(const char* path, bool ownName) {
    return CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | (ownName ? FILE_FLAG_OPEN_REPARSE_POINT : 0),
                       nullptr);
}

}  // namespace

File* openForRead(const char* path) {
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!usable(h)) return nullptr;
    // A folder does not open without backup semantics; refused here too, in
    // case a file system lets one through.
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) == FILE_TYPE_DISK && (!identify(h, info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))) {
        CloseHandle(h);
        return nullptr;
    }
    return wrap(h);
}

File* createForWrite(const char* path) {
    return wrap(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

File* createNew(const char* path) {
    HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!usable(h)) return nullptr;
    // A device name ("NUL", "CON.partial") opens the existing device.
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return nullptr;
    }
    return wrap(h);
}

File* standardInput() { return wrap(standardHandle(StandardStream::Input), true); }

File* standardOutput() {
    std::fflush(stdout);  // what the C runtime holds goes first
    return wrap(standardHandle(StandardStream::Output), true);
}

int64_t readFile(File* file, void* buffer, size_t size) {
    char* p = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < size) {
        const size_t left = size - done;
        const DWORD want = static_cast<DWORD>(left < kLargestTransfer ? left : kLargestTransfer);
        DWORD got = 0;
        if (!ReadFile(file->handle, p + done, want, &got, nullptr)) {
            if (GetLastError() == ERROR_BROKEN_PIPE) break;  // a pipe's writer has closed it: its end
            return done ? static_cast<int64_t>(done) : -1;
        }
        if (got == 0) break;  // end of the file
        done += got;
    }
    return static_cast<int64_t>(done);
}

bool writeFile(File* file, const void* buffer, size_t size) {
    if (!writeAll(file->handle, buffer, size)) file->failed = true;
    return !file->failed;
}

bool flushFile(File* file) { return !file->failed; }

void closeFile(File* file) {
    if (!file) return;
    if (!file->borrowed) CloseHandle(file->handle);
    heapFree(file);
}

bool isSameFile(File* file, const char* path) {
    HANDLE named = openToQuery(path, false);
    if (!usable(named)) return false;
    BY_HANDLE_FILE_INFORMATION held, other;
    const bool same = identify(file->handle, held) && identify(named, other) && sameFile(held, other);
    CloseHandle(named);
    return same;
}

// Clears the path an interrupt removes when it is this one (below, with the
// interrupt handling).
void forgetOnInterrupt(const char* path);

bool closeAndRemove(File* file, const char* path) {
    if (!file) return false;
    forgetOnInterrupt(path);
    bool same = false;
    if (!file->borrowed && GetFileType(file->handle) == FILE_TYPE_DISK) {
        HANDLE named = openToQuery(path, true);
        if (usable(named)) {
            BY_HANDLE_FILE_INFORMATION held, other;
            same = identify(file->handle, held) && identify(named, other) &&
                   !(other.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
                   sameFile(held, other);
            CloseHandle(named);
        }
    }
    closeFile(file);
    if (!same) return false;
    // A read-only attribute copied from the input would refuse the removal.
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    return DeleteFileA(path) != 0;
}

PathKind pathKind(const char* path) {
    HANDLE h = openToQuery(path, false);
    if (!usable(h)) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PathKind::Missing : PathKind::Other;
    }
    BY_HANDLE_FILE_INFORMATION info;
    PathKind kind = PathKind::Other;
    if (GetFileType(h) == FILE_TYPE_DISK && identify(h, info))
        kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Directory : PathKind::Regular;
    CloseHandle(h);
    return kind;
}

namespace {

// The longest name one folder entry may have.
constexpr size_t kLongestName = 255;

// A temporary file is opened for writing without sharing writes: while one
// run holds it, no other run can open it for writing, which is how a stale
// one is told from one being written.  Shared for deletion, so that an
// interrupt can remove it while it is open (removeOnInterrupt).
constexpr DWORD kTemporaryShare = FILE_SHARE_READ | FILE_SHARE_DELETE;

// Opens the existing file at path when it is a stale temporary of ours (see
// createBeside), emptied; INVALID_HANDLE_VALUE otherwise, the file untouched.
HANDLE reuseStale(const char* path) {
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, kTemporaryShare, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (!usable(h)) return INVALID_HANDLE_VALUE;  // held by a run (a sharing violation), or not ours to open
    BY_HANDLE_FILE_INFORMATION info;
    char head[3];
    DWORD got = 0;
    const bool ours = GetFileType(h) == FILE_TYPE_DISK && identify(h, info) &&
                      !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                                                 FILE_ATTRIBUTE_READONLY)) &&
                      info.nNumberOfLinks == 1 && ReadFile(h, head, sizeof head, &got, nullptr) &&
                      (got == 0 || (got == 3 && (std::memcmp(head, "BIK", 3) == 0 || std::memcmp(head, "KB2", 3) == 0 ||
                                                 std::memcmp(head, "DEV", 3) == 0)));
    if (!ours || SetFilePointer(h, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER || !SetEndOfFile(h)) {
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

}  // namespace

File* createBeside(const char* target, char* temporary, size_t capacity) {
    const size_t length = std::strlen(target);
    if (capacity < length + 16) return nullptr;
    // Room for ".partial-99" after the target's own name.
    size_t nameStart = 0;
    for (size_t i = 0; i < length; ++i)
        if (target[i] == '/' || target[i] == '\\' || target[i] == ':') nameStart = i + 1;
    const size_t keep = length - nameStart > kLongestName - 11 ? nameStart + (kLongestName - 11) : length;
    DWORD lastError = 0;
    for (int k = 0; k < 100; ++k) {
        if (k == 0)
            std::snprintf(temporary, capacity, "%.*s.partial", int(keep), target);
        else
            std::snprintf(temporary, capacity, "%.*s.partial-%d", int(keep), target, k);
        HANDLE h = CreateFileA(temporary, GENERIC_READ | GENERIC_WRITE, kTemporaryShare, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (!usable(h)) {
            lastError = GetLastError();
            if (lastError != ERROR_FILE_EXISTS && lastError != ERROR_ALREADY_EXISTS) break;
            h = reuseStale(temporary);
            if (!usable(h)) continue;
        }
        // A device name ("CON.partial") opens the existing device.
        if (GetFileType(h) != FILE_TYPE_DISK) {
            CloseHandle(h);
            lastError = ERROR_INVALID_NAME;
            break;
        }
        if (File* file = wrap(h)) {
            removeOnInterrupt(temporary);
            return file;
        }
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        break;
    }
    temporary[0] = 0;
    SetLastError(lastError);
    return nullptr;
}

bool moveIntoPlace(File* file, const char* temporary, const char* target, bool replace) {
    // No longer removed on an interrupt: once renamed, the name may be
    // another run's.
    forgetOnInterrupt(temporary);
    // Closed first: a file open for writing is not renamed everywhere.  A run
    // that takes it for a stale temporary in the moment between finds it
    // complete and begins with our signature; the rename then fails and the
    // caller reports it, nothing of the user's lost.
    closeFile(file);
    if (moveFile(temporary, target, replace)) return true;
    const DWORD error = GetLastError();
    SetFileAttributesA(temporary, FILE_ATTRIBUTE_NORMAL);  // a read-only attribute copied from the input
    DeleteFileA(temporary);
    SetLastError(error);
    return false;
}

bool copyAttributes(File* from, File* to) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!identify(from->handle, info)) return false;
    if (!SetFileTime(to->handle, nullptr, nullptr, &info.ftLastWriteTime)) return false;
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)) return true;
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(to->handle, FileBasicInfo, &basic, sizeof basic)) return false;
    basic.FileAttributes |= FILE_ATTRIBUTE_READONLY;
    return SetFileInformationByHandle(to->handle, FileBasicInfo, &basic, sizeof basic) != 0;
}

size_t lastErrorText(char* text, size_t capacity) {
    if (!capacity) return 0;
    const DWORD error = GetLastError();
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, static_cast<DWORD>(capacity), nullptr);
    // The system's text ends with ".\r\n": one line, without them.
    while (n && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.' || text[n - 1] == ' ')) --n;
    if (n == 0) n = static_cast<DWORD>(std::snprintf(text, capacity, "system error %lu", static_cast<unsigned long>(error)));
    if (n >= capacity) n = static_cast<DWORD>(capacity - 1);
    text[n] = 0;
    return n;
}

bool moveFile(const char* from, const char* to, bool replace) {
    // Without the replace flag MoveFileExA fails when anything exists at to;
    // with it, a file is replaced and a folder still refuses.
    return MoveFileExA(from, to, replace ? MOVEFILE_REPLACE_EXISTING : 0) != 0;
}

// ---- Console. ----
// WriteConsoleA works only on a console; when standard output is redirected to
// a file or a pipe (GetConsoleMode fails) the same bytes go with WriteFile.
// The handle is looked up on every write, which costs nothing at the rate of
// progress lines and follows a standard output that the process redirects.

namespace {

// The file an interrupt removes.  The console's control handler runs on a
// thread of its own while the process goes on; returning FALSE then lets the
// default handler end the process.
char interruptPath[MAX_PATH];
volatile LONG interruptPathSet = 0;
volatile LONG handlerInstalled = 0;

BOOL WINAPI onConsoleControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        if (InterlockedCompareExchange(&interruptPathSet, 0, 1) == 1) DeleteFileA(interruptPath);
    }
    return FALSE;
}

}  // namespace

// Clears the path an interrupt removes when it is this one.
void forgetOnInterrupt(const char* path) {
    if (interruptPathSet && std::strcmp(interruptPath, path) == 0) InterlockedExchange(&interruptPathSet, 0);
}

void removeOnInterrupt(const char* path) {
    InterlockedExchange(&interruptPathSet, 0);
    if (path && std::strlen(path) < sizeof interruptPath) {
        std::memcpy(interruptPath, path, std::strlen(path) + 1);
        InterlockedExchange(&interruptPathSet, 1);
        if (InterlockedExchange(&handlerInstalled, 1) == 0) SetConsoleCtrlHandler(onConsoleControl, TRUE);
    }
}

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

// Large pages need a privilege users do not hold: dense ranges change nothing.
void* pageAlloc(size_t size, const PageSpan*, size_t) {
    return VirtualAlloc(nullptr, size ? size : 1, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);  // zero-filled
}

bool largePagesOffered() { return false; }

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

uint64_t threadProcessorNanos() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    auto hundreds = [](const FILETIME& t) { return (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return (hundreds(kernel) + hundreds(user)) * 100;
}

// ---- Message box. ----

void systemMessageBox(const char* caption, const char* text) { MessageBoxA(nullptr, text, caption, MB_OK); }

}  // namespace dev::platform
