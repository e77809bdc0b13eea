// Writes the seed corpus of the fuzz targets into <corpus>/<target>/ (access units and streams
// from the project's own encoder drawing the test pattern, a few hand-made step sequences, and
// RTCP compound packets from the project's own writer and from the network recordings in
// <recordings>) and the same two streams as the sample clips the Python tests decode, into
// <clips>/; the first datagrams of the foreign RTP recordings in <recordings> become RTP seeds.
// Usage: make_seeds <corpus> <clips> <recordings>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "au_records.hpp"
#include "talmiro_media/capture.hpp"
#include "talmiro_media/encode.hpp"
#include "talmiro_media/image.hpp"
#include "talmiro_media/rtcp.hpp"
#include "talmiro_media/rtp_header_extension.hpp"
#include "talmiro_media/rtp_packetizer.hpp"

using namespace talmiro_media;
namespace fs = std::filesystem;

namespace {

using Vec = std::vector<std::uint8_t>;

void write_file(const fs::path& path, const Vec& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "make_seeds: cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

// 64x48 pictures of TestPattern(64, 48, I420, speed 2), picture n stamped n * 33333, with an
// IDR picture or a refresh every `period` pictures. The Python tests draw the same pictures.
std::vector<AccessUnit> encode_stream(bool intra_refresh, std::uint32_t frames, std::uint32_t period) {
    EncoderConfig config;
    config.width = 64;
    config.height = 48;
    config.fps = 30;
    config.bitrate_kbps = 100;
    config.keyframe_interval = period;
    config.intra_refresh = intra_refresh;
    config.backend = EncoderBackend::X264;
    auto encoder = H264Encoder::open(config, nullptr);
    if (!encoder) {
        std::fprintf(stderr, "make_seeds: %s\n", encoder.error().display().c_str());
        std::exit(1);
    }
    TestPattern pattern(config.width, config.height, PictureFormat::I420, 2);
    std::vector<AccessUnit> out;
    for (std::uint32_t n = 0; n < frames; ++n) {
        auto packed = pattern.frame(n, n * 33333);
        const Image image = Image::from_packed(std::move(*packed));
        auto aus = encoder->encode(image.as_raw(image.t_us), false);
        if (!aus) {
            std::fprintf(stderr, "make_seeds: %s\n", aus.error().display().c_str());
            std::exit(1);
        }
        for (AccessUnit& au : *aus) out.push_back(std::move(au));
    }
    auto rest = encoder->flush();
    if (rest)
        for (AccessUnit& au : *rest) out.push_back(std::move(au));
    return out;
}

Vec bytes_of(const AccessUnit& au) { return {au.bytes().begin(), au.bytes().end()}; }

// The access units from `from` on as records, after `header`.
Vec records(const std::vector<AccessUnit>& aus, std::size_t from, Vec header = {}) {
    for (std::size_t i = from; i < aus.size(); ++i)
        talmiro_testing::append_au_record(
            header, {talmiro_testing::au_flags(aus[i].key, aus[i].config, aus[i].recovery),
                     aus[i].t_us, aus[i].bytes()});
    return header;
}

Vec rtcp(std::initializer_list<RtcpPacket> packets) {
    auto bytes = build_rtcp(std::vector<RtcpPacket>(packets));
    if (!bytes) {
        std::fprintf(stderr, "make_seeds: %s\n", bytes.error().display().c_str());
        std::exit(1);
    }
    return *bytes;
}

void put_le(Vec& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// The configuration that opens mode 0 of rtp_fuzz.cpp: `flags` (bit 0 a fixed SSRC, bit 1 no
// NACKs, bits 2-4 a window of 64 << n packets), `caps` for both the held and the unit bytes
// (in the target's steps), 20 ms waits, 10 ms between NACKs, a 3,000-packet dropout, 60 ms of
// SSRC silence, and the clock's start (in 1/256 µs).
Vec rtp_datagram_config(std::uint8_t flags, std::uint16_t caps, std::int64_t start) {
    Vec out{0, flags};
    put_le(out, caps, 2);
    put_le(out, caps, 2);
    put_le(out, 20000, 2);
    out.push_back(100);
    put_le(out, 3000, 2);
    put_le(out, 60000, 2);
    put_le(out, static_cast<std::uint64_t>(start), 8);
    return out;
}

// A network recording (tests/data/rtp/) and its records, which view its bytes; exits when the
// file is missing or cut short.
struct Recording {
    Vec bytes;
    std::vector<talmiro_testing::AuRecord> records;
};

Recording read_recording(const fs::path& file) {
    Recording r{talmiro_testing::read_file(file), {}};
    const auto records = talmiro_testing::read_au_records(r.bytes);
    if (r.bytes.empty() || !records) {
        std::fprintf(stderr, "make_seeds: cannot read %s\n", file.c_str());
        std::exit(1);
    }
    r.records = *records;
    return r;
}

// RTP datagram steps (see rtp_fuzz.cpp): mode 0, a configuration (SSRC fixed, NACKs on, a
// 1,024-packet window, roomy caps, 20 ms waits), then the stream's packets pushed 1 ms apart in
// the order `order` gives, with a poll and a give-up at the end.
Vec rtp_steps(const std::vector<AccessUnit>& aus, std::size_t mtu, bool reorder, bool drop) {
    RtpPacketizerConfig pc;
    pc.mtu = mtu;
    pc.ssrc = 0x11223344;
    pc.first_seq = 65530;
    pc.timestamp_offset = 0xFFFF0000u;
    auto packetizer = RtpPacketizer::create(pc);
    std::vector<SharedBytes> packets;
    for (const AccessUnit& au : aus)
        for (SharedBytes& p : packetizer->packetize(au.bytes(), au.t_us))
            packets.push_back(std::move(p));
    if (reorder)
        for (std::size_t i = 2; i + 1 < packets.size(); i += 3)
            std::swap(packets[i], packets[i + 1]);
    if (drop && packets.size() > 4) packets.erase(packets.begin() + 3);
    Vec out = rtp_datagram_config(1 | 4 << 2, 0xFFFF, 1000);
    for (const SharedBytes& p : packets) {
        out.push_back(10 << 2);
        put_le(out, p.size(), 2);
        out.insert(out.end(), p.bytes().begin(), p.bytes().end());
    }
    out.push_back(2 | 63 << 2);
    out.push_back(3);
    return out;
}

// A recording of foreign RTP (tests/data/rtp/) as datagram steps: its first `count` RTP
// datagrams, each pushed at its recorded arrival (the steps advance the clock by 97 µs units).
Vec rtp_recording(const fs::path& file, std::size_t count) {
    const Recording recording = read_recording(file);
    Vec out = rtp_datagram_config(0, 0x7FFF, 0);  // any SSRC, NACKs on, a 64-packet window
    std::int64_t clock = 0;
    for (const talmiro_testing::AuRecord& r : recording.records) {
        if (r.flags & talmiro_testing::kRtcp) continue;
        if (count-- == 0) break;
        const std::int64_t steps = std::clamp<std::int64_t>((r.t_us - clock) / 97, 0, 63);
        clock += steps * 97;
        out.push_back(static_cast<std::uint8_t>(steps << 2));
        put_le(out, r.bytes.size(), 2);
        out.insert(out.end(), r.bytes.begin(), r.bytes.end());
    }
    out.push_back(3);
    return out;
}

// A packetize-and-channel round trip (mode 1): MTU byte, first sequence number, the unit, fates.
Vec rtp_round_trip(const AccessUnit& au, std::uint8_t mtu_step, std::uint8_t fate) {
    Vec out{1, mtu_step};
    put_le(out, 65535, 2);
    put_le(out, au.bytes().size(), 2);
    out.insert(out.end(), au.bytes().begin(), au.bytes().end());
    out.insert(out.end(), 64, fate);
    return out;
}

// The RTCP datagrams of the network recordings in `dir` (tests/data/rtp), one of each shape (who
// sent it and the packet types in it) per recording, as <corpus>/rtcp/<recording>_<n>.
void foreign_rtcp_seeds(const fs::path& dir, const fs::path& corpus) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().extension() == ".bin") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        const Recording recording = read_recording(file);
        std::set<std::string> shapes;
        for (const talmiro_testing::AuRecord& r : recording.records) {
            if (!(r.flags & talmiro_testing::kRtcp)) continue;
            std::string shape(1, static_cast<char>('0' + r.flags));
            for (const RtcpPacket& p : parse_rtcp(r.bytes).packets)
                shape += static_cast<char>('a' + p.index());
            if (!shapes.insert(shape).second) continue;
            write_file(corpus / "rtcp" /
                           (file.stem().string() + "_" + std::to_string(shapes.size())),
                       Vec(r.bytes.begin(), r.bytes.end()));
        }
    }
}

