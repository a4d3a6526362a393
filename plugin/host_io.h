// Input and output of the plug-in through the host's callback.
#pragma once

#include <cstdint>

#include "core/byte_io.h"
#include "platform/exports.h"

namespace dev {

// The host's callback: (user value, operation, buffer, byte count) -> result.
using HostCallback = int32_t(DEV_CDECL*)(void* user, int32_t operation, void* buffer, int32_t count);

constexpr int32_t kHostRead = 4096;
constexpr int32_t kHostWrite = 6144;

struct HostStream {
    HostCallback callback;
    void* user;

    int32_t read(void* buffer, int32_t count) const { return callback(user, kHostRead, buffer, count); }
    int32_t write(const void* buffer, int32_t count) const {
        return callback(user, kHostWrite, const_cast<void*>(buffer), count);
    }
};

// The driver's reads: each succeeds only when the host delivers exactly the
// count asked for in one call.
class HostSource : public ByteSource {
public:
    explicit HostSource(const HostStream& host) : host_(host) {}
    bool readExact(void* buffer, size_t size) override;

private:
    const HostStream& host_;
};

// The driver's writes: a negative answer is a failed write.
class HostSink : public ByteSink {
public:
    explicit HostSink(const HostStream& host) : host_(host) {}
    bool write(const void* buffer, size_t size) override;

private:
    const HostStream& host_;
};

}  // namespace dev
