// The outcome of a step of the packer (its readers and parsers, the stage
// encoders, packBink) and of the tools' file handling: success, or the reason
// it failed, in words that go into a message as they stand.
//
//     Status readSomething(...) {
//         if (bad) return "the reason";   // a failure (a reason is never empty)
//         return {};                      // success
//     }
//     if (const Status s = readSomething(...); !s.ok()) report(s.reason());
#pragma once

#include <cstddef>
#include <string>
#include <utility>

namespace dev {

class [[nodiscard]] Status {
public:
    Status() = default;
    Status(std::string reason) : reason_(std::move(reason)) {}
    Status(const char* reason) : reason_(reason ? reason : "") {}
    Status(std::nullptr_t) = delete;  // a failure names its reason

    bool ok() const { return reason_.empty(); }
    const std::string& reason() const { return reason_; }

private:
    std::string reason_;
};

}  // namespace dev