// Single access units: the opening IDR with SPS/PPS, a P picture, a recovery point.
void annexb_seeds(const fs::path& dir, const std::vector<AccessUnit>& idr,
                  const std::vector<AccessUnit>& refresh) {
    write_file(dir / "annexb" / "idr", bytes_of(idr.front()));
    write_file(dir / "annexb" / "p", bytes_of(idr[1]));
    for (const AccessUnit& au : refresh)
        if (au.recovery && !au.key) {
            write_file(dir / "annexb" / "recovery", bytes_of(au));
            break;
        }
}

// Decoder streams: defaults with corrupt output; joining an intra-refresh stream late (at a
// recovery point that carries re-inserted SPS/PPS); tight thresholds.
void decoder_seeds(const fs::path& dir, const std::vector<AccessUnit>& idr,
                   const std::vector<AccessUnit>& refresh) {
    write_file(dir / "decoder" / "refresh", records(refresh, 0, {1, 10, 150, 60}));
    write_file(dir / "decoder" / "refresh_late", records(refresh, 3, {1, 10, 150, 60}));
    write_file(dir / "decoder" / "idr", records(idr, 0, {0, 10, 150, 60}));
    write_file(dir / "decoder" / "idr_tight", records(idr, 2, {2, 1, 3, 0}));
}

