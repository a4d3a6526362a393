#include "core/byte_io.h"

#include <cstring>

namespace dev {

bool MemorySource::readExact(void* buffer, size_t size) {
    if (size > size_ - pos_) {
        pos_ = size_;
        return false;
    }
    if (size) std::memcpy(buffer, data_ + pos_, size);
    pos_ += size;
    return true;
}

}  // namespace dev
