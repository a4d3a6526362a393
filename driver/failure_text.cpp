#include "driver/failure_text.h"

namespace dev {

std::string describeRunFailure(const RunFailure& f, int32_t result) {
    std::string where;
    if (f.frame >= 0) where = "frame " + std::to_string(f.frame);
    if (f.stage >= 0) where += (where.empty() ? "stage " : ", stage ") + std::to_string(f.stage);
    if (!where.empty()) where += ": ";
    switch (f.point) {
        case FailurePoint::Input:
            return where + (f.frame >= 0 ? "the stream ends inside the chunk" : "the stream ends early");
        case FailurePoint::NotDev:
            return "not a DEV stream";
        case FailurePoint::Framing:
            return where + (f.frame >= 0 ? "chunk length out of range" : "the framing is damaged");
        case FailurePoint::Header:
            return result == kResultFlags ? "the Bink header's video flags are not supported"
                                          : "the header chunk is damaged";
        case FailurePoint::Resources:
            return "not enough memory";
        case FailurePoint::Stage:
            return where + "the stage cannot decode its chunk";
        case FailurePoint::EarlyEnd:
            return where + "the chunks end before the header's last frame";
        case FailurePoint::Assembly:
            return where + "the frame cannot be rebuilt from the decoded values";
        case FailurePoint::FrameIndex:
            return where + (f.frame >= 0 ? "the frame does not start where the frame index says"
                                         : "the file does not end where its header and frame index say");
        case FailurePoint::Output:
            return where + "the output cannot be written";
        case FailurePoint::Stopped:
            return "stopped";
        case FailurePoint::None:
            break;
    }
    return "the stream does not decode (result " + std::to_string(result) + ")";
}

}  // namespace dev
