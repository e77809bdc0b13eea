// Builders of small synthetic H.264 NAL units (SPS, PPS, slice headers, recovery-point SEI) for
// the tests of the bitstream readers and the sync policy: the fields are written with
// Exp-Golomb codes and escaped with emulation-prevention bytes as an encoder does. Pictures that
// libavcodec decodes come from I_PCM macroblocks of one flat value and P slices of skipped
// macroblocks only (CAVLC, POC type 2, no deblocking), frames or fields.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace h264_bits {

using Bytes = std::vector<std::uint8_t>;

class BitWriter {
public:
    void bit(bool b) {
        cur_ = static_cast<std::uint8_t>(cur_ | (b ? 0x80 >> used_ : 0));
        if (++used_ == 8) {
            bytes_.push_back(cur_);
            cur_ = 0;
            used_ = 0;
        }
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
    // The bits so far without a stop bit (cut short), the last byte padded with zeros.
    Bytes raw() const {
        Bytes out = bytes_;
        if (used_ != 0) out.push_back(cur_);
        return out;
    }
    // At a byte boundary.
    bool aligned() const { return used_ == 0; }

private:
    Bytes bytes_;
    std::uint8_t cur_ = 0;
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
    std::uint32_t width_mbs = 1;
    std::uint32_t height_map_units = 1;  // macroblock rows of a frame, or of a field without
                                         // frame_mbs_only
    bool frame_mbs_only = true;
    std::uint32_t max_num_ref_frames = 3;
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
    w.ue(s.max_num_ref_frames);
    w.bit(s.gaps_allowed);
    w.ue(s.width_mbs - 1);
    w.ue(s.height_map_units - 1);
    w.bit(s.frame_mbs_only);
    if (!s.frame_mbs_only) w.bit(false);  // mb_adaptive_frame_field_flag
    w.bit(true);   // direct_8x8_inference_flag
    w.bit(false);  // frame_cropping_flag
    w.bit(false);  // vui_parameters_present_flag
    return w;
}

inline Bytes sps(const Sps& s) { return nal_unit(0x67, sps_bits(s).rbsp()); }

inline Bytes pps(std::uint32_t id, std::uint32_t sps_id) {
    BitWriter w;
    w.ue(id);
    w.ue(sps_id);
    w.bit(false);  // entropy_coding_mode_flag: CAVLC
    w.bit(false);  // bottom_field_pic_order_in_frame_present_flag
    w.ue(0);       // num_slice_groups_minus1
    w.ue(0);       // num_ref_idx_l0_default_active_minus1
    w.ue(0);       // num_ref_idx_l1_default_active_minus1
    w.bit(false);  // weighted_pred_flag
    w.bits(0, 2);  // weighted_bipred_idc
    w.se(0);       // pic_init_qp_minus26
    w.se(0);       // pic_init_qs_minus26
    w.se(0);       // chroma_qp_index_offset
    w.bit(true);   // deblocking_filter_control_present_flag
    w.bit(false);  // constrained_intra_pred_flag
    w.bit(false);  // redundant_pic_cnt_present_flag
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
    // The SPS allows fields (field_pic_flag is written); a field of this parity when set.
    bool fields = false;
    std::optional<bool> bottom;
};

inline Bytes slice(const Slice& s) {
    BitWriter w;
    w.ue(s.first_mb);
    w.ue(s.slice_type);
    w.ue(s.pps_id);
    if (s.colour_plane_id) w.bits(*s.colour_plane_id, 2);
    w.bits(s.frame_num, s.log2_max_frame_num);
    if (s.fields) {
        w.bit(s.bottom.has_value());
        if (s.bottom) w.bit(*s.bottom);
    }
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

// One decodable picture of the stream of `Sps` `sps` (POC type 0 or 2) with PPS 0.
struct Picture {
    bool idr = false;
    std::uint8_t nal_ref_idc = 2;
    std::uint32_t frame_num = 0;
    // A field picture of this parity (the SPS must allow fields); a frame when absent.
    std::optional<bool> bottom{};
    // An I slice of I_PCM macroblocks, every luma sample this value and chroma 128; a P slice
    // of skipped macroblocks (a copy of the latest reference) when absent.
    std::optional<std::uint8_t> pcm{};
    // pic_order_cnt_lsb, written with POC type 0 (6 bits).
    std::uint32_t poc_lsb = 0;
};

inline Bytes picture_slice(const Sps& sps, const Picture& p) {
    BitWriter w;
    w.ue(0);                  // first_mb_in_slice
    w.ue(p.pcm ? 7 : 5);      // slice_type: all I or all P
    w.ue(0);                  // pic_parameter_set_id
    w.bits(p.frame_num, sps.log2_max_frame_num);
    if (!sps.frame_mbs_only) {
        w.bit(p.bottom.has_value());  // field_pic_flag
        if (p.bottom) w.bit(*p.bottom);
    }
    if (p.idr) w.ue(0);       // idr_pic_id
    if (sps.poc_type == 0) w.bits(p.poc_lsb, 6);
    if (!p.pcm) {
        w.bit(false);         // num_ref_idx_active_override_flag
        w.bit(false);         // ref_pic_list_modification_flag_l0
    }
    if (p.nal_ref_idc != 0) {
        if (p.idr) {
            w.bit(false);     // no_output_of_prior_pics_flag
            w.bit(false);     // long_term_reference_flag
        } else {
            w.bit(false);     // adaptive_ref_pic_marking_mode_flag
        }
    }
    w.se(0);                  // slice_qp_delta
    w.ue(1);                  // disable_deblocking_filter_idc: off, samples stay exact
    const std::uint32_t rows =
        sps.height_map_units * (sps.frame_mbs_only || p.bottom ? 1 : 2);
    const std::uint32_t mbs = sps.width_mbs * rows;
    if (p.pcm) {
        for (std::uint32_t mb = 0; mb < mbs; ++mb) {
            w.ue(25);         // mb_type I_PCM
            while (!w.aligned()) w.bit(false);  // pcm_alignment_zero_bit
            for (int i = 0; i < 256; ++i) w.bits(*p.pcm, 8);
            for (int i = 0; i < 128; ++i) w.bits(128, 8);
        }
    } else {
        w.ue(mbs);            // mb_skip_run: every macroblock
    }
    const auto header = static_cast<std::uint8_t>((p.nal_ref_idc << 5) | (p.idr ? 5 : 1));
    return nal_unit(header, w.rbsp());
}

// The picture as an access unit, with the SPS and PPS in front of an IDR picture.
inline Bytes picture_au(const Sps& sps, const Picture& p) {
    if (p.idr) return annexb({h264_bits::sps(sps), pps(0, sps.id), picture_slice(sps, p)});
    return annexb({picture_slice(sps, p)});
}

}  // namespace h264_bits
