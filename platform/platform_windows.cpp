// Windows implementation of the platform layer, on the kernel's own services
// (and MessageBoxA from USER32): file handles, the standard handles, the
// process heap, page memory, auto-reset events, threads and the tick counter.
// Sections follow platform.h.
//
// Names are UTF-8 here and reach the system as UTF-16 through the W
// functions, in the \\?\ form (see systemPath): never through the ANSI code
// page, whose best-fit mapping would turn a name it cannot spell into
// another file's name ("vid\u0113o.dev" into "video.dev").
#include "platform/platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <new>
#include <string>
#include <vector>

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

// UTF-8 text as UTF-16; false (ERROR_NO_UNICODE_TRANSLATION) when it is not
// valid UTF-8: such a name stands for no file, and no replacement character
// may make it stand for one.
bool wideText(const char* text, size_t length, std::wstring& wide) {
    wide.clear();
    if (length == 0) return true;
    if (length > 0x7FFFFFFF) return SetLastError(ERROR_FILENAME_EXCED_RANGE), false;
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, int(length), nullptr, 0);
    if (n <= 0) return SetLastError(ERROR_NO_UNICODE_TRANSLATION), false;
    wide.resize(size_t(n));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, int(length), wide.data(), n) == n;
}

// The name the system is given for a UTF-8 path: the absolute path (a
// relative one completed against the current folder, "." and ".." resolved,
// as any Windows program's names are) in the \\?\ form, which has no length
// limit short of the system's 32767 characters and is used as it stands.  A
// path already in that form or in the device form (\\.\) is kept, and so is
// a device name ("NUL"), which completes to the device form.  false, with
// the reason for GetLastError, when there is no such name.
bool systemPath(const char* path, std::wstring& wide) {
    std::wstring given;
    if (!wideText(path, std::strlen(path), given)) return false;
    if (given.empty()) return SetLastError(ERROR_PATH_NOT_FOUND), false;
    if (given.rfind(L"\\\\?\\", 0) == 0 || given.rfind(L"\\\\.\\", 0) == 0) {
        wide = given;
        return true;
    }
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetFullPathNameW(given.c_str(), DWORD(full.size()), full.data(), nullptr);
        if (n == 0) return false;
        if (n < full.size()) {
            full.resize(n);
            break;
        }
        full.resize(n);
    }
    if (full.rfind(L"\\\\.\\", 0) == 0 || full.rfind(L"\\\\?\\", 0) == 0)
        wide = full;  // a device
    else if (full.rfind(L"\\\\", 0) == 0)
        wide = L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
    else
        wide = L"\\\\?\\" + full;
    return true;
}

// CreateFileW on the system's name for path.
HANDLE createFile(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    std::wstring name;
    if (!systemPath(path, name)) return INVALID_HANDLE_VALUE;
    return CreateFileW(name.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

// Attributes of the file at a system name, INVALID_FILE_ATTRIBUTES when none.
DWORD attributesOf(const std::wstring& name) { return GetFileAttributesW(name.c_str()); }

// Removes the file at path, a read-only one too (an attribute copied from
// an input would refuse the removal).
bool removeFile(const char* path) {
    std::wstring name;
    if (!systemPath(path, name)) return false;
    const DWORD attributes = attributesOf(name);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(name.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    return DeleteFileW(name.c_str()) != 0;
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

int runWithUtf8Arguments(const char* name, int argc, wchar_t** argv, int (*program)(int, char**), int refused) {
    std::vector<std::string> texts(size_t(argc > 0 ? argc : 0));
    std::vector<char*> utf8;
    for (int i = 0; i < argc; ++i) {
        // Strictly: an unpaired surrogate has no UTF-8 form, and a
        // replacement character would name another file.
        const int wide = int(std::wcslen(argv[i]));
        const int n =
            wide ? WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, argv[i], wide, nullptr, 0, nullptr, nullptr) : 0;
        texts[size_t(i)].resize(size_t(n));
        if (wide && (n <= 0 || WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, argv[i], wide, texts[size_t(i)].data(),
                                                   n, nullptr, nullptr) != n)) {
            const std::string line = std::string(name) + ": argument " + std::to_string(i) + " is not valid Unicode text\n";
            errorWrite(line.data(), line.size());
            return refused;
        }
        utf8.push_back(texts[size_t(i)].data());
    }
    utf8.push_back(nullptr);
    return program(argc, utf8.data());
}

bool isTerminal(StandardStream stream) {
    DWORD mode = 0;
    return GetConsoleMode(standardHandle(stream), &mode) != 0;
}

// ---- Files. ----
// A File is a record holding the kernel handle.  Files are shared for reading
// and writing with others.  WriteFile hands every byte to the system at once,
// so a File holds no data of its own; the system may still hold some, and
// learn only when it stores them that it cannot (a full disk, a network
// share's delayed write): flushFile has a disk file's data stored
// (FlushFileBuffers) and reports such a failure, and so does closeFile.

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
    return createFile(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | (ownName ? FILE_FLAG_OPEN_REPARSE_POINT : 0));
}

}  // namespace

