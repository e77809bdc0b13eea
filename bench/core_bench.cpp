// The media core alone: filling the encoder's input frame on every path and copying a decoded
// frame out, against a plain memcpy of the same bytes; Annex-B scanning, the sync policy's push,
// PSNR, test-pattern drawing, RTP packetizing and depacketizing per access unit, and the core
// encoder and decoder per frame on the shared inputs.
//
// The codec benchmarks (core_*) run like the bare loop's: open, warm up on the inputs, then
// time --frames pictures (or access units), one per iteration.
//
//   core_bench [benchmark flags] [--inputs=DIR] [--warmup=N] [--frames=N]
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

#include "codec_rows.hpp"
#include "inputs.hpp"
#include "talmiro_media/annexb.hpp"
#include "talmiro_media/capture.hpp"
#include "talmiro_media/congestion_controller.hpp"
#include "talmiro_media/convert.hpp"
#include "talmiro_media/decode.hpp"
#include "talmiro_media/encode.hpp"
#include "talmiro_media/psnr.hpp"
#include "talmiro_media/rtp_depacketizer.hpp"
#include "talmiro_media/rtp_packetizer.hpp"
#include "talmiro_media/rtcp.hpp"
#include "talmiro_media/srtp_context.hpp"
#include "talmiro_media/sync.hpp"
#include "talmiro_media/transport_feedback_builder.hpp"

namespace media = talmiro_media;

namespace {

bench::Options g_options;

template <typename T>
T value_or_fail(media::Result<T> result, const char* what) {
    if (!result) bench::fail(std::string(what) + ": " + result.error().display());
    return std::move(*result);
}

// ---- pictures as the core takes them ----

// A picture of `format` in one tightly packed buffer, with deterministic contents.
struct SourcePicture {
    std::vector<std::uint8_t> bytes;
    media::RawImage raw;
};

SourcePicture source_picture(bench::Size size, media::PictureFormat format) {
    SourcePicture p;
    const std::uint32_t w = size.width, h = size.height;
    const std::size_t cw = media::chroma_dim(w), ch = media::chroma_dim(h);
    if (format.is_yuv420()) {
        media::TestPattern pattern(w, h, format, 4);
        p.bytes = value_or_fail(pattern.frame(7, 0), "pattern").data;
    } else {
        p.bytes.resize(format.packed_size(w, h));
        for (std::size_t i = 0; i < p.bytes.size(); ++i)
            p.bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 4093);
    }
    p.raw.width = w;
    p.raw.height = h;
    p.raw.format = format;
    const std::uint8_t* base = p.bytes.data();
    const std::size_t luma = std::size_t{w} * h;
    switch (format) {
        case media::PictureFormat::I420:
            p.raw.planes = {std::span(base, luma), std::span(base + luma, cw * ch),
                            std::span(base + luma + cw * ch, cw * ch)};
            p.raw.strides = {w, cw, cw};
            break;
        case media::PictureFormat::NV12:
            p.raw.planes = {std::span(base, luma), std::span(base + luma, 2 * cw * ch), {}};
            p.raw.strides = {w, 2 * cw, 0};
            break;
        default:
            p.raw.planes = {std::span(base, p.bytes.size()), {}, {}};
            p.raw.strides = {std::size_t{w} * format.bytes_per_pixel(), 0, 0};
            break;
    }
    return p;
}

// Picture i of an input run, as a borrowed picture.
media::RawImage input_picture(const bench::Pictures& pictures, std::size_t i, bench::Size size,
                           media::PictureFormat format, std::int64_t t_us) {
    media::RawImage raw;
    raw.width = size.width;
    raw.height = size.height;
    raw.format = format;
    raw.t_us = t_us;
    const std::uint8_t* base = pictures.picture(i);
    if (format == media::PictureFormat::I420) {
        const std::size_t luma = std::size_t{size.width} * size.height;
        const std::size_t cw = media::chroma_dim(size.width), ch = media::chroma_dim(size.height);
        raw.planes = {std::span(base, luma), std::span(base + luma, cw * ch),
                      std::span(base + luma + cw * ch, cw * ch)};
        raw.strides = {size.width, cw, cw};
    } else {
        raw.planes = {std::span(base, pictures.picture_bytes), {}, {}};
        raw.strides = {std::size_t{size.width} * format.bytes_per_pixel(), 0, 0};
    }
    return raw;
}

