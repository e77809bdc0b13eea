// Builders of small synthetic H.264 NAL units (SPS, PPS, slice headers, recovery-point SEI) for
// the tests of the bitstream readers and the sync policy: the fields are written with
// Exp-Golomb codes and escaped with emulation-prevention bytes as an encoder does.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace h264_bits {

using Bytes = std::vector<std::uint8_t>;

class BitWriter {
public:
    void bit(bool b) {
        if (used_ == 0) bytes_.push_back(0);
        if (b) bytes_.back() |= static_cast<std::uint8_t>(0x80 >> used_);
        used_ = (used_ + 1) % 8;
    }
    void bits(std::uint32_t value, unsigned count) {
        for (unsigned i = count; i-- > 0;) bit(((value >> i) & 1) != 0);
    }
    void ue(std::uint32_t value) {
        const std::uint64_t code = std::uint64_t{value} + 1;
        unsigned len = 0;
        while ((code >> len) > 1) ++len;
        bits(0, len);
        for (unsigned i = len + 1; i-- > 0;) bit(((code >> i) & 1) != 0);
    }
    void se(std::int32_t value) {
        ue(value > 0 ? static_cast<std::uint32_t>(2 * value - 1)
                     : static_cast<std::uint32_t>(-2 * static_cast<std::int64_t>(value)));
    }
    // The RBSP with its stop bit and alignment.
    Bytes rbsp() const {
        BitWriter done = *this;
        done.bit(true);
        while (done.used_ != 0) done.bit(false);
        return done.bytes_;
    }
    // The bits so far without a stop bit (cut short).
    const Bytes& raw() const { return bytes_; }

private:
    Bytes bytes_;
    unsigned used_ = 0;
};

// A 03 after two zeros wherever the next byte is 0 to 3, as in the stream.
inline Bytes escape(const Bytes& rbsp) {
    Bytes out;
    int zeros = 0;
    for (std::uint8_t b : rbsp) {
        if (zeros >= 2 && b <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        out.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return out;
}

// Header byte followed by the escaped body (no start code).
inline Bytes nal_unit(std::uint8_t header, const Bytes& rbsp) {
    Bytes out{header};
    const Bytes body = escape(rbsp);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// A start code in front of each unit.
inline Bytes annexb(const std::vector<Bytes>& units) {
    Bytes out;
    for (const Bytes& u : units) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), u.begin(), u.end());
    }
    return out;
}

struct Sps {
    std::uint32_t profile_idc = 66;
    std::uint32_t level_idc = 30;
    std::uint32_t id = 0;
    std::uint32_t chroma_format_idc = 1;  // written for the high profiles only
    bool separate_colour_plane = false;
    bool scaling_lists = false;           // lists 0 (16 entries) and 6 (64 entries) present
    std::uint32_t log2_max_frame_num = 4;
    std::uint32_t poc_type = 0;
    bool gaps_allowed = false;
};

inline bool high_profile(std::uint32_t p) {
    return p == 100 || p == 110 || p == 122 || p == 244 || p == 44 || p == 83 || p == 86 ||
           p == 118 || p == 128 || p == 138 || p == 139 || p == 134 || p == 135;
}

inline BitWriter sps_bits(const Sps& s) {
    BitWriter w;
    w.bits(s.profile_idc, 8);
    w.bits(0, 8);
    w.bits(s.level_idc, 8);
    w.ue(s.id);
    if (high_profile(s.profile_idc)) {
        w.ue(s.chroma_format_idc);
        if (s.chroma_format_idc == 3) w.bit(s.separate_colour_plane);
        w.ue(0);
        w.ue(0);
        w.bit(false);
        w.bit(s.scaling_lists);
        if (s.scaling_lists) {
            const unsigned lists = s.chroma_format_idc != 3 ? 8 : 12;
            for (unsigned i = 0; i < lists; ++i) {
                const bool present = i == 0 || i == 6;
                w.bit(present);
                if (!present) continue;
                // Deltas that walk the scale up and down; list 0 ends early (next scale 0).
                const unsigned size = i < 6 ? 16 : 64;
                for (unsigned j = 0; j < size; ++j) {
                    if (i == 0 && j == 10) {
                        w.se(-8);  // next scale 0: the list ends here
                        break;
                    }
                    w.se(j % 2 == 0 ? 1 : -1);
                }
            }
        }
    }
    w.ue(s.log2_max_frame_num - 4);
    w.ue(s.poc_type);
    if (s.poc_type == 0) {
        w.ue(2);
    } else if (s.poc_type == 1) {
        w.bit(false);
        w.se(-2);
        w.se(3);
        w.ue(2);
        w.se(5);
        w.se(-7);
    }
    w.ue(3);  // max_num_ref_frames
    w.bit(s.gaps_allowed);
    w.bit(true);  // frame_mbs_only_flag
    return w;
}

inline Bytes sps(const Sps& s) { return nal_unit(0x67, sps_bits(s).rbsp()); }

inline Bytes pps(std::uint32_t id, std::uint32_t sps_id) {
    BitWriter w;
    w.ue(id);
    w.ue(sps_id);
    w.bit(false);  // entropy_coding_mode_flag
    return nal_unit(0x68, w.rbsp());
}

struct Slice {
    std::uint8_t nal_ref_idc = 2;
    bool idr = false;
    std::uint32_t first_mb = 0;
    std::uint32_t slice_type = 5;
    std::uint32_t pps_id = 0;
    std::optional<std::uint32_t> colour_plane_id;
    std::uint32_t frame_num = 0;
    std::uint32_t log2_max_frame_num = 4;
};

inline Bytes slice(const Slice& s) {
    BitWriter w;
    w.ue(s.first_mb);
    w.ue(s.slice_type);
    w.ue(s.pps_id);
    if (s.colour_plane_id) w.bits(*s.colour_plane_id, 2);
    w.bits(s.frame_num, s.log2_max_frame_num);
    w.bits(0x5A5A, 16);  // the rest of the header and the slice data
    const auto header = static_cast<std::uint8_t>((s.nal_ref_idc << 5) | (s.idr ? 5 : 1));
    return nal_unit(header, w.rbsp());
}

// An SEI NAL unit with a user-data message (type 5) and then a recovery point.
inline Bytes recovery_sei(std::uint32_t frame_cnt) {
    BitWriter payload;
    payload.ue(frame_cnt);
    payload.bit(true);   // exact_match_flag
    payload.bit(false);  // broken_link_flag
    payload.bits(0, 2);  // changing_slice_group_idc
    const Bytes body = payload.rbsp();
    Bytes rbsp{5, 3, 0xAA, 0xBB, 0xCC, 6, static_cast<std::uint8_t>(body.size())};
    rbsp.insert(rbsp.end(), body.begin(), body.end());
    rbsp.push_back(0x80);
    return nal_unit(0x06, rbsp);
}

}  // namespace h264_bits