File* openForRead(const char* path) {
    HANDLE h = createFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
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
    return wrap(createFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL));
}

File* createNew(const char* path) {
    HANDLE h = createFile(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
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

bool flushFile(File* file) {
    if (file->failed) return false;
    // A pipe's FlushFileBuffers would wait for its reader; a console has
    // nothing held.
    if (GetFileType(file->handle) == FILE_TYPE_DISK && !FlushFileBuffers(file->handle)) file->failed = true;
    return !file->failed;
}

bool closeFile(File* file) {
    if (!file) return true;
    const bool closed = file->borrowed || CloseHandle(file->handle) != 0;
    const DWORD error = GetLastError();
    heapFree(file);
    SetLastError(error);
    return closed;
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

// Keeps an interrupt from removing the named files while the object lives
// (below): making a temporary and naming it for removal are one step.
// Never nested.
struct InterruptsHeld {
    InterruptsHeld();
    ~InterruptsHeld();
    InterruptsHeld(const InterruptsHeld&) = delete;
    InterruptsHeld& operator=(const InterruptsHeld&) = delete;
};
namespace {
bool nameForRemoval(const char* path);
}

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
    return same && removeFile(path);
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
    HANDLE h = createFile(path, GENERIC_READ | GENERIC_WRITE, kTemporaryShare, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
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
    // The limit counts UTF-16 units: the name is cut after the last whole
    // character (a UTF-8 sequence) that fits.
    size_t keep = nameStart;
    for (size_t units = 0; keep < length;) {
        const unsigned char lead = static_cast<unsigned char>(target[keep]);
        const size_t bytes = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        units += bytes == 4 ? 2 : 1;
        if (units > kLongestName - 11 || keep + bytes > length) break;
        keep += bytes;
    }
    if (length - nameStart <= kLongestName - 11) keep = length;
    DWORD lastError = 0;
    const InterruptsHeld held;
    for (int k = 0; k < 100; ++k) {
        if (k == 0)
            std::snprintf(temporary, capacity, "%.*s.partial", int(keep), target);
        else
            std::snprintf(temporary, capacity, "%.*s.partial-%d", int(keep), target, k);
        HANDLE h = createFile(temporary, GENERIC_READ | GENERIC_WRITE, kTemporaryShare, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
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
        File* file = wrap(h);
        if (file && nameForRemoval(temporary)) return file;
        // Never a temporary an interrupt would leave behind.
        lastError = file ? ERROR_TOO_MANY_OPEN_FILES : ERROR_NOT_ENOUGH_MEMORY;
        if (file) closeFile(file);  // wrap closed h when it failed
        removeFile(temporary);
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
    // caller reports it, nothing of the user's lost.  A failure the system
    // reports only on closing (a delayed write) fails the move.
    if (closeFile(file) && moveFile(temporary, target, replace)) return true;
    const DWORD error = GetLastError();
    removeFile(temporary);
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
    // In UTF-8, as every text of ours: the system's words in the user's
    // language are not in the ANSI code page's letters.
    wchar_t wide[512];
    DWORD w = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), wide, 512, nullptr);
    // The system's text ends with ".\r\n": one line, without them.
    while (w && (wide[w - 1] == L'\n' || wide[w - 1] == L'\r' || wide[w - 1] == L'.' || wide[w - 1] == L' ')) --w;
    int n = w ? WideCharToMultiByte(CP_UTF8, 0, wide, int(w), text, int(capacity - 1), nullptr, nullptr) : 0;
    if (n <= 0) n = std::snprintf(text, capacity, "system error %lu", static_cast<unsigned long>(error));
    if (n < 0) n = 0;
    if (size_t(n) >= capacity) n = int(capacity - 1);
    text[n] = 0;
    SetLastError(error);
    return size_t(n);
}

// A read-only, hidden or system attribute on a file to be replaced: the
// rename may refuse to replace it.
constexpr DWORD kGuardingAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

bool moveFile(const char* from, const char* to, bool replace) {
    std::wstring source, target;
    if (!systemPath(from, source) || !systemPath(to, target)) return false;
    // Without the replace flag MoveFileExW fails when anything exists at to;
    // with it, a file is replaced and a folder still refuses.
    if (!replace) return MoveFileExW(source.c_str(), target.c_str(), 0) != 0;
    // A replaced file's hidden and system attributes go to the file that
    // takes its place, as a POSIX dot name stays hidden: they belong to the
    // place, not to the content.  Read-only is the new file's own.
    const DWORD old = attributesOf(target);
    const bool guarded = old != INVALID_FILE_ATTRIBUTES && !(old & FILE_ATTRIBUTE_DIRECTORY) && (old & kGuardingAttributes);
    DWORD mine = INVALID_FILE_ATTRIBUTES;
    if (guarded && (old & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))) {
        mine = attributesOf(source);
        if (mine == INVALID_FILE_ATTRIBUTES ||
            !SetFileAttributesW(source.c_str(), mine | (old & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))))
            return false;
    }
    if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    DWORD error = GetLastError();
    if (guarded && error == ERROR_ACCESS_DENIED) {
        // Cleared only for the moment of the replacement, and given back
        // when it still fails.
        if (SetFileAttributesW(target.c_str(), (old & ~kGuardingAttributes) | FILE_ATTRIBUTE_NORMAL)) {
            if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
            error = GetLastError();
            SetFileAttributesW(target.c_str(), old);
        }
    }
    if (mine != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(source.c_str(), mine);
    SetLastError(error);
    return false;
}

// ---- Console. ----
// WriteConsoleW works only on a console; when a standard stream is redirected
// to a file or a pipe (GetConsoleMode fails) the bytes go with WriteFile.  The
// handle is looked up on every write, which costs nothing at the rate of
// progress lines and follows a standard stream that the process redirects.

// The files an interrupt removes: one slot per temporary, so that several
// threads may each hold one.  The console's control handler runs on a thread
// of its own while the process goes on; it waits until no thread is inside
// a hold (slots change only there, and a temporary is made and named in one
// hold), removes every named file and returns FALSE, which lets the default
// handler end the process.  A thread that enters a hold after an interrupt
// came waits for the end.
namespace {

// A slot holds its file's system name (the \\?\ form, of any length), made
// inside a hold; the handler reads the slots only when no thread is in one.
constexpr size_t kInterruptSlots = 64;
struct InterruptSlot {
    wchar_t* path;  // nullptr: free
};
InterruptSlot interruptSlots[kInterruptSlots];
volatile LONG holders = 0;
volatile LONG interrupted = 0;
std::once_flag handlerInstalled;

BOOL WINAPI onConsoleControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        InterlockedExchange(&interrupted, 1);
        while (InterlockedCompareExchange(&holders, 0, 0) != 0) Sleep(1);
        for (const InterruptSlot& slot : interruptSlots)
            if (slot.path) DeleteFileW(slot.path);
    }
    return FALSE;
}

// Names path for removal, inside a hold; false when no slot is free or the
// name has no system form.
bool nameForRemoval(const char* path) {
    std::wstring name;
    if (!systemPath(path, name)) return false;
    for (InterruptSlot& slot : interruptSlots) {
        if (slot.path) continue;
        slot.path = new (std::nothrow) wchar_t[name.size() + 1];
        if (!slot.path) return false;
        std::memcpy(slot.path, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
        std::call_once(handlerInstalled, [] { SetConsoleCtrlHandler(onConsoleControl, TRUE); });
        return true;
    }
    return false;
}

}  // namespace

InterruptsHeld::InterruptsHeld() {
    InterlockedIncrement(&holders);
    if (InterlockedCompareExchange(&interrupted, 0, 0) != 0) {
        // The process is ending: make nothing more, let it end.
        InterlockedDecrement(&holders);
        Sleep(INFINITE);
    }
}

InterruptsHeld::~InterruptsHeld() { InterlockedDecrement(&holders); }

// Clears the path an interrupt removes when it is this one.
void forgetOnInterrupt(const char* path) {
    const InterruptsHeld held;
    std::wstring name;
    if (!systemPath(path, name)) return;
    for (InterruptSlot& slot : interruptSlots)
        if (slot.path && name == slot.path) {
            delete[] slot.path;
            slot.path = nullptr;
        }
}

void removeOnInterrupt(const char* path) {
    if (!path) return;
    const InterruptsHeld held;
    (void)nameForRemoval(path);
}

namespace {

// Our texts are UTF-8.  A console shows UTF-16 (WriteConsoleW), whatever its
// code page; a file or a pipe gets the UTF-8 bytes as they stand.  Text that
// is not UTF-8 (never ours) goes to a console as bytes.
void writeText(StandardStream stream, const char* text, size_t length) {
    HANDLE out = standardHandle(stream);
    if (!usable(out) || length == 0) return;
    DWORD mode = 0;
    std::wstring wide;
    if (!GetConsoleMode(out, &mode) || !wideText(text, length, wide)) {
        writeAll(out, text, length);
        return;
    }
    const wchar_t* p = wide.c_str();
    size_t left = wide.size();
    while (left) {
        const DWORD want = static_cast<DWORD>(left < kLargestTransfer ? left : kLargestTransfer);
        DWORD written = 0;
        if (!WriteConsoleW(out, p, want, &written, nullptr) || written == 0) return;
        p += written;
        left -= written;
    }
}

}  // namespace

void consoleWrite(const char* text, size_t length) { writeText(StandardStream::Output, text, length); }

void errorWrite(const char* text, size_t length) {
    std::fflush(stderr);  // what the C runtime holds goes first
    writeText(StandardStream::Error, text, length);
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

void pagePopulate(void*, size_t) {}

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
