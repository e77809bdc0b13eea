// Recycled storage for pictures the decoder copies: buffers of one picture size that are
// handed out again once every image made in them is gone, so that steady decoding allocates
// nothing large per picture.
#pragma once

#include <cstddef>
#include <cstdint>

#include "talmiro_media/ffmpeg_util.hpp"
#include "talmiro_media/image.hpp"

namespace talmiro_media {

// Used by one thread at a time; images made from it may be released on any thread, also
// after the pool itself is gone (its buffers then go with the last image).
class ImagePool {
public:
    // Storage for a width x height I420 picture, recycled when the last image over it goes.
    // A new size replaces the buffers of the old one. Fails with ENOMEM as an Ffmpeg error.
    Result<ImageBuilder> take(std::uint32_t width, std::uint32_t height);

private:
    // What the tests read inside: internal/test_access.hpp.
    friend struct TestAccess;

    BufferPoolPtr pool_;
    // The picture size the pool's buffers have (0 before the first `take`).
    std::size_t size_ = 0;
};

}  // namespace talmiro_media
