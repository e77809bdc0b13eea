// Pictures and pixel formats read from Python arguments in place: a picture argument becomes a
// RawImage over the caller's memory plus whatever keeps that memory valid.
#pragma once

#include "py.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "locks.hpp"
#include "talmiro_media/encoder_config.hpp"
#include "talmiro_media/image.hpp"

namespace talmiro_py {

// A buffer acquired through the buffer protocol, released when this is destroyed. The view
// lives on the heap so that exporters which point shape or strides into the view itself
// (bytes does) stay valid when the holder moves. Destroy it with the interpreter lock held; on
// a thread that is being ended without it the buffer is left held (the interpreter is going).
class HeldBuffer {
public:
    explicit HeldBuffer(std::unique_ptr<Py_buffer> view) noexcept : view_(std::move(view)) {}
    HeldBuffer(HeldBuffer&& other) noexcept = default;
    HeldBuffer& operator=(HeldBuffer&& other) noexcept {
        if (this != &other) {
            release();
            view_ = std::move(other.view_);
        }
        return *this;
    }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() { release(); }

    const Py_buffer& view() const noexcept { return *view_; }
    // Every byte of the buffer, from its first one.
    std::span<const std::uint8_t> bytes() const noexcept {
        return {static_cast<const std::uint8_t*>(view_->buf), static_cast<std::size_t>(view_->len)};
    }
    bool c_contiguous() const noexcept { return PyBuffer_IsContiguous(view_.get(), 'C'); }

private:
    void release() noexcept {
        if (view_ && !thread_is_ending()) PyBuffer_Release(view_.get());
        view_.reset();
    }
    std::unique_ptr<Py_buffer> view_;
};

// The buffer of `obj` as uint8 samples (item size 1, format "B" or "c" after an optional "@",
// "=" or ">"; no format counts as "B"), or none with the acquisition's exception set.
std::optional<HeldBuffer> acquire_u8(PyObject* obj);

// The bytes of a contiguous uint8 buffer argument (bytes, bytearray, memoryview, a NumPy
// array...), or none with a TypeError naming `what` set.
std::optional<HeldBuffer> acquire_bytes(PyObject* obj, const char* what);

// A picture argument: `raw` points into the caller's memory, which `buffers` (the held plane
// or picture buffers) or `image` (a Python Image's core picture) keep valid. Keep it until the
// call that reads `raw` has returned (also when the interpreter lock is released meanwhile),
// then destroy it with the interpreter lock held.
struct HeldPicture {
    talmiro_media::RawImage raw;
    std::vector<HeldBuffer> buffers;
    talmiro_media::SharedImage image;
};

// Reads `image` (an Image, a tuple or list of planes, or one buffer read as `input_format`)
// for an encoder of `config`'s size, stamped `capture_us`. None with a Python exception set
// (every buffer already acquired released).
std::optional<HeldPicture> read_picture(PyObject* image, const talmiro_media::EncoderConfig& config,
                                        talmiro_media::PictureFormat input_format,
                                        std::int64_t capture_us);

// The format named by the str `text` (ASCII case ignored, "yuv420p" for i420); none with a
// ValueError set that quotes the text.
std::optional<talmiro_media::PictureFormat> parse_pixel_format(PyObject* text);

}  // namespace talmiro_py
