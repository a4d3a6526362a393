// POSIX implementation of the platform layer.
#include "platform/platform.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

namespace dev::platform {

namespace {
bool closedAtStart[3] = {};
}  // namespace

void prepareStandardStreams() {
    // Descriptors are handed out lowest first: opening the null device in
    // the order 0, 1, 2 fills exactly the ones that are closed.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        closedAtStart[fd] = true;
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
    ::signal(SIGPIPE, SIG_IGN);
}

bool isTerminal(StandardStream stream) {
    const int fd = stream == StandardStream::Input ? 0 : stream == StandardStream::Output ? 1 : 2;
    return ::isatty(fd) == 1;
}

bool wasClosedAtStart(StandardStream stream) {
    return closedAtStart[stream == StandardStream::Input ? 0 : stream == StandardStream::Output ? 1 : 2];
}

struct File {
    FILE* handle;
    bool borrowed;  // a standard stream: closing releases the record only
};

namespace {

File* wrap(FILE* f, bool borrowed = false) {
    if (!f) return nullptr;
    File* file = new (std::nothrow) File{f, borrowed};
    if (!file && !borrowed) std::fclose(f);
    return file;
}

}  // namespace

File* openForRead(const char* path) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return nullptr;
    // A directory opens for reading here, but has no bytes to give.
    struct stat st;
    if (::fstat(::fileno(f), &st) != 0 || S_ISDIR(st.st_mode)) {
        std::fclose(f);
        return nullptr;
    }
    return wrap(f);
}

File* createForWrite(const char* path) { return wrap(std::fopen(path, "w+b")); }

File* createNew(const char* path) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    FILE* f = ::fdopen(fd, "wb");
    if (!f) {
        ::close(fd);
        ::unlink(path);
        return nullptr;
    }
    return wrap(f);
}

File* standardInput() { return closedAtStart[0] ? nullptr : wrap(stdin, true); }
File* standardOutput() { return closedAtStart[1] ? nullptr : wrap(stdout, true); }

int64_t readFile(File* file, void* buffer, size_t size) {
    if (size == 0) return 0;
    const size_t got = std::fread(buffer, 1, size, file->handle);
    if (got == 0 && std::ferror(file->handle)) return -1;
    return static_cast<int64_t>(got);
}

bool writeFile(File* file, const void* buffer, size_t size) {
    if (size == 0) return true;
    return std::fwrite(buffer, 1, size, file->handle) == size;
}

bool flushFile(File* file) { return std::fflush(file->handle) == 0 && !std::ferror(file->handle); }

bool closeFile(File* file) {
    if (!file) return true;
    const bool closed = file->borrowed ? std::fflush(file->handle) == 0 : std::fclose(file->handle) == 0;
    const int error = errno;
    delete file;
    errno = error;
    return closed;
}

