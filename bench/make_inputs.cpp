// Writes the benchmarks' shared inputs: for each picture size a run of test-pattern pictures
// (I420, and the same pictures converted to RGB24) and the access units our encoder makes of
// them with its default settings.
//
//   make_inputs [--inputs=DIR] [--frames=N]     (N pictures per size, default 60)
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}

#include "inputs.hpp"
#include "talmiro_media/capture.hpp"
#include "talmiro_media/encode.hpp"

namespace media = talmiro_media;

namespace {

// Pattern speed of the pictures: the bars move, so every picture differs from the one before.
constexpr std::uint32_t kSpeed = 4;

std::vector<std::uint8_t> to_rgb24(const media::PackedImage& picture, SwsContext* sws) {
    const bench::Size size{picture.width, picture.height};
    std::vector<std::uint8_t> rgb(size.rgb24_bytes());
    const int cw = static_cast<int>(media::chroma_dim(picture.width));
    const std::uint8_t* src[4] = {picture.plane(0).data(), picture.plane(1).data(),
                                  picture.plane(2).data(), nullptr};
    const int src_stride[4] = {static_cast<int>(picture.width), cw, cw, 0};
    std::uint8_t* dst[4] = {rgb.data(), nullptr, nullptr, nullptr};
    const int dst_stride[4] = {static_cast<int>(picture.width) * 3, 0, 0, 0};
    sws_scale(sws, src, src_stride, 0, static_cast<int>(picture.height), dst, dst_stride);
    return rgb;
}

void write_size(const std::string& dir, bench::Size size, std::size_t count) {
    media::TestPattern pattern(size.width, size.height, media::PictureFormat::I420, kSpeed);
    media::EncoderConfig config;
    config.width = size.width;
    config.height = size.height;
    config.backend = media::EncoderBackend::X264;
    auto encoder = media::H264Encoder::open(config, nullptr);
    if (!encoder) bench::fail("encoder: " + encoder.error().display());
    const int w = static_cast<int>(size.width), h = static_cast<int>(size.height);
    const media::SwsPtr sws(sws_getContext(w, h, AV_PIX_FMT_YUV420P, w, h, AV_PIX_FMT_RGB24,
                                        SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!sws) bench::fail("no libswscale context");

    std::vector<std::uint8_t> i420, rgb24, stream;
    for (std::size_t n = 0; n < count; ++n) {
        auto picture = pattern.frame(n, static_cast<std::int64_t>(n));
        if (!picture) bench::fail("pattern: " + picture.error().display());
        i420.insert(i420.end(), picture->data.begin(), picture->data.end());
        const std::vector<std::uint8_t> rgb = to_rgb24(*picture, sws.get());
        rgb24.insert(rgb24.end(), rgb.begin(), rgb.end());

        const media::Image image = media::Image::from_packed(std::move(*picture));
        auto units = encoder->encode(image.as_raw(static_cast<std::int64_t>(n)), false);
        if (!units) bench::fail("encode: " + units.error().display());
        for (const media::AccessUnit& au : *units)
            talmiro_testing::append_au_record(
                stream, {talmiro_testing::au_flags(au.key, au.config, au.recovery), au.t_us, au.bytes()});
    }
    bench::write_file(bench::pictures_path(dir, size, "i420"), i420);
    bench::write_file(bench::pictures_path(dir, size, "rgb24"), rgb24);
    bench::write_file(bench::stream_path(dir, size), stream);
}

}  // namespace

int main(int argc, char** argv) {
    const bench::Options options = bench::parse_options(argc, argv);
    const std::size_t count = options.frames ? options.frames : 60;
    std::filesystem::create_directories(options.inputs);
    for (const bench::Size size : bench::kSizes) write_size(options.inputs, size, count);
    std::printf("make_inputs: %zu pictures per size in %s\n", count, options.inputs.c_str());
    return 0;
}
