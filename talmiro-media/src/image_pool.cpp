// Recycled storage for the pictures the decoder copies.
#include "talmiro_media/image_pool.hpp"

#include <cerrno>
#include <memory>

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/error.h>
}

namespace talmiro_media {

Result<ImageBuilder> ImagePool::take(std::uint32_t width, std::uint32_t height) {
    const std::size_t size = ImageBuilder::size_of(width, height);
    if (size == 0) return ImageBuilder::allocate(width, height);
    if (!pool_ || size != size_) {
        BufferPoolPtr pool(av_buffer_pool_init(size, nullptr));
        if (!pool) return ffmpeg_error(AVERROR(ENOMEM));
        pool_ = std::move(pool);
        size_ = size;
    }
    AVBufferRef* ref = av_buffer_pool_get(pool_.get());
    if (!ref) return ffmpeg_error(AVERROR(ENOMEM));
    // The reference goes back to the pool when the last image made over it is gone.
    std::shared_ptr<const AVBufferRef> owner(ref, [](const AVBufferRef* r) {
        BufferRefDeleter{}(const_cast<AVBufferRef*>(r));
    });
    return ImageBuilder::over(std::move(owner), std::span<std::uint8_t>(ref->data, size), width,
                              height);
}

}  // namespace talmiro_media