std::vector<media::AccessUnit> stream_units(bench::Size size) {
    std::vector<media::AccessUnit> units;
    const bench::Stream stream = bench::read_stream(g_options.inputs, size);
    for (const talmiro_testing::AuRecord& record : stream.units) {
        media::AccessUnit au;
        au.key = record.key();
        au.config = record.config();
        au.recovery = record.recovery();
        au.data = media::SharedBytes::copy_of(record.bytes);
        units.push_back(std::move(au));
    }
    return units;
}

std::size_t stream_bytes(const std::vector<media::AccessUnit>& units) {
    std::size_t n = 0;
    for (const media::AccessUnit& au : units) n += au.data.size();
    return n;
}

// ---- picture conversion ----

struct FillPath {
    const char* name;
    media::PictureFormat source;
    media::PictureFormat codec;
};

constexpr std::array<FillPath, 7> kFillPaths{{
    {"i420_copy", media::PictureFormat::I420, media::PictureFormat::I420},
    {"i420_to_nv12", media::PictureFormat::I420, media::PictureFormat::NV12},
    {"nv12_to_i420", media::PictureFormat::NV12, media::PictureFormat::I420},
    {"rgb24", media::PictureFormat::RGB24, media::PictureFormat::I420},
    {"bgr24", media::PictureFormat::BGR24, media::PictureFormat::I420},
    {"rgba", media::PictureFormat::RGBA, media::PictureFormat::I420},
    {"bgra", media::PictureFormat::BGRA, media::PictureFormat::I420},
}};

// Bytes per second count the source picture's bytes, as the memcpy beside it does.
void bm_fill(benchmark::State& state, bench::Size size, FillPath path) {
    const SourcePicture picture = source_picture(size, path.source);
    media::FramePtr frame =
        value_or_fail(media::alloc_input_frame(path.codec, size.width, size.height), "frame");
    media::PackedScaler scaler;
    for (auto _ : state) {
        auto converted = media::fill_frame(*frame, scaler, picture.raw);
        benchmark::DoNotOptimize(converted);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(picture.bytes.size()));
}

void bm_memcpy(benchmark::State& state, std::size_t bytes) {
    std::vector<std::uint8_t> src(bytes, 1), dst(bytes);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}

// A decoded frame made into a picture the way the decoder does it: with `padded` line sizes
// (aligned to 256 bytes, so no plane is tightly packed) it is copied into recycled storage,
// otherwise the picture shares the frame.
void bm_image_from_frame(benchmark::State& state, bench::Size size, bool padded) {
    media::FramePtr frame = value_or_fail(media::alloc_frame(), "frame");
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = static_cast<int>(size.width);
    frame->height = static_cast<int>(size.height);
    if (av_frame_get_buffer(frame.get(), padded ? 256 : 32) < 0) bench::fail("av_frame_get_buffer");
    media::PackedScaler scaler;
    const SourcePicture picture = source_picture(size, media::PictureFormat::I420);
    value_or_fail(media::fill_frame(*frame, scaler, picture.raw), "fill");
    media::ImagePool pool;
    for (auto _ : state) benchmark::DoNotOptimize(media::image_from_frame(*frame, &pool));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size.i420_bytes()));
}

// ---- Annex-B, sync, PSNR, pattern ----

void bm_au_facts(benchmark::State& state) {
    const std::vector<media::AccessUnit> units = stream_units(bench::kSizes[1]);
    for (auto _ : state)
        for (const media::AccessUnit& au : units) benchmark::DoNotOptimize(media::au_facts(au.bytes()));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream_bytes(units)));
}

void bm_nal_walk(benchmark::State& state) {
    const std::vector<media::AccessUnit> units = stream_units(bench::kSizes[1]);
    for (auto _ : state)
        for (const media::AccessUnit& au : units)
            for (const media::NalUnit& nal : media::nal_units(au.bytes())) benchmark::DoNotOptimize(nal);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream_bytes(units)));
}

void bm_extract_param_sets(benchmark::State& state) {
    const std::vector<media::AccessUnit> units = stream_units(bench::kSizes[1]);
    for (auto _ : state)
        for (const media::AccessUnit& au : units)
            benchmark::DoNotOptimize(media::extract_param_sets(au.bytes()));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream_bytes(units)));
}

// Each push is followed by the picture the decoder would release, as in a running decoder.
void bm_sync_push(benchmark::State& state) {
    const std::vector<media::AccessUnit> units = stream_units(bench::kSizes[1]);
    media::DecoderSync sync;
    for (auto _ : state)
        for (const media::AccessUnit& au : units) {
            benchmark::DoNotOptimize(sync.push(au));
            sync.picture_out();
        }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream_bytes(units)));
}

// ---- RTP ----

