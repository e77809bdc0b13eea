// Lending a caller's picture to libavcodec as read-only reference-counted buffers.
#include "talmiro_media/picture_lender.hpp"

#include <atomic>
#include <cerrno>
#include <climits>
#include <mutex>
#include <utility>

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include "av_pixel_format.hpp"

namespace talmiro_media {

namespace {

constexpr std::size_t kAlign = 16;

}  // namespace

// What the release callbacks reach: on the heap, so it stays put when the lender moves.
struct PictureLender::Book {
    std::atomic<std::size_t> outstanding{0};
    std::uint64_t lent = 0;  // pictures lent and settled; only the lending thread touches it
    std::mutex mutex;
    std::vector<std::shared_ptr<const void>> kept;      // owners of buffers libavcodec holds
    std::vector<std::shared_ptr<const void>> released;  // owners it has let go of since

    static void release(void* opaque, std::uint8_t*) noexcept {
        Book& book = *static_cast<Book*>(opaque);
        if (book.outstanding.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
        const std::lock_guard<std::mutex> held(book.mutex);
        for (auto& owner : book.kept) book.released.push_back(std::move(owner));
        book.kept.clear();
    }
};

PictureLender::PictureLender(std::unique_ptr<Book> book, FramePtr frame) noexcept
    : book_(std::move(book)), frame_(std::move(frame)) {}

PictureLender::PictureLender(PictureLender&&) noexcept = default;
PictureLender& PictureLender::operator=(PictureLender&&) noexcept = default;
PictureLender::~PictureLender() = default;

Result<PictureLender> PictureLender::open() {
    auto frame = alloc_frame();
    if (!frame) return std::unexpected(std::move(frame.error()));
    return PictureLender(std::make_unique<Book>(), std::move(*frame));
}

bool PictureLender::lendable(const RawImage& picture, PictureFormat codec_format) noexcept {
    if (!picture.owner || picture.format != codec_format || !codec_format.is_yuv420())
        return false;
    for (int i = 0; i < 3; ++i) {
        if (picture.format.plane_rows(i, picture.height) == 0) continue;
        const std::size_t stride = picture.strides[i];
        const auto address = reinterpret_cast<std::uintptr_t>(picture.planes[i].data());
        if (stride > static_cast<std::size_t>(INT_MAX) || stride % kAlign != 0 ||
            address % kAlign != 0 || picture.planes[i].size() > static_cast<std::size_t>(INT_MAX))
            return false;
    }
    return true;
}

Result<AVFrame*> PictureLender::lend(const RawImage& picture) {
    AVFrame& frame = *frame_;
    frame.format = av_pixel_format(picture.format);
    frame.width = static_cast<int>(picture.width);
    frame.height = static_cast<int>(picture.height);
    for (int i = 0; i < 3; ++i) {
        if (picture.format.plane_rows(i, picture.height) == 0) continue;
        // libavcodec only reads a read-only buffer; it never frees the caller's memory.
        auto* data = const_cast<std::uint8_t*>(picture.planes[i].data());
        book_->outstanding.fetch_add(1, std::memory_order_relaxed);
        AVBufferRef* buf = av_buffer_create(data, picture.planes[i].size(), &Book::release,
                                            book_.get(), AV_BUFFER_FLAG_READONLY);
        if (!buf) {
            book_->outstanding.fetch_sub(1, std::memory_order_relaxed);
            av_frame_unref(&frame);
            return ffmpeg_error(AVERROR(ENOMEM));
        }
        frame.buf[i] = buf;
        frame.data[i] = data;
        frame.linesize[i] = static_cast<int>(picture.strides[i]);
    }
    return &frame;
}

bool PictureLender::settle(const std::shared_ptr<const void>& owner) {
    av_frame_unref(frame_.get());
    ++book_->lent;
    const std::lock_guard<std::mutex> held(book_->mutex);
    if (book_->outstanding.load(std::memory_order_acquire) == 0) return true;
    book_->kept.push_back(owner);
    return false;
}

std::vector<std::shared_ptr<const void>> PictureLender::take_released() {
    const std::lock_guard<std::mutex> held(book_->mutex);
    return std::exchange(book_->released, {});
}

std::size_t PictureLender::outstanding() const noexcept {
    return book_->outstanding.load(std::memory_order_acquire);
}

std::uint64_t PictureLender::lent() const noexcept { return book_->lent; }

}  // namespace talmiro_media