// Sync steps pushing a picture of the stream shape (6): frame_num `fn`, a reference picture
// or not, an IDR picture with SPS/PPS in front and flagged key or not; complete, one frame
// interval on; then a picture out.
void stream_picture_steps(Vec& out, std::uint8_t fn, bool reference, bool idr) {
    const auto x = static_cast<std::uint8_t>(fn | (reference ? 16 : 0) | (idr ? 32 | 64 : 0));
    out.insert(out.end(), {static_cast<std::uint8_t>(6 << 5 | (idr ? 4 : 0)), 0, x, 0, 0, 2});
}

// Sync steps (see sync_fuzz.cpp): push = 0 | key 4 | recovery 8 | shape << 5, picture 2,
// failure 3. An IDR start and pictures; P pictures while waiting, then a recovery point
// primed from earlier SPS/PPS; a start and a decoder failure; pictures of a stream with
// frame_num as it should go (reference and non-reference pictures), and with a gap.
void sync_seeds(const fs::path& dir) {
    write_file(dir / "sync" / "stream", {10, 150, 60, 1, 2 << 5 | 4, 7, 2, 0, 2, 0, 2, 0, 0, 0});
    write_file(dir / "sync" / "recovery",
               {10, 150, 60, 1, 0, 0, 4 << 5, 9, 0, 0, 3 << 5 | 8, 0, 2, 0, 2});
    write_file(dir / "sync" / "failure", {1, 2, 1, 0, 1 << 5 | 4, 0, 3, 0, 0, 2 << 5 | 4, 5, 2});
    Vec frames{10, 150, 60, 1};
    stream_picture_steps(frames, 0, true, true);
    for (std::uint8_t fn = 1; fn < 8; ++fn) stream_picture_steps(frames, fn, fn % 3 != 0, false);
    write_file(dir / "sync" / "stream_frames", frames);
    Vec gap{10, 150, 60, 1};
    for (const std::uint8_t fn : {0, 1, 3, 4}) stream_picture_steps(gap, fn, true, fn == 0);
    write_file(dir / "sync" / "stream_gap", gap);
}

// RTP: the IDR stream whole, reordered, with a loss, at two MTUs; round trips of the IDR
// picture without and with loss and reordering; foreign senders, from their recordings.
void rtp_seeds(const fs::path& dir, const std::vector<AccessUnit>& idr,
               const fs::path& recordings) {
    write_file(dir / "rtp" / "stream", rtp_steps(idr, 1200, false, false));
    write_file(dir / "rtp" / "reordered_small_mtu", rtp_steps(idr, 100, true, false));
    write_file(dir / "rtp" / "lost_small_mtu", rtp_steps(idr, 100, false, true));
    write_file(dir / "rtp" / "round_trip", rtp_round_trip(idr.front(), 4, 0));
    write_file(dir / "rtp" / "round_trip_lossy", rtp_round_trip(idr.front(), 2, 0x81));
    for (const char* name : {"ffmpeg_zerolatency", "ffmpeg_bframes", "gst_pay", "gst_rtpbin",
                             "gst_feedback_rtx"})
        write_file(dir / "rtp" / name,
                   rtp_recording(recordings / (std::string(name) + ".bin"), 120));
}

