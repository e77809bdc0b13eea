// The bare libavcodec loop: libx264 and the h264 decoder driven directly, with the settings our
// encoder and decoder use and the same pictures and access units, and nothing else. It links
// FFmpeg only (no media core), so its figures are the limit the core and the module are
// measured against.
//
// Each run opens the codec, warms it up on the inputs and then times --frames pictures (or
// access units), one per iteration. Pictures are handed over as frames that reference the
// input memory, access units as ready packets: libavcodec takes references, copies nothing.
//
//   bare_bench [benchmark flags] [--inputs=DIR] [--warmup=N] [--frames=N]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include "codec_rows.hpp"
#include "inputs.hpp"

namespace {

struct ContextFree {
    void operator()(AVCodecContext* p) const noexcept { avcodec_free_context(&p); }
};
struct FrameFree {
    void operator()(AVFrame* p) const noexcept { av_frame_free(&p); }
};
struct PacketFree {
    void operator()(AVPacket* p) const noexcept { av_packet_free(&p); }
};
using ContextPtr = std::unique_ptr<AVCodecContext, ContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

bench::Options g_options;

void check(int rc, const char* what) {
    if (rc >= 0) return;
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(rc, text, sizeof text);
    bench::fail(std::string(what) + ": " + text);
}

void set(AVCodecContext* ctx, const char* key, const char* value) {
    check(av_opt_set(ctx, key, value, AV_OPT_SEARCH_CHILDREN), key);
}

// libx264 as our encoder opens it with its defaults: ultrafast, zerolatency, baseline, one
// thread, one reference, no B-frames, 2000 kbit/s, GOP of one second, periodic intra refresh.
ContextPtr open_encoder(bench::Size size) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) bench::fail("no libx264 in this libavcodec");
    ContextPtr ctx(avcodec_alloc_context3(codec));
    ctx->width = static_cast<int>(size.width);
    ctx->height = static_cast<int>(size.height);
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = AVRational{1, bench::kFps};
    ctx->framerate = AVRational{bench::kFps, 1};
    ctx->bit_rate = bench::kBitrateBps;
    ctx->rc_max_rate = bench::kBitrateBps;
    ctx->rc_buffer_size = static_cast<int>(bench::kBitrateBps);
    ctx->gop_size = bench::kFps;
    ctx->max_b_frames = 0;
    ctx->flags = AV_CODEC_FLAG_LOW_DELAY;
    set(ctx.get(), "forced-idr", "1");
    set(ctx.get(), "intra-refresh", "1");
    set(ctx.get(), "preset", "ultrafast");
    set(ctx.get(), "tune", "zerolatency");
    set(ctx.get(), "threads", "1");
    set(ctx.get(), "profile", "baseline");
    set(ctx.get(), "x264-params", "sliced-threads=0:slices=1:ref=1");
    check(avcodec_open2(ctx.get(), codec, nullptr), "avcodec_open2 libx264");
    return ctx;
}

ContextPtr open_decoder() {
    const AVCodec* codec = avcodec_find_decoder_by_name("h264");
    if (!codec) bench::fail("no h264 decoder in this libavcodec");
    ContextPtr ctx(avcodec_alloc_context3(codec));
    ctx->thread_count = 1;
    ctx->thread_type = 0;
    ctx->flags = AV_CODEC_FLAG_LOW_DELAY | AV_CODEC_FLAG_OUTPUT_CORRUPT;
    check(avcodec_open2(ctx.get(), codec, nullptr), "avcodec_open2 h264");
    return ctx;
}

void keep(void*, std::uint8_t*) {}

// One frame per input picture, referencing the picture's bytes (never freed by libav).
std::vector<FramePtr> wrap_pictures(const bench::Pictures& pictures, bench::Size size) {
    const int w = static_cast<int>(size.width);
    const int cw = static_cast<int>(size.width - size.width / 2);
    const std::size_t luma = std::size_t{size.width} * size.height;
    const std::size_t chroma = std::size_t(cw) * (size.height - size.height / 2);
    std::vector<FramePtr> frames;
    for (std::size_t i = 0; i < pictures.count(); ++i) {
        FramePtr frame(av_frame_alloc());
        auto* data = const_cast<std::uint8_t*>(pictures.picture(i));
        frame->buf[0] = av_buffer_create(data, pictures.picture_bytes, keep, nullptr,
                                         AV_BUFFER_FLAG_READONLY);
        if (!frame->buf[0]) bench::fail("av_buffer_create");
        frame->format = AV_PIX_FMT_YUV420P;
        frame->width = w;
        frame->height = static_cast<int>(size.height);
        frame->data[0] = data;
        frame->data[1] = data + luma;
        frame->data[2] = data + luma + chroma;
        frame->linesize[0] = w;
        frame->linesize[1] = cw;
        frame->linesize[2] = cw;
        frames.push_back(std::move(frame));
    }
    return frames;
}

