// POSIX implementation of the platform layer.
#include "platform/platform.h"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

namespace dev::platform {

struct File {
    FILE* handle;
};

File* openForRead(const char* path) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return nullptr;
    return new (std::nothrow) File{f};
}

File* createForWrite(const char* path) {
    FILE* f = std::fopen(path, "w+b");
    if (!f) return nullptr;
    return new (std::nothrow) File{f};
}

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

void closeFile(File* file) {
    if (!file) return;
    std::fclose(file->handle);
    delete file;
}

void consoleWrite(const char* text, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(STDOUT_FILENO, text + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

void* heapAlloc(size_t size) { return std::malloc(size ? size : 1); }
void heapFree(void* block) { std::free(block); }

void* pageAlloc(size_t size) {
    if (size == 0) size = 1;
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
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

void messageBox(const char* caption, const char* text) { std::fprintf(stderr, "[%s] %s\n", caption, text); }

}  // namespace dev::platform
