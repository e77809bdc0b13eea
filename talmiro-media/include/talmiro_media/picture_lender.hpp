// Lending a caller's picture to libavcodec instead of copying it into the encoder's frame: a
// frame whose planes are read-only reference-counted buffers over the caller's memory, whose
// release callbacks count the references libavcodec still holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "talmiro_media/ffmpeg_util.hpp"
#include "talmiro_media/image.hpp"

struct AVFrame;

namespace talmiro_media {

// Used by one thread at a time (libavcodec may let go of a lent buffer on any thread).
class PictureLender {
public:
    static Result<PictureLender> open();

    PictureLender(PictureLender&&) noexcept;
    PictureLender& operator=(PictureLender&&) noexcept;
    ~PictureLender();

    // Whether `picture` can go to a codec taking `codec_format` frames as it is: it has an
    // owner, its format is the codec's (I420 or NV12), and every plane starts and steps at the
    // 16-byte alignment libavcodec's SIMD code may assume, with a stride that fits an int.
    static bool lendable(const RawImage& picture, PictureFormat codec_format) noexcept;

    // The frame over `picture`'s planes (which must be `lendable`), each plane a read-only
    // buffer; valid until `settle`.
    Result<AVFrame*> lend(const RawImage& picture);
    // After the send and receive calls: drops the frame's own references. True when libavcodec
    // holds none of the lent buffers; otherwise `owner` is kept until it lets go of the last
    // one, and the caller should copy from then on.
    bool settle(const std::shared_ptr<const void>& owner);
    // The owners libavcodec has let go of since the last call, for the caller to drop where
    // that is allowed (a Python buffer with the interpreter lock held).
    std::vector<std::shared_ptr<const void>> take_released();

private:
    // What the tests read inside: internal/test_access.hpp.
    friend struct TestAccess;

    // Lent buffers libavcodec still references.
    std::size_t outstanding() const noexcept;
    // Pictures lent so far (each counted at its `settle`).
    std::uint64_t lent() const noexcept;

    struct Book;
    PictureLender(std::unique_ptr<Book> book, FramePtr frame) noexcept;

    std::unique_ptr<Book> book_;
    FramePtr frame_;
};

}  // namespace talmiro_media