// A stream of the sizes detailed 1280x720 pictures have at 2 Mbit/s: an IDR picture of 100 KB,
// then 29 P pictures of 6 KB (SPS, PPS and slices of random bytes free of zeros).
std::vector<media::AccessUnit> detailed_units() {
    std::vector<media::AccessUnit> units;
    std::uint32_t x = 12345;
    auto nal = [&](std::vector<std::uint8_t>& out, std::uint8_t header, std::size_t size) {
        out.insert(out.end(), {0, 0, 0, 1, header});
        for (std::size_t i = 1; i < size; ++i) {
            x = x * 1664525u + 1013904223u;
            out.push_back(static_cast<std::uint8_t>(1 + (x >> 24) % 255));
        }
    };
    for (int n = 0; n < 30; ++n) {
        std::vector<std::uint8_t> bytes;
        if (n == 0) {
            nal(bytes, 0x67, 16);
            nal(bytes, 0x68, 5);
            nal(bytes, 0x65, 100'000);
        } else {
            nal(bytes, 0x41, 6'000);
        }
        media::AccessUnit au;
        au.data = media::SharedBytes(std::move(bytes));
        units.push_back(std::move(au));
    }
    return units;
}

// Every access unit of a stream packetized (MTU 1,200) and depacketized, in order: the whole
// cost of the transport's packet work per access unit. Items are packets.
void bm_rtp_round_trip(benchmark::State& state, const std::vector<media::AccessUnit>& units) {
    media::RtpPacketizerConfig config;
    config.ssrc = 1;
    auto packetizer = value_or_fail(media::RtpPacketizer::create(config), "packetizer");
    media::RtpDepacketizer depacketizer;
    std::int64_t t = 0, packets = 0, released = 0;
    for (auto _ : state)
        for (const media::AccessUnit& au : units) {
            t += 33333;
            for (const media::SharedBytes& p : packetizer.packetize(au.bytes(), t)) {
                released += static_cast<std::int64_t>(depacketizer.push(p.bytes(), t).units.size());
                ++packets;
            }
        }
    if (released != state.iterations() * static_cast<std::int64_t>(units.size()) ||
        depacketizer.stats().units_incomplete)
        bench::fail("rtp round trip lost access units");
    state.SetItemsProcessed(packets);
    // An inverted rate: seconds per access unit.
    state.counters["seconds_per_unit"] = benchmark::Counter(
        static_cast<double>(state.iterations() * static_cast<std::int64_t>(units.size())),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::kIs1000);
    state.counters["packets_per_unit"] =
        static_cast<double>(packets) / static_cast<double>(state.iterations() * units.size());
}

// One 1,200-byte RTP packet protected and opened again per item, each with the next sequence
// number: SRTP's whole cost per packet, both ends.
void bm_srtp_round_trip(benchmark::State& state, media::SrtpSuite suite) {
    const std::vector<std::uint8_t> key(media::srtp_key_salt_size(suite), 0x42);
    using Dir = media::SrtpContext::Direction;
    auto out = value_or_fail(media::SrtpContext::create(suite, key, Dir::Outbound), "srtp");
    auto in = value_or_fail(media::SrtpContext::create(suite, key, Dir::Inbound), "srtp");
    std::vector<std::uint8_t> packet(1200, 0x5A), wire;
    packet[0] = 0x80;
    packet[1] = 96;
    std::uint16_t seq = 0;
    for (auto _ : state) {
        ++seq;
        packet[2] = static_cast<std::uint8_t>(seq >> 8);
        packet[3] = static_cast<std::uint8_t>(seq);
        if (!out.protect(packet, false, wire) || !in.unprotect(wire, false))
            bench::fail("srtp round trip refused a packet");
    }
    state.SetItemsProcessed(state.iterations());
}

// Congestion control's whole work per 1,200-byte packet, both ends: the sender's pacer and
// log, the receiver's feedback builder, and every 20 packets (about 50 ms of a 720p stream) one
// feedback message written, parsed and read by the rate controller. Time steps 0.5 ms a packet.
void bm_congestion_per_packet(benchmark::State& state) {
    media::CongestionControllerConfig config;
    config.rate.start_bps = 1'000'000;
    config.rate.min_bps = 100'000;
    config.rate.max_bps = 2'000'000;
    auto cc = value_or_fail(media::CongestionController::create(config), "congestion");
    auto builder = value_or_fail(media::TransportFeedbackBuilder::create({}), "builder");
    std::vector<media::CongestionController::Handle> due;
    std::vector<std::uint8_t> wire;
    std::int64_t now = 0;
    std::uint16_t seq = 0;
    for (auto _ : state) {
        now += 500;
        cc.push(seq, 1200, media::PacketKind::media, now);
        due.clear();
        cc.pop_due(now + 1'000'000, due);
        cc.sent(seq, 1200, now);
        builder.packet_arrived(seq, now + 20'000);
        if (++seq % 20 != 0) continue;
        for (const media::RtcpTransportFeedback& fb : builder.build()) {
            wire.clear();
            (void)media::append_rtcp(wire, fb);
            for (const media::RtcpPacket& p : media::parse_rtcp(wire).packets)
                cc.on_rtcp(0, p, now + 40'000);
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// The receiving side alone, on the packets of the stream made once: packets per second.
void bm_rtp_depacketize(benchmark::State& state, const std::vector<media::AccessUnit>& units) {
    media::RtpPacketizerConfig config;
    config.ssrc = 1;
    auto packetizer = value_or_fail(media::RtpPacketizer::create(config), "packetizer");
    std::vector<std::vector<std::uint8_t>> stream;
    std::int64_t t = 0;
    for (const media::AccessUnit& au : units)
        for (const media::SharedBytes& p : packetizer.packetize(au.bytes(), t += 33333))
            stream.emplace_back(p.bytes().begin(), p.bytes().end());
    // Sequence numbers and timestamps go on across rounds: each round is the same stream, later.
    media::RtpDepacketizer depacketizer;
    std::uint16_t seq = 0;
    std::uint32_t round = 0;
    for (auto _ : state) {
        ++round;
        for (std::vector<std::uint8_t>& p : stream) {
            p[2] = static_cast<std::uint8_t>(seq >> 8);
            p[3] = static_cast<std::uint8_t>(seq++);
            p[4] = static_cast<std::uint8_t>(round);
            benchmark::DoNotOptimize(depacketizer.push(p, 0));
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(stream.size()));
}

void bm_psnr(benchmark::State& state, bench::Size size) {
    const bench::Pictures pictures = bench::read_pictures(g_options.inputs, size, "i420");
    const std::size_t luma = std::size_t{size.width} * size.height;
    const std::span a(pictures.picture(0), luma), b(pictures.picture(1), luma);
    for (auto _ : state) benchmark::DoNotOptimize(media::psnr(a, b));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(luma));
}

void bm_pattern(benchmark::State& state, bench::Size size) {
    media::TestPattern pattern(size.width, size.height, media::PictureFormat::I420, 4);
    for (auto _ : state) benchmark::DoNotOptimize(pattern.next(0));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size.i420_bytes()));
}

// ---- encoder and decoder ----

using bench::Tally;

media::H264Encoder open_encoder(bench::Size size) {
    media::EncoderConfig config;
    config.width = size.width;
    config.height = size.height;
    config.backend = media::EncoderBackend::X264;
    return value_or_fail(media::H264Encoder::open(config, nullptr), "encoder");
}

media::H264Decoder open_decoder() { return value_or_fail(media::H264Decoder::open({}, true), "decoder"); }

// One picture through the encoder and, with a decoder, each access unit through it at once.
void encode_one(media::H264Encoder& enc, const media::RawImage& picture, media::H264Decoder* dec,
                Tally& tally, std::size_t input, bool hash) {
    std::vector<media::AccessUnit> units = value_or_fail(enc.encode(picture, false), "encode");
    for (const media::AccessUnit& au : units) {
        tally.out(input, au.data.size());
        if (hash) tally.crc = bench::crc32(tally.crc, au.bytes());
        if (dec) benchmark::DoNotOptimize(value_or_fail(dec->decode(au), "decode"));
    }
    benchmark::DoNotOptimize(units);
}

void bm_encode(benchmark::State& state, bench::Size size, media::PictureFormat format, bool decode) {
    const bench::Pictures pictures = bench::read_pictures(
        g_options.inputs, size, format == media::PictureFormat::I420 ? "i420" : "rgb24");
    media::H264Encoder enc = open_encoder(size);
    std::optional<media::H264Decoder> dec;
    if (decode) dec.emplace(open_decoder());
    std::size_t n = 0;
    Tally warm, timed;
    // The pictures outlive the encoder, so they may be lent as the module lends them.
    const auto owner = std::make_shared<int>(0);
    const auto picture = [&](std::size_t i) {
        media::RawImage raw = input_picture(pictures, i, size, format, static_cast<std::int64_t>(i));
        raw.owner = owner;
        return raw;
    };
    for (const std::size_t end = bench::warmup_of(g_options, pictures.count()); n < end; ++n)
        encode_one(enc, picture(n), dec ? &*dec : nullptr, warm, n, true);
    for (auto _ : state) {
        encode_one(enc, picture(n), dec ? &*dec : nullptr, timed, n, false);
        ++n;
    }
    bench::set_counters(state, warm, timed);
}

void decode_one(media::H264Decoder& dec, media::AccessUnit& au, std::int64_t t_us, Tally& tally,
                std::size_t input) {
    au.t_us = t_us;
    const std::vector<media::Image> images = value_or_fail(dec.decode(au), "decode");
    for (std::size_t i = 0; i < images.size(); ++i) tally.out(input, 0);
    benchmark::DoNotOptimize(images);
}

void bm_decode(benchmark::State& state, bench::Size size) {
    std::vector<media::AccessUnit> units = stream_units(size);
    media::H264Decoder dec = open_decoder();
    std::size_t n = 0;
    Tally warm, timed;
    for (const std::size_t end = bench::warmup_of(g_options, units.size()); n < end; ++n)
        decode_one(dec, units[n % units.size()], static_cast<std::int64_t>(n), warm, n);
    for (auto _ : state) {
        decode_one(dec, units[n % units.size()], static_cast<std::int64_t>(n), timed, n);
        ++n;
    }
    bench::set_counters(state, warm, timed);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    g_options = bench::parse_options(argc, argv);
    media::ffmpeg_init();

    const auto micro = [](const std::string& name, auto body) {
        return benchmark::RegisterBenchmark(name.c_str(), body)->Unit(benchmark::kMicrosecond);
    };
    for (const bench::Size size : bench::kSizes) {
        for (const FillPath& path : kFillPaths)
            micro("fill/" + std::string(path.name) + "/" + size.name(),
                  [size, path](benchmark::State& s) { bm_fill(s, size, path); });
        for (const auto& [name, bpp_x2] : {std::pair{"i420", 3}, {"rgb24", 6}, {"rgba", 8}}) {
            const std::size_t bytes =
                name == std::string_view("i420") ? size.i420_bytes()
                                                 : std::size_t{size.width} * size.height * bpp_x2 / 2;
            micro("memcpy/" + std::string(name) + "/" + size.name(),
                  [bytes](benchmark::State& s) { bm_memcpy(s, bytes); });
        }
        micro("image_from_frame/" + size.name(),
              [size](benchmark::State& s) { bm_image_from_frame(s, size, true); });
        micro("image_from_frame_shared/" + size.name(),
              [size](benchmark::State& s) { bm_image_from_frame(s, size, false); });
        micro("psnr/" + size.name(), [size](benchmark::State& s) { bm_psnr(s, size); });
        micro("pattern/" + size.name(), [size](benchmark::State& s) { bm_pattern(s, size); });
    }
    micro("annexb/au_facts", bm_au_facts);
    micro("annexb/nal_units", bm_nal_walk);
    micro("annexb/extract_param_sets", bm_extract_param_sets);
    micro("sync/push", bm_sync_push);
    {
        static const std::vector<media::AccessUnit> pattern = stream_units(bench::kSizes[1]);
        static const std::vector<media::AccessUnit> detailed = detailed_units();
        micro("rtp/round_trip/pattern/1280x720",
              [](benchmark::State& s) { bm_rtp_round_trip(s, pattern); });
        micro("rtp/round_trip/detailed/1280x720",
              [](benchmark::State& s) { bm_rtp_round_trip(s, detailed); });
        micro("rtp/depacketize/detailed/1280x720",
              [](benchmark::State& s) { bm_rtp_depacketize(s, detailed); });
    }
    for (const auto& [name, suite] :
         {std::pair{"aes_cm_128_hmac_sha1_80", media::SrtpSuite::AesCm128HmacSha1_80},
          {"aead_aes_128_gcm", media::SrtpSuite::AeadAes128Gcm}})
        micro(std::string("rtp/srtp_round_trip/") + name,
              [suite](benchmark::State& s) { bm_srtp_round_trip(s, suite); });
    micro("rtp/congestion_per_packet", bm_congestion_per_packet);

    for (const bench::Size size : bench::kSizes) {
        const auto add = [&](const std::string& name, auto body) {
            bench::register_codec_row(g_options, name, size, body);
        };
        add("core_encode_i420", [size](benchmark::State& s) {
            bm_encode(s, size, media::PictureFormat::I420, false);
        });
        add("core_encode_rgb24", [size](benchmark::State& s) {
            bm_encode(s, size, media::PictureFormat::RGB24, false);
        });
        add("core_decode", [size](benchmark::State& s) { bm_decode(s, size); });
        add("core_loop", [size](benchmark::State& s) {
            bm_encode(s, size, media::PictureFormat::I420, true);
        });
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
