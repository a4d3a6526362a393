// The plug-in's one entry point.  The host calls it with an operation code,
// its read/write callback and a user value passed back on every callback.
#include "platform/exports.h"
#include "plugin/record_stream.h"

namespace {
constexpr int32_t kOperationDecompress = 4;
constexpr int32_t kOperationCompress = 3;
}  // namespace

extern "C" DEV_EXPORT int32_t DEV_CDECL ClsMain(int32_t operation, dev::HostCallback callback, void* user) {
    switch (operation) {
        case 1:
        case 2:
            return 0;
        case kOperationCompress:
            return dev::kResultNotOffered;
        case kOperationDecompress:
            if (!callback) return dev::kResultFailed;
            return dev::decompressRecordStream(dev::HostStream{callback, user});
        default:
            return dev::kResultBadOperation;
    }
}