std::vector<PacketPtr> stream_packets(const bench::Stream& stream) {
    std::vector<PacketPtr> packets;
    for (const talmiro_testing::AuRecord& au : stream.units) {
        PacketPtr packet(av_packet_alloc());
        check(av_new_packet(packet.get(), static_cast<int>(au.bytes.size())), "av_new_packet");
        std::copy(au.bytes.begin(), au.bytes.end(), packet->data);
        packet->flags = au.key() ? AV_PKT_FLAG_KEY : 0;
        packets.push_back(std::move(packet));
    }
    return packets;
}

// The tally of a pass, with the pictures whose memory libavcodec still referenced once the call
// had returned: 0 means the caller's memory may be lent to the encoder for the duration of the
// call alone.
struct Tally : bench::Tally {
    std::uint64_t input_kept = 0;
};

// Sends one picture and drains the packets; with `decoder`, each packet is decoded at once.
void encode_one(AVCodecContext* enc, AVFrame* frame, std::int64_t pts, AVPacket* packet,
                AVCodecContext* dec, AVFrame* picture, Tally& tally, std::size_t input,
                bool hash) {
    frame->pts = pts;
    check(avcodec_send_frame(enc, frame), "avcodec_send_frame");
    while (avcodec_receive_packet(enc, packet) == 0) {
        tally.out(input, static_cast<std::size_t>(packet->size));
        if (hash)
            tally.crc = bench::crc32(tally.crc, {packet->data, static_cast<std::size_t>(packet->size)});
        if (dec) {
            check(avcodec_send_packet(dec, packet), "avcodec_send_packet");
            while (avcodec_receive_frame(dec, picture) == 0) av_frame_unref(picture);
        }
        av_packet_unref(packet);
    }
    if (av_buffer_get_ref_count(frame->buf[0]) > 1) ++tally.input_kept;
}

void decode_one(AVCodecContext* dec, AVPacket* packet, std::int64_t pts, AVFrame* picture,
                Tally& tally, std::size_t input) {
    packet->pts = pts;
    packet->dts = pts;
    check(avcodec_send_packet(dec, packet), "avcodec_send_packet");
    while (avcodec_receive_frame(dec, picture) == 0) {
        tally.out(input, 0);
        av_frame_unref(picture);
    }
}

void set_counters(benchmark::State& state, const Tally& warm, const Tally& timed) {
    bench::set_counters(state, warm, timed);
    state.counters["input_kept"] = static_cast<double>(warm.input_kept + timed.input_kept);
}

// `decode`: decode each access unit right after encoding it (the link loop); `cold`: cycle
// through more picture memory than the caches hold.
void run_encode(benchmark::State& state, bench::Size size, bool decode, bool cold = false) {
    const bench::Pictures warm_pictures = bench::read_pictures(g_options.inputs, size, "i420");
    const bench::Pictures pictures = cold ? bench::cold(warm_pictures) : warm_pictures;
    std::vector<FramePtr> frames = wrap_pictures(pictures, size);
    ContextPtr enc = open_encoder(size);
    ContextPtr dec = decode ? open_decoder() : nullptr;
    PacketPtr packet(av_packet_alloc());
    FramePtr picture(av_frame_alloc());
    std::int64_t pts = 0;
    std::size_t n = 0;
    Tally warm, timed;
    for (const std::size_t end = bench::warmup_of(g_options, frames.size()); n < end; ++n)
        encode_one(enc.get(), frames[n % frames.size()].get(), pts++, packet.get(), dec.get(),
                   picture.get(), warm, n, true);
    for (auto _ : state) {
        encode_one(enc.get(), frames[n % frames.size()].get(), pts++, packet.get(), dec.get(),
                   picture.get(), timed, n, false);
        ++n;
    }
    set_counters(state, warm, timed);
}

void run_decode(benchmark::State& state, bench::Size size) {
    std::vector<PacketPtr> packets = stream_packets(bench::read_stream(g_options.inputs, size));
    ContextPtr dec = open_decoder();
    FramePtr picture(av_frame_alloc());
    std::size_t n = 0;
    Tally warm, timed;
    for (const std::size_t end = bench::warmup_of(g_options, packets.size()); n < end; ++n)
        decode_one(dec.get(), packets[n % packets.size()].get(), static_cast<std::int64_t>(n),
                   picture.get(), warm, n);
    for (auto _ : state) {
        decode_one(dec.get(), packets[n % packets.size()].get(), static_cast<std::int64_t>(n),
                   picture.get(), timed, n);
        ++n;
    }
    set_counters(state, warm, timed);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    g_options = bench::parse_options(argc, argv);
    av_log_set_level(AV_LOG_WARNING);
    for (const bench::Size size : bench::kSizes) {
        const auto add = [&](const std::string& name, auto body) {
            bench::register_codec_row(g_options, name, size, body);
        };
        add("bare_encode", [size](benchmark::State& s) { run_encode(s, size, false); });
        add("bare_decode", [size](benchmark::State& s) { run_decode(s, size); });
        add("bare_loop", [size](benchmark::State& s) { run_encode(s, size, true); });
        add("bare_loop_cold", [size](benchmark::State& s) { run_encode(s, size, true, true); });
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