bool isSameFile(File* file, const char* path) {
    struct stat held, named;
    if (::fstat(::fileno(file->handle), &held) != 0 || ::stat(path, &named) != 0) return false;
    return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// Clears the path an interrupt removes when it is this one (below, with the
// interrupt handling).
void forgetOnInterrupt(const char* path);

bool closeAndRemove(File* file, const char* path) {
    if (!file) return false;
    forgetOnInterrupt(path);
    struct stat held, named;
    // lstat: a symbolic link is never the file itself, so it is left alone.
    // Removed before it is closed, while its lock still keeps other runs
    // from taking it for a stale temporary.
    const bool same = !file->borrowed && ::fstat(::fileno(file->handle), &held) == 0 && ::lstat(path, &named) == 0 &&
                      S_ISREG(named.st_mode) && held.st_dev == named.st_dev && held.st_ino == named.st_ino;
    const bool removed = same && ::unlink(path) == 0;
    closeFile(file);
    return removed;
}

PathKind pathKind(const char* path) {
    struct stat st;
    if (::stat(path, &st) != 0) return errno == ENOENT || errno == ENOTDIR ? PathKind::Missing : PathKind::Other;
    if (S_ISREG(st.st_mode)) return PathKind::Regular;
    return S_ISDIR(st.st_mode) ? PathKind::Directory : PathKind::Other;
}

namespace {

// The longest name one folder entry may have on the file systems we meet.
constexpr size_t kLongestName = 255;

// What a temporary file of ours begins with, if it holds anything.
bool beginsLikeOurs(int fd) {
    char head[3];
    const ssize_t n = ::pread(fd, head, sizeof head, 0);
    if (n == 0) return true;
    return n == 3 && (std::memcmp(head, "BIK", 3) == 0 || std::memcmp(head, "KB2", 3) == 0 ||
                      std::memcmp(head, "DEV", 3) == 0);
}

// Opens the existing file at path when it is a stale temporary of ours (see
// createBeside), locked and emptied; -1 otherwise, the file untouched.
int reuseStale(const char* path) {
    // O_NONBLOCK: a named pipe here must not hold the run; O_NOFOLLOW: never
    // through a symbolic link.
    const int fd = ::open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != ::geteuid() ||
        ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    // Locked: no running process holds it, and none can take it now.
    if (!beginsLikeOurs(fd) || ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

}  // namespace

// Why flock and not fcntl locks: an fcntl lock belongs to the process and
// goes when any descriptor of the file is closed (isSameFile and the like
// would drop it unseen); an flock lock belongs to the open file and lasts
// exactly as long as the File.  Either is released by the system when the
// process ends, however it ends.

// The files an interrupt removes: one slot per temporary, so that several
// threads may each hold one.  Slots change only inside a hold (below); an
// interrupt that comes while any thread is inside one is finished by the last
// thread to leave, so the handler never reads a slot that is being written
// and a file is never made without being named for removal.
namespace {

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previousActions[3];
std::once_flag handlersInstalled;

constexpr size_t kInterruptSlots = 64;
struct InterruptSlot {
    char path[PATH_MAX];
    bool set;
};
InterruptSlot interruptSlots[kInterruptSlots];

static_assert(std::atomic<int>::is_always_lock_free, "the interrupt handler uses atomics");
std::atomic<int> holders{0};           // threads inside a hold
std::atomic<int> pendingInterrupt{0};  // the interrupt that came, once one has
std::atomic<int> finishing{0};

// Removes every named file and ends the process as the interrupt would.
// Called once, from the handler or from the last thread to leave a hold;
// only calls that are safe in a signal handler.  The signal is held back on
// the calling thread here (by the handler's mask or by the hold), and ends
// the process when that thread lets it through.
void finishInterrupt(int signal) {
    if (finishing.exchange(1)) return;
    for (const InterruptSlot& slot : interruptSlots)
        if (slot.set) ::unlink(slot.path);
    for (size_t i = 0; i < 3; ++i)
        if (kInterrupts[i] == signal) ::sigaction(signal, &previousActions[i], nullptr);
    ::raise(signal);
}

void onInterrupt(int signal) {
    pendingInterrupt.store(signal);
    if (holders.load() == 0) finishInterrupt(signal);
}

// Holds the interrupts back on this thread and keeps any interrupt from
// being finished until the hold ends: creating a temporary and naming it for
// removal are one step, and slots change only here.  Never nested.
class InterruptsHeld {
public:
    InterruptsHeld() {
        sigset_t interrupts;
        sigemptyset(&interrupts);
        for (int s : kInterrupts) sigaddset(&interrupts, s);
        ::pthread_sigmask(SIG_BLOCK, &interrupts, &before_);
        holders.fetch_add(1);
        if (pendingInterrupt.load()) {
            // The process is ending: make nothing more, let it end.
            leave();
            for (;;) ::pause();
        }
    }
    ~InterruptsHeld() { leave(); }
    InterruptsHeld(const InterruptsHeld&) = delete;
    InterruptsHeld& operator=(const InterruptsHeld&) = delete;

private:
    void leave() {
        if (holders.fetch_sub(1) == 1)
            if (const int signal = pendingInterrupt.load()) finishInterrupt(signal);
        ::pthread_sigmask(SIG_SETMASK, &before_, nullptr);
    }
    sigset_t before_;
};

// Inside a hold: names path for removal; false when no slot is free.
bool nameForRemoval(const char* path) {
    if (std::strlen(path) >= PATH_MAX) return false;
    for (InterruptSlot& slot : interruptSlots) {
        if (slot.set) continue;
        std::memcpy(slot.path, path, std::strlen(path) + 1);
        slot.set = true;
        std::call_once(handlersInstalled, [] {
            struct sigaction action = {};
            action.sa_handler = onInterrupt;
            sigfillset(&action.sa_mask);
            for (size_t i = 0; i < 3; ++i) {
                // A signal the process was started ignoring (nohup) stays ignored.
                ::sigaction(kInterrupts[i], nullptr, &previousActions[i]);
                if (previousActions[i].sa_handler != SIG_IGN) ::sigaction(kInterrupts[i], &action, nullptr);
            }
        });
        return true;
    }
    return false;
}

}  // namespace

File* createBeside(const char* target, char* temporary, size_t capacity) {
    const size_t length = std::strlen(target);
    if (capacity < length + 16) return nullptr;
    // An interrupt that comes while the file is made is taken only once it
    // is named for removal.
    const InterruptsHeld held;
    // Room for ".partial-99" after the target's own name.
    const char* slash = std::strrchr(target, '/');
    const size_t nameStart = slash ? size_t(slash - target) + 1 : 0;
    const size_t keep = std::min(length, nameStart + (kLongestName - 11));
    int lastError = 0;
    for (int k = 0; k < 100; ++k) {
        if (k == 0)
            std::snprintf(temporary, capacity, "%.*s.partial", int(keep), target);
        else
            std::snprintf(temporary, capacity, "%.*s.partial-%d", int(keep), target, k);
        int fd = ::open(temporary, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            // Another run took our new empty file for a stale one between
            // the two calls: it is that run's now.
            ::close(fd);
            continue;
        }
        if (fd < 0) {
            lastError = errno;
            if (lastError != EEXIST) break;  // not a name clash: no other name will do better
            fd = reuseStale(temporary);
            if (fd < 0) continue;
        }
        FILE* f = ::fdopen(fd, "wb");
        if (!f) {
            lastError = errno;
            ::unlink(temporary);
            ::close(fd);
            break;
        }
        File* file = wrap(f);
        if (file && nameForRemoval(temporary)) return file;
        // Never a temporary an interrupt would leave behind.
        lastError = file ? EMFILE : ENOMEM;
        ::unlink(temporary);
        if (file) closeFile(file);  // wrap closed f when it failed
        break;
    }
    temporary[0] = 0;
    errno = lastError;
    return nullptr;
}

bool moveIntoPlace(File* file, const char* temporary, const char* target, bool replace) {
    // No longer removed on an interrupt: once renamed, the name may be
    // another run's.  An interrupt just before the rename leaves a stale
    // temporary, which the next run reuses.
    forgetOnInterrupt(temporary);
    // Renamed while the lock is held: another run never sees it unheld.
    const bool moved = moveFile(temporary, target, replace);
    const int error = errno;
    if (!moved) ::unlink(temporary);
    closeFile(file);
    errno = error;
    return moved;
}

bool copyAttributes(File* from, File* to) {
    struct stat st;
    if (std::fflush(to->handle) != 0 || ::fstat(::fileno(from->handle), &st) != 0) return false;
    const int fd = ::fileno(to->handle);
    // The owner first: giving a file away clears its set-user-ID bits, and
    // only a privileged user may give it to another user.
    mode_t mode = st.st_mode & 07777;
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
        // Not permitted: the group where we belong to it, and no set-ID bits
        // for a file that is not the original's owner's.
        if (::fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0) mode &= ~mode_t(S_ISGID);
        mode &= ~mode_t(S_ISUID);
    }
    const timespec times[2] = {st.st_atim, st.st_mtim};
    return ::fchmod(fd, mode) == 0 && ::futimens(fd, times) == 0;
}

size_t lastErrorText(char* text, size_t capacity) {
    if (!capacity) return 0;
    const int error = errno;
    std::snprintf(text, capacity, "%s", std::strerror(error));
    return std::strlen(text);
}

bool moveFile(const char* from, const char* to, bool replace) {
    if (replace) return std::rename(from, to) == 0;
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
    // A file system without the no-replace rename: a hard link fails when
    // the name is taken.
    if (::link(from, to) == 0) {
        ::unlink(from);
        return true;
    }
    if (errno == EEXIST) return false;
    // Nor hard links: check, then rename (only a race can replace a file here).
    struct stat st;
    if (::lstat(to, &st) == 0 || errno != ENOENT) return false;
    return std::rename(from, to) == 0;
}

// Clears the path an interrupt removes when it is this one.
void forgetOnInterrupt(const char* path) {
    const InterruptsHeld held;
    for (InterruptSlot& slot : interruptSlots)
        if (slot.set && std::strcmp(slot.path, path) == 0) slot.set = false;
}

void removeOnInterrupt(const char* path) {
    if (!path) return;
    const InterruptsHeld held;
    (void)nameForRemoval(path);
}

namespace {
void writeText(int fd, const char* text, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd, text + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}
}  // namespace

void consoleWrite(const char* text, size_t length) { writeText(STDOUT_FILENO, text, length); }

void errorWrite(const char* text, size_t length) {
    std::fflush(stderr);
    writeText(STDERR_FILENO, text, length);
}

void* heapAlloc(size_t size) { return std::malloc(size ? size : 1); }
void heapFree(void* block) { std::free(block); }

// Shared, not private: the first read of a private anonymous page maps the
// kernel's zero page, and the write that follows (every model is read, then
// written) takes a second fault that copies it and flushes the old mapping
// from the TLB of every processor running the process, an interprocessor
// interrupt that a multi-threaded run pays for on every page it touches
// (about a fifth of all processor time, worse in virtual machines).  A shared
// anonymous page is a real zeroed page from its first fault, read or write.
// Kept out of forked children, which must never write into a live run.
//
// Dense ranges are the exception: shared memory gets no transparent huge
// pages (its setting is usually "never"), so their whole large pages are
// mapped private over the shared block and advised huge.  There the double
// fault happens once per 2 MB, not once per 4 KB.
namespace {

void* mapShared(size_t size) {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void keepFromChildren(void* p, size_t size) {
#if defined(MADV_DONTFORK)
    (void)::madvise(p, size, MADV_DONTFORK);
#else
    (void)p, (void)size;
#endif
}

// Maps [offset, offset + length) of block private and huge where whole large
// pages fit; false only when the block lost a part it cannot get back.
bool mapLarge([[maybe_unused]] uint8_t* block, [[maybe_unused]] size_t size, [[maybe_unused]] const PageSpan& span) {
#if defined(MADV_HUGEPAGE)
    if (span.offset >= size) return true;
    const size_t end = std::min(size, span.offset + std::min(span.length, size - span.offset));
    const size_t first = (span.offset + kLargePage - 1) / kLargePage * kLargePage;
    const size_t last = end / kLargePage * kLargePage;
    if (first >= last) return true;
    void* p = ::mmap(block + first, last - first, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED,
                     -1, 0);
    if (p == MAP_FAILED) return false;  // the range may be gone: the caller starts again
    (void)::madvise(p, last - first, MADV_HUGEPAGE);
    keepFromChildren(p, last - first);
#endif
    return true;
}

}  // namespace

bool largePagesOffered() {
#if defined(MADV_HUGEPAGE)
    static const bool offered = [] {
        char text[128] = {};
        const int fd = ::open("/sys/kernel/mm/transparent_hugepage/enabled", O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        const ssize_t n = ::read(fd, text, sizeof text - 1);
        ::close(fd);
        return n > 0 && (std::strstr(text, "[always]") || std::strstr(text, "[madvise]"));
    }();
    return offered;
#else
    return false;
#endif
}

void* pageAlloc(size_t size, const PageSpan* dense, size_t denseCount) {
    if (size == 0) size = 1;
    if (!dense || denseCount == 0 || !largePagesOffered() || size > SIZE_MAX - kLargePage) {
        void* p = mapShared(size);
        if (p) keepFromChildren(p, size);
        return p;
    }
    // Reserved a large page longer, then trimmed to start on a boundary.
    uint8_t* const reserved = static_cast<uint8_t*>(mapShared(size + kLargePage));
    if (!reserved) return nullptr;
    const uintptr_t address = reinterpret_cast<uintptr_t>(reserved);
    uint8_t* const block = reserved + ((kLargePage - address % kLargePage) % kLargePage);
    if (block > reserved) ::munmap(reserved, static_cast<size_t>(block - reserved));
    if (block + size < reserved + size + kLargePage)
        ::munmap(block + size, static_cast<size_t>(reserved + size + kLargePage - (block + size)));
    keepFromChildren(block, size);
    for (size_t i = 0; i < denseCount; ++i) {
        if (!mapLarge(block, size, dense[i])) {  // nothing was written yet: plain pages instead
            ::munmap(block, size);
            return pageAlloc(size);
        }
    }
    return block;
}

void pagePopulate([[maybe_unused]] void* block, [[maybe_unused]] size_t size) {
#if defined(MADV_POPULATE_WRITE)
    if (block && size) (void)::madvise(block, size, MADV_POPULATE_WRITE);
#endif
}

void pageFree(void* block, size_t size) {
    if (block) ::munmap(block, size ? size : 1);
}

struct Event {
    std::mutex mutex;
    std::condition_variable cv;
    bool signalled;
};

Event* createEvent(bool signalled) {
    Event* e = new (std::nothrow) Event();
    if (e) e->signalled = signalled;
    return e;
}

void setEvent(Event* event) {
    {
        std::lock_guard<std::mutex> lock(event->mutex);
        event->signalled = true;
    }
    event->cv.notify_one();
}

void waitEvent(Event* event) {
    std::unique_lock<std::mutex> lock(event->mutex);
    event->cv.wait(lock, [event] { return event->signalled; });
    event->signalled = false;  // auto-reset
}

void closeEvent(Event* event) { delete event; }

struct Thread {
    std::thread thread;
};

Thread* startThread(ThreadEntry entry, void* argument) {
    Thread* t = new (std::nothrow) Thread();
    if (!t) return nullptr;
    try {
        t->thread = std::thread([entry, argument] {
            // Below-normal priority, best effort: raise this thread's nice value.
            (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 2);
#ifdef SCHED_BATCH
            // And no preempting the thread that woke it, as a below-normal
            // thread cannot preempt a normal one on Windows: a stage handed
            // a chunk would otherwise take the processor from the driver in
            // the middle of handing out the others (ra2bf: 3-9% of the run).
            // Also best effort; the stages still get their fair share.
            {
                sched_param none{};
                (void)::pthread_setschedparam(::pthread_self(), SCHED_BATCH, &none);
            }
#endif
            entry(argument);
        });
    } catch (...) {
        delete t;
        return nullptr;
    }
    return t;
}

void joinThread(Thread* thread) {
    if (!thread) return;
    if (thread->thread.joinable()) thread->thread.join();
    delete thread;
}

uint32_t tickCount() {
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

uint64_t threadProcessorNanos() {
    timespec t{};
    if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0) return 0;
    return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}

void systemMessageBox(const char* caption, const char* text) { std::fprintf(stderr, "[%s] %s\n", caption, text); }

}  // namespace dev::platform
