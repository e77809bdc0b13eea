// Reading pictures, pixel formats and byte buffers from Python arguments without copying:
// every buffer is held until the call that reads it has returned, and is released with the
// interpreter lock held.
#include "picture_args.hpp"

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "args.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "py_image.hpp"

namespace talmiro_py {

namespace {

using talmiro_media::PictureFormat;

// A held uint8 buffer seen as one plane: its first byte, the bytes it spans and its row stride.
struct PlaneView {
    HeldBuffer buffer;
    const std::uint8_t* data;
    std::size_t len;
    std::size_t stride;
};

std::span<const std::uint8_t> span_of(const PlaneView& p) noexcept { return {p.data, p.len}; }

// Item format of a uint8 buffer: "B" or "c", optionally after "@", "=" or ">"; no format
// counts as "B".
bool is_u8_format(const char* format) noexcept {
    if (!format) return true;
    if (*format == '@' || *format == '=' || *format == '>') ++format;
    return (format[0] == 'B' || format[0] == 'c') && format[1] == '\0';
}

// "[480, 640]": a shape or strides list as messages write it.
std::string list_text(const Py_ssize_t* values, int n) {
    std::string out = "[";
    for (int i = 0; i < n; ++i) {
        if (i) out += ", ";
        out += std::to_string(values[i]);
    }
    return out + "]";
}

// Bytes spanned by an array of `rows` rows at a positive `row_stride` whose rows hold
// `row_bytes` contiguous bytes. This, not the exporter's `len`, is the memory behind a strided
// view: `len` overstates it for overlapping rows and understates it for padded ones.
std::size_t extent(Py_ssize_t rows, Py_ssize_t row_stride, Py_ssize_t row_bytes) noexcept {
    if (rows <= 0 || row_bytes <= 0) return 0;
    return static_cast<std::size_t>(talmiro_media::plane_extent(
        static_cast<std::uint64_t>(rows), static_cast<std::uint64_t>(row_stride),
        static_cast<std::uint64_t>(row_bytes)));
}

std::nullopt_t value_error(const std::string& text) {
    raise(PyExc_ValueError, text);
    return std::nullopt;
}

// A held buffer as a plane of `rows` rows of `row_bytes` bytes; messages begin with `name`.
std::optional<PlaneView> plane_of(HeldBuffer held, std::uint64_t rows, std::uint64_t row_bytes,
                                  const std::string& name) {
    const Py_buffer& v = held.view();
    std::uint64_t stride = row_bytes;
    std::size_t len = static_cast<std::size_t>(v.len);
    if (v.ndim == 1) {
        if (!held.c_contiguous())
            return value_error(name +
                               ": 1-D buffer must be contiguous (use np.ascontiguousarray)");
    } else if (v.ndim == 2) {
        if (v.strides[1] != 1 || v.strides[0] < 1)
            return value_error(name +
                               ": 2-D buffer needs unit column stride and positive row stride "
                               "(use np.ascontiguousarray), got strides " +
                               list_text(v.strides, 2));
        if (static_cast<std::uint64_t>(v.shape[1]) < row_bytes ||
            static_cast<std::uint64_t>(v.shape[0]) < rows)
            return value_error(name + ": shape " + list_text(v.shape, 2) + " smaller than the " +
                               std::to_string(rows) + "x" + std::to_string(row_bytes) + " plane");
        // A row stride below row_bytes (overlapping rows) is left to the encoder's fit check.
        stride = static_cast<std::uint64_t>(v.strides[0]);
        len = extent(v.shape[0], v.strides[0], v.shape[1]);
    } else {
        return value_error(name + ": expected a 1-D or 2-D uint8 buffer, got " +
                           std::to_string(v.ndim) + " dimensions");
    }
    const std::uint64_t needed = talmiro_media::plane_extent(rows, stride, row_bytes);
    if (v.ndim == 1 && len < needed)
        return value_error(name + ": " + std::to_string(len) + " bytes, need " +
                           std::to_string(needed));
    const std::uint8_t* data = held.bytes().data();
    return PlaneView{std::move(held), data, len, static_cast<std::size_t>(stride)};
}

std::optional<PlaneView> read_plane(PyObject* obj, std::uint64_t rows, std::uint64_t row_bytes,
                                    const std::string& name) {
    auto held = acquire_u8(obj);
    if (!held) {
        raise(PyExc_TypeError, name + ": not a uint8 buffer (" + take_error_text() + ")");
        return std::nullopt;
    }
    return plane_of(std::move(*held), rows, row_bytes, name);
}

void set_plane(HeldPicture& pic, int i, PlaneView&& plane) {
    pic.raw.planes[static_cast<std::size_t>(i)] = span_of(plane);
    pic.raw.strides[static_cast<std::size_t>(i)] = plane.stride;
    pic.buffers.push_back(std::move(plane.buffer));
}

// (y, u, v) as I420 or (y, uv) as NV12, by the item count alone.
std::optional<HeldPicture> read_planes(HeldPicture pic, PyObject* seq) {
    const bool is_tuple = PyTuple_Check(seq);
    const Py_ssize_t count = is_tuple ? PyTuple_Size(seq) : PyList_Size(seq);
    if (count < 0) return std::nullopt;
    if (count != 2 && count != 3) {
        raise(PyExc_TypeError, "image planes: expected (y, u, v) or (y, uv), got " +
                                   std::to_string(count) + " items");
        return std::nullopt;
    }
    const PictureFormat format = count == 3 ? PictureFormat::I420 : PictureFormat::NV12;
    const char* const i420_names[3] = {"y plane", "u plane", "v plane"};
    const char* const nv12_names[2] = {"y plane", "uv plane"};
    const char* const* names = count == 3 ? i420_names : nv12_names;
    pic.raw.format = format;
    pic.buffers.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        // A strong reference: nothing may drop the item while its buffer is acquired.
        PyObject* item = Py_XNewRef(is_tuple ? PyTuple_GetItem(seq, i) : PyList_GetItem(seq, i));
        if (!item) return std::nullopt;
        const int k = static_cast<int>(i);
        auto plane = read_plane(item, format.plane_rows(k, pic.raw.height),
                                format.plane_row_bytes(k, pic.raw.width), names[i]);
        Py_DECREF(item);
        if (!plane) return std::nullopt;
        set_plane(pic, k, std::move(*plane));
    }
    return pic;
}

// One tightly packed 4:2:0 buffer of exactly the picture's size.
std::optional<HeldPicture> read_packed_yuv(HeldPicture pic, PyObject* obj) {
    auto held = acquire_u8(obj);
    if (!held) {
        raise(PyExc_TypeError,
              "image: not a uint8 buffer, an Image, or a tuple of planes (" + take_error_text() +
                  ")");
        return std::nullopt;
    }
    if (!held->c_contiguous())
        return value_error(
            "image: packed buffer must be C-contiguous (use np.ascontiguousarray), or pass the "
            "planes as a tuple");
    const Py_buffer& v = held->view();
    const PictureFormat format = pic.raw.format;
    const std::uint32_t w = pic.raw.width, h = pic.raw.height;
    const std::uint64_t size = format.packed_size(w, h);
    if (static_cast<std::uint64_t>(v.len) != size)
        return value_error("image: " + std::to_string(v.len) + " bytes for a " +
                           std::to_string(w) + "x" + std::to_string(h) + " " +
                           std::string(format.name()) + " picture (need " +
                           std::to_string(size) + "); shape " + list_text(v.shape, v.ndim));
    const auto packed = talmiro_media::packed_planes(held->bytes(), format, w, h);
    pic.raw.planes = packed.planes;
    pic.raw.strides = packed.strides;
    pic.buffers.push_back(std::move(*held));
    return pic;
}

// One packed RGB-family buffer: a (h, w, bpp) array, or anything read_plane takes as rows of
// bpp x width bytes.
std::optional<HeldPicture> read_packed_rgb(HeldPicture pic, PyObject* obj) {
    auto held = acquire_u8(obj);
    if (!held) {
        raise(PyExc_TypeError, "image: not a uint8 buffer (" + take_error_text() + ")");
        return std::nullopt;
    }
    const PictureFormat format = pic.raw.format;
    const std::uint32_t w = pic.raw.width, h = pic.raw.height;
    const std::int64_t bpp = format.bytes_per_pixel();
    const std::string name = std::string(format.name()) + " image";
    const Py_buffer& v = held->view();
    if (v.ndim != 3) {
        auto plane = plane_of(std::move(*held), h, static_cast<std::uint64_t>(bpp) * w, name);
        if (!plane) return std::nullopt;
        set_plane(pic, 0, std::move(*plane));
        return pic;
    }
    if (v.shape[2] != bpp || v.shape[1] < std::int64_t{w} || v.shape[0] < std::int64_t{h})
        return value_error(name + ": shape " + list_text(v.shape, 3) + ", need (" +
                           std::to_string(h) + ", " + std::to_string(w) + ", " +
                           std::to_string(bpp) + ")");
    if (v.strides[2] != 1 || v.strides[1] != bpp || v.strides[0] < bpp * std::int64_t{w})
        return value_error(name + ": pixels must be contiguous (strides " +
                           list_text(v.strides, 3) + "; use np.ascontiguousarray)");
    PlaneView plane{std::move(*held), nullptr, 0, 0};
    const Py_buffer& pv = plane.buffer.view();
    plane.data = plane.buffer.bytes().data();
    plane.len = extent(pv.shape[0], pv.strides[0], pv.shape[1] * bpp);
    plane.stride = static_cast<std::size_t>(pv.strides[0]);
    set_plane(pic, 0, std::move(plane));
    return pic;
}

}  // namespace