// Pictures (see picture_fuzz.cpp): format, codec, mode, width, height, then stride and
// length deltas per plane.
void picture_seeds(const fs::path& dir) {
    write_file(dir / "picture" / "i420", {0, 0, 0, 64, 48, 0, 0, 0, 0, 0, 0});
    write_file(dir / "picture" / "nv12_to_i420", {1, 0, 0, 33, 17, 0, 0, 0, 0, 0, 0});
    write_file(dir / "picture" / "rgb24_stride", {2, 1, 0, 21, 9, 3, 0, 0, 0, 0, 0});
    // An 18x16 RGB24 picture in exactly its bytes: libswscale once read past its end.
    write_file(dir / "picture" / "rgb24_18x16_exact", {2, 0, 0, 18, 16, 0, 0, 0, 0, 0, 0});
}

// RTCP: what a sender sends (SR, SDES with CNAME and a private item, BYE) and what a
// receiver sends (RR, SDES, NACK, PLI, FIR, congestion feedback); and what ffmpeg and
// GStreamer sent.
void rtcp_seeds(const fs::path& dir, const fs::path& recordings) {
    const RtcpReportBlock block{0x5EED, 12, 3, 0x1FFFE, 90, 0xB7052000, 0x54000};
    const RtcpSdes sdes{{{0x5EED, {{kSdesCname, "seed@host", ""},
                                   {kSdesPriv, "fps=30", "talmiro-pattern"}}}}};
    write_file(dir / "rtcp" / "sender", rtcp({RtcpSenderReport{0x5EED, 0xEB2A1E3C80000000ull,
                                                               123456, 300, 360000, {}},
                                              sdes}));
    write_file(dir / "rtcp" / "receiver",
               rtcp({RtcpReceiverReport{0xF00D, {block}}, sdes,
                     RtcpNack{0xF00D, 0x5EED, nack_pairs(std::vector<std::uint16_t>{65534, 0, 17})},
                     RtcpPli{0xF00D, 0x5EED}, RtcpFir{0xF00D, 0, {{0x5EED, 7}}}}));
    write_file(dir / "rtcp" / "bye",
               rtcp({RtcpReceiverReport{0x5EED, {}}, RtcpBye{{0x5EED}, "bye"}}));
    // Congestion feedback: transport-wide feedback through the wrap with a loss run, small,
    // large and negative deltas; REMB for two streams.
    RtcpTransportFeedback twcc{0xF00D, 0x5EED, 65530, 0x12345, 7, {}};
    const std::int64_t arrivals[] = {0, 1000, -1, -1, -1, -1, -1, -1, -1, -1,
                                     90'000, 89'000, 89'250, -1, 95'000};
    for (const std::int64_t a : arrivals)
        twcc.statuses.push_back({static_cast<std::uint16_t>(65530 + twcc.statuses.size()),
                                 a < 0 ? std::nullopt : std::optional<std::int64_t>(a)});
    write_file(dir / "rtcp" / "congestion",
               rtcp({RtcpReceiverReport{0xF00D, {block}}, twcc,
                     RtcpRemb{0xF00D, 0, 1'500'000, {0x5EED, 0x5EEE}}}));
    // An RTP header with the transport-wide sequence number, for the extension reader.
    Vec rtp_header{0x90, 96, 0, 1, 0, 0, 0, 2, 0, 0, 0x5E, 0xED};
    append_transport_seq_extension(rtp_header, 3, 65535);
    rtp_header.insert(rtp_header.end(), {0x65, 0x88, 0x80});
    write_file(dir / "rtcp" / "rtp_transport_seq", rtp_header);
    foreign_rtcp_seeds(recordings, dir);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: make_seeds <corpus> <clips> <recordings>\n");
        return 2;
    }
    const fs::path dir = argv[1];
    const fs::path recordings = argv[3];
    const std::vector<AccessUnit> refresh = encode_stream(true, 16, 5);
    const std::vector<AccessUnit> idr = encode_stream(false, 12, 8);

    write_file(fs::path(argv[2]) / "clip_idr_64x48.bin", records(idr, 0));
    write_file(fs::path(argv[2]) / "clip_refresh_64x48.bin", records(refresh, 0));
    annexb_seeds(dir, idr, refresh);
    decoder_seeds(dir, idr, refresh);
    sync_seeds(dir);
    rtp_seeds(dir, idr, recordings);
    picture_seeds(dir);
    rtcp_seeds(dir, recordings);
    return 0;
}
