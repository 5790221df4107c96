// Growable float storage for one request's audio. Unlike std::vector it
// grows with realloc (large blocks are remapped, not copied) and never
// zero-fills space that the next frame overwrites anyway.
#pragma once

#include <cstddef>

namespace quillet {

class SampleBuffer {
public:
    SampleBuffer()                                 = default;
    SampleBuffer(const SampleBuffer &)             = delete;
    SampleBuffer & operator=(const SampleBuffer &) = delete;
    SampleBuffer(SampleBuffer && other) noexcept;
    SampleBuffer & operator=(SampleBuffer && other) noexcept;
    ~SampleBuffer();

    float *       data() { return data_; }
    const float * data() const { return data_; }
    size_t        size() const { return size_; }
    size_t        capacity() const { return capacity_; }

    // Makes room for `count` more samples and returns where they go; the
    // size grows by `count`. Capacity grows to the larger of what is needed
    // and 1.5 times the old capacity. Null when memory ran out (nothing
    // changes then).
    float * extend(size_t count);

    // Pads with zeros up to `count` samples; false when memory ran out.
    bool padTo(size_t count);

    void release();

private:
    float * data_     = nullptr;
    size_t  size_     = 0;
    size_t  capacity_ = 0;
};

} // namespace quillet