// Shape, strides and format are requested, suboffsets are not: an exporter whose memory is an
// array of row pointers refuses itself, so pointer bytes are never read as samples.
std::optional<HeldBuffer> acquire_u8(PyObject* obj) {
    auto view = std::make_unique<Py_buffer>();
    if (PyObject_GetBuffer(obj, view.get(), PyBUF_RECORDS_RO) < 0) return std::nullopt;
    HeldBuffer held(std::move(view));
    const Py_buffer& v = held.view();
    const char* refusal = nullptr;
    if (!v.shape)
        refusal = "shape is null";
    else if (!v.strides)
        refusal = "strides is null";
    else if (v.itemsize != 1 || !is_u8_format(v.format))
        refusal = "buffer contents are not compatible with u8";
    if (refusal) {
        PyErr_SetString(PyExc_BufferError, refusal);
        return std::nullopt;
    }
    return held;
}

std::optional<HeldBuffer> acquire_bytes(PyObject* obj, const char* what) {
    auto held = acquire_u8(obj);
    if (!held) {
        raise(PyExc_TypeError, std::string(what) + ": not a uint8 buffer (" + take_error_text() + ")");
        return std::nullopt;
    }
    if (!held->c_contiguous()) {
        raise(PyExc_TypeError, std::string(what) + ": not a contiguous buffer");
        return std::nullopt;
    }
    return held;
}

