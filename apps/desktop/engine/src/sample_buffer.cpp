#include "sample_buffer.h"

#include <cstdlib>
#include <cstring>

namespace quillet {

SampleBuffer::SampleBuffer(SampleBuffer && other) noexcept :
    data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
    other.data_     = nullptr;
    other.size_     = 0;
    other.capacity_ = 0;
}

SampleBuffer & SampleBuffer::operator=(SampleBuffer && other) noexcept {
    if (this != &other) {
        release();
        data_           = other.data_;
        size_           = other.size_;
        capacity_       = other.capacity_;
        other.data_     = nullptr;
        other.size_     = 0;
        other.capacity_ = 0;
    }
    return *this;
}

SampleBuffer::~SampleBuffer() { release(); }

float * SampleBuffer::extend(size_t count) {
    size_t needed = size_ + count;
    if (needed < size_ || needed > ((size_t) -1) / sizeof(float)) {
        return nullptr;
    }
    if (needed > capacity_) {
        size_t grown    = capacity_ + capacity_ / 2;
        size_t capacity = needed > grown ? needed : grown;
        void * p        = realloc(data_, capacity * sizeof(float));
        if (p == nullptr) {
            return nullptr;
        }
        data_     = (float *) p;
        capacity_ = capacity;
    }
    float * at = data_ + size_;
    size_      = needed;
    return at;
}

bool SampleBuffer::padTo(size_t count) {
    if (count <= size_) {
        return true;
    }
    size_t  extra = count - size_;
    float * at    = extend(extra);
    if (at == nullptr) {
        return false;
    }
    memset(at, 0, extra * sizeof(float));
    return true;
}

void SampleBuffer::release() {
    free(data_);
    data_     = nullptr;
    size_     = 0;
    capacity_ = 0;
}

} // namespace quillet
