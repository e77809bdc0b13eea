// Plane arithmetic on arbitrary shapes, strides and lengths: each format's plane table and
// packed size are checked, `RawImage::fits` is compared with the same condition computed in
// 128-bit arithmetic (so a wrapped (rows - 1) x stride is caught), and every picture that fits
// is written into an encoder input frame by `fill_frame`.
// Each plane ends right before an inaccessible page, so a read past a plane by our copies or by
// libswscale (which is not instrumented) crashes. The plain copies and the chroma re-layouts
// are checked byte for byte.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <utility>

extern "C" {
#include <libavutil/frame.h>
}

#include "fuzz_input.hpp"
#include "talmiro_media/convert.hpp"
#include "talmiro_media/ffmpeg_util.hpp"
#include "talmiro_media/image.hpp"

using namespace talmiro_media;
using talmiro_fuzz::FuzzInput;

namespace {

using u128 = unsigned __int128;

constexpr std::size_t kMaxPlane = std::size_t{1} << 20;

// `len` bytes that end where an inaccessible page begins.
class GuardedBytes {
public:
    explicit GuardedBytes(std::size_t len) : len_(len) {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t body = (len + page - 1) / page * page;
        map_len_ = body + page;
        void* p = mmap(nullptr, map_len_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        FUZZ_CHECK(p != MAP_FAILED);
        base_ = static_cast<std::uint8_t*>(p);
        FUZZ_CHECK(mprotect(base_ + body, page, PROT_NONE) == 0);
        data_ = base_ + body - len;
    }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;
    ~GuardedBytes() { munmap(base_, map_len_); }

    std::uint8_t* data() noexcept { return data_; }
    std::span<const std::uint8_t> span() const noexcept { return {data_, len_}; }

private:
    std::uint8_t* base_ = nullptr;
    std::uint8_t* data_ = nullptr;
    std::size_t len_ = 0;
    std::size_t map_len_ = 0;
};

bool ref_plane_fits(std::uint64_t rows, std::uint64_t row_bytes, std::uint64_t stride,
                    std::uint64_t len) {
    // Nothing is read from a plane without rows or without bytes in a row.
    if (rows == 0 || row_bytes == 0) return true;
    if (stride < row_bytes) return false;
    return u128{len} >= u128{rows - 1} * stride + row_bytes;
}

// A value near `base`: `delta` in -4..+3, clamped at 0.
std::uint64_t near(u128 base, std::int8_t delta) {
    const int d = delta % 4;
    if (d < 0 && base < static_cast<u128>(-d)) return 0;
    const u128 v = base + d;
    return v > u128{~std::uint64_t{0}} ? ~std::uint64_t{0} : static_cast<std::uint64_t>(v);
}

// The plane table and the packed size of a format, in 128-bit arithmetic.
void check_plane_sizes(PictureFormat f, std::uint32_t w, std::uint32_t h) {
    const std::uint64_t cw = chroma_dim(w), ch = chroma_dim(h);
    FUZZ_CHECK(cw == (std::uint64_t{w} + 1) / 2 && ch == (std::uint64_t{h} + 1) / 2);
    std::array<std::pair<std::uint64_t, std::uint64_t>, 3> table{};
    switch (f) {
        case PictureFormat::I420: table = {{{h, w}, {ch, cw}, {ch, cw}}}; break;
        case PictureFormat::NV12: table = {{{h, w}, {ch, 2 * cw}, {0, 0}}}; break;
        default: table = {{{h, std::uint64_t{f.bytes_per_pixel()} * w}, {0, 0}, {0, 0}}}; break;
    }
    u128 total = 0;
    for (int i = 0; i < 3; ++i) {
        FUZZ_CHECK(f.plane_rows(i, h) == table[i].first);
        FUZZ_CHECK(f.plane_row_bytes(i, w) == table[i].second);
        total += u128{table[i].first} * table[i].second;
    }
    const u128 max = ~std::uint64_t{0};
    FUZZ_CHECK(f.packed_size(w, h) == static_cast<std::uint64_t>(total > max ? max : total));
}

void check_copy(const std::uint8_t* src, std::size_t src_stride, const std::uint8_t* dst,
                std::size_t dst_stride, std::size_t rows, std::size_t row_bytes) {
    for (std::size_t r = 0; r < rows; ++r)
        FUZZ_CHECK(std::memcmp(src + r * src_stride, dst + r * dst_stride, row_bytes) == 0);
}

void check_filled(const AVFrame& f, const RawImage& p, PictureFormat codec) {
    const std::size_t w = p.width, h = p.height, cw = chroma_dim(p.width), ch = chroma_dim(p.height);
    auto ls = [&](int i) { return static_cast<std::size_t>(f.linesize[i]); };
    check_copy(p.planes[0].data(), p.strides[0], f.data[0], ls(0), h, w);
    if (p.format == codec && codec == PictureFormat::I420) {
        check_copy(p.planes[1].data(), p.strides[1], f.data[1], ls(1), ch, cw);
        check_copy(p.planes[2].data(), p.strides[2], f.data[2], ls(2), ch, cw);
    } else if (p.format == codec) {
        check_copy(p.planes[1].data(), p.strides[1], f.data[1], ls(1), ch, 2 * cw);
    } else {
        for (std::size_t r = 0; r < ch; ++r)
            for (std::size_t c = 0; c < cw; ++c) {
                const std::uint8_t* uv = codec == PictureFormat::NV12 ? f.data[1] + r * ls(1)
                                                                      : p.planes[1].data() + r * p.strides[1];
                const std::uint8_t u = codec == PictureFormat::NV12 ? p.planes[1][r * p.strides[1] + c]
                                                                    : f.data[1][r * ls(1) + c];
                const std::uint8_t v = codec == PictureFormat::NV12 ? p.planes[2][r * p.strides[2] + c]
                                                                    : f.data[2][r * ls(2) + c];
                FUZZ_CHECK(uv[2 * c] == u && uv[2 * c + 1] == v);
            }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    RawImage pic;
    pic.format = static_cast<PictureFormat::Value>(in.take<std::uint8_t>() % 6);
    const PictureFormat codec = in.take_bool() ? PictureFormat::NV12 : PictureFormat::I420;
    const std::uint8_t mode = in.take<std::uint8_t>();
    pic.width = mode & 1 ? in.take<std::uint32_t>() : in.take<std::uint8_t>() % 70u;
    pic.height = mode & 2 ? in.take<std::uint32_t>() : in.take<std::uint8_t>() % 70u;
    check_plane_sizes(pic.format, pic.width, pic.height);

    std::array<std::optional<GuardedBytes>, 3> storage;
    bool expected = true;
    for (int i = 0; i < 3; ++i) {
        const std::uint64_t rows = pic.format.plane_rows(i, pic.height);
        const std::uint64_t row_bytes = pic.format.plane_row_bytes(i, pic.width);
        const std::uint64_t stride = mode & 4 ? in.take<std::uint64_t>()
                                              : near(row_bytes, in.take<std::int8_t>());
        const u128 needed = rows == 0 ? 0 : u128{rows - 1} * stride + row_bytes;
        std::uint64_t len = mode & 8 ? in.take<std::uint16_t>() : near(needed, in.take<std::int8_t>());
        if (len > kMaxPlane) len = in.take<std::uint16_t>();
        storage[i].emplace(static_cast<std::size_t>(len));
        // Recognisable bytes, so a copy from the wrong place shows.
        std::uint8_t* p = storage[i]->data();
        for (std::size_t k = 0; k < len; ++k) p[k] = static_cast<std::uint8_t>(k * 7 + i * 61 + (k >> 8));
        pic.planes[i] = storage[i]->span();
        pic.strides[i] = static_cast<std::size_t>(stride);
        if (rows > 0) expected = expected && ref_plane_fits(rows, row_bytes, stride, len);
    }
    FUZZ_CHECK(pic.fits() == expected);
    if (!expected || pic.width == 0 || pic.height == 0) return 0;
    if (pic.width > 4096 || pic.height > 4096 || u128{pic.width} * pic.height > kMaxPlane) return 0;

    ffmpeg_init();
    auto frame = alloc_input_frame(codec, pic.width, pic.height);
    FUZZ_CHECK(frame.has_value());
    PackedScaler scaler;
    const Result<bool> filled = fill_frame(**frame, scaler, pic);
    if (pic.format.is_yuv420()) {
        FUZZ_CHECK(filled.has_value() && *filled == (pic.format != codec));
        check_filled(**frame, pic, codec);
    }
    return 0;
}