std::optional<HeldPicture> read_picture(PyObject* image, const talmiro_media::EncoderConfig& config,
                                        PictureFormat input_format, std::int64_t capture_us) {
    HeldPicture pic;
    if (const talmiro_media::SharedImage* core = image_or_null(image)) {
        // The encoder makes this check again; made here too, so that a closed encoder still
        // names an image of the wrong size.
        const talmiro_media::Image& img = **core;
        if (auto wrong = talmiro_media::check_picture_size(img.width, img.height, config)) {
            raise_media_error(*wrong);
            return std::nullopt;
        }
        // Holding the core image keeps its planes valid however the caller's references go.
        pic.raw = img.as_raw(capture_us);
        pic.image = *core;
        return pic;
    }
    pic.raw.t_us = capture_us;
    pic.raw.width = config.width;
    pic.raw.height = config.height;
    pic.raw.format = input_format;
    if (PyTuple_Check(image) || PyList_Check(image)) return read_planes(std::move(pic), image);
    if (input_format.is_yuv420()) return read_packed_yuv(std::move(pic), image);
    return read_packed_rgb(std::move(pic), image);
}

std::optional<PictureFormat> parse_pixel_format(PyObject* text) {
    if (const auto utf8 = utf8_of(text))
        if (const auto format = PictureFormat::parse(*utf8)) return format;
    raise_none_of("pixel_format", PictureFormat::names(), text);
    return std::nullopt;
}

}  // namespace talmiro_py
