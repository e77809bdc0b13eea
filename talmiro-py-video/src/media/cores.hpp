// The core objects behind the classes that one call drives with another's: the packetizer and
// the responder (the responder's NACK answer resends from the packetizer's history,
// py_rtp_responder.cpp; the send step drives both, py_rtp_send_step.cpp), and those that
// RtpReceiveLoop (receive_loop.cpp) drives: the decoder with the mutex that guards it (it works
// without the interpreter lock) and the picture queue (guarded by a mutex of its own).
#pragma once

#include "py.hpp"

#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "talmiro_media/decode.hpp"
#include "talmiro_media/picture_queue.hpp"
#include "talmiro_media/rtp_packetizer.hpp"
#include "talmiro_media/rtp_responder.hpp"

namespace talmiro_py {

struct PacketizerRef {
    std::mutex* mutex = nullptr;
    talmiro_media::RtpPacketizer* core = nullptr;
};

struct ResponderRef {
    std::mutex* mutex = nullptr;
    talmiro_media::RtpResponder* core = nullptr;
};

struct DecoderRef {
    std::mutex* mutex = nullptr;
    std::optional<talmiro_media::H264Decoder>* core = nullptr;  // empty once closed
    std::uint64_t* cpu_ns = nullptr;                            // thread CPU time decoding
};

// The core of `obj` when it is an instance of the class, else null (no exception set).
PacketizerRef rtp_packetizer_core(PyObject* obj);
ResponderRef rtp_responder_core(PyObject* obj);
DecoderRef decoder_core(PyObject* obj);
talmiro_media::PictureQueue* picture_queue_core(PyObject* obj);

// Decodes `au` with the open decoder of `d`, whose mutex the caller holds, and counts the
// thread CPU time it took.
talmiro_media::Result<std::vector<talmiro_media::Image>> decode_counted(
    const DecoderRef& d, const talmiro_media::AccessUnit& au);

// Microseconds on the monotonic clock (time.monotonic_ns() // 1000): every timer and arrival.
inline std::int64_t monotonic_us() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

// Microseconds since 1970 on the wall clock (time.time_ns() // 1000).
inline std::int64_t wall_clock_us() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

// A NACK list as RtpResponder.answer_nack reads it: the first `max` (pid, blp) pairs of the
// sequence `list` (the others are counted in `unread`, not looked at); false with an exception
// set (py_rtp_responder.cpp).
bool read_nack_pairs(PyObject* list, std::size_t max, std::vector<talmiro_media::NackPair>& out,
                     std::uint64_t& unread);
// What came of a NACK list's numbers, as a dict.
PyObject* nack_answer_dict(const talmiro_media::NackAnswer& a);
// Without the interpreter lock: the packets of a NACK list from `receiver` taken from the
// packetizer's history (RTX form with `rtx`, else as sent) into `out`, with both objects'
// mutexes held.
talmiro_media::NackAnswer answer_from_history(const ResponderRef& r, const PacketizerRef& p,
                                              std::uint32_t receiver,
                                              std::span<const talmiro_media::NackPair> pairs,
                                              std::int64_t now, bool rtx,
                                              std::vector<talmiro_media::SharedBytes>& out);


}  // namespace talmiro_py
