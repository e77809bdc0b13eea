// Writes the seed corpus of the fuzz targets into <corpus>/<target>/ (access units and streams
// from the project's own encoder drawing the test pattern, a few hand-made step sequences, and
// RTCP compound packets from the project's own writer and from the network recordings in
// <recordings>) and the same two streams as the sample clips the Python tests decode, into
// <clips>/.
// Usage: make_seeds <corpus> <clips> [<recordings>]

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "au_records.hpp"
#include "talmiro_media/capture.hpp"
#include "talmiro_media/encode.hpp"
#include "talmiro_media/image.hpp"
#include "talmiro_media/rtcp.hpp"

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

// The RTCP datagrams of the network recordings in `dir` (tests/data/rtp), one of each shape (who
// sent it and the packet types in it) per recording, as <corpus>/rtcp/<recording>_<n>.
void foreign_rtcp_seeds(const fs::path& dir, const fs::path& corpus) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().extension() == ".bin") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        const Vec bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        const auto recorded = talmiro_testing::read_au_records(bytes);
        if (!recorded) {
            std::fprintf(stderr, "make_seeds: %s is cut short\n", file.c_str());
            std::exit(1);
        }
        std::set<std::string> shapes;
        for (const talmiro_testing::AuRecord& r : *recorded) {
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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: make_seeds <corpus> <clips> [<recordings>]\n");
        return 2;
    }
    const fs::path dir = argv[1];
    const std::vector<AccessUnit> refresh = encode_stream(true, 16, 5);
    const std::vector<AccessUnit> idr = encode_stream(false, 12, 8);

    write_file(fs::path(argv[2]) / "clip_idr_64x48.bin", records(idr, 0));
    write_file(fs::path(argv[2]) / "clip_refresh_64x48.bin", records(refresh, 0));

    // Single access units: the opening IDR with SPS/PPS, a P picture, a recovery point.
    write_file(dir / "annexb" / "idr", bytes_of(idr.front()));
    write_file(dir / "annexb" / "p", bytes_of(idr[1]));
    for (const AccessUnit& au : refresh)
        if (au.recovery && !au.key) {
            write_file(dir / "annexb" / "recovery", bytes_of(au));
            break;
        }

    // Streams: defaults with corrupt output; joining an intra-refresh stream late (at a
    // recovery point that carries re-inserted SPS/PPS); tight thresholds.
    write_file(dir / "decoder" / "refresh", records(refresh, 0, {1, 10, 150, 60}));
    write_file(dir / "decoder" / "refresh_late", records(refresh, 3, {1, 10, 150, 60}));
    write_file(dir / "decoder" / "idr", records(idr, 0, {0, 10, 150, 60}));
    write_file(dir / "decoder" / "idr_tight", records(idr, 2, {2, 1, 3, 0}));

    // Sync steps (see sync_fuzz.cpp): push = 0 | key 4 | recovery 8 | shape << 5, picture 2,
    // failure 3. An IDR start and pictures; P pictures while waiting, then a recovery point
    // primed from earlier SPS/PPS; a start and a decoder failure.
    write_file(dir / "sync" / "stream", {10, 150, 60, 1, 2 << 5 | 4, 7, 2, 0, 2, 0, 2, 0, 0, 0});
    write_file(dir / "sync" / "recovery",
               {10, 150, 60, 1, 0, 0, 4 << 5, 9, 0, 0, 3 << 5 | 8, 0, 2, 0, 2});
    write_file(dir / "sync" / "failure", {1, 2, 1, 0, 1 << 5 | 4, 0, 3, 0, 0, 2 << 5 | 4, 5, 2});

    // Pictures (see picture_fuzz.cpp): format, codec, mode, width, height, then stride and
    // length deltas per plane.
    write_file(dir / "picture" / "i420", {0, 0, 0, 64, 48, 0, 0, 0, 0, 0, 0});
    write_file(dir / "picture" / "nv12_to_i420", {1, 0, 0, 33, 17, 0, 0, 0, 0, 0, 0});
    write_file(dir / "picture" / "rgb24_stride", {2, 1, 0, 21, 9, 3, 0, 0, 0, 0, 0});
    // An 18x16 RGB24 picture in exactly its bytes: libswscale once read past its end.
    write_file(dir / "picture" / "rgb24_18x16_exact", {2, 0, 0, 18, 16, 0, 0, 0, 0, 0, 0});

    // RTCP: what a sender sends (SR, SDES with CNAME and a private item, BYE) and what a
    // receiver sends (RR, SDES, NACK, PLI, FIR).
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
    // And what ffmpeg and GStreamer sent.
    if (argc == 4) foreign_rtcp_seeds(argv[3], dir);
    return 0;
}
