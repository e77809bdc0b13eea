// The core objects behind three RTP classes, for receive_rtp (py_receive_rtp.cpp), which drives
// them in one call: the depacketizer with the mutex that guards it (it is fed without the
// interpreter lock), the reception statistics and the round trip as they are guarded (by the
// interpreter lock: each of their calls is shorter than giving the lock up).
#pragma once

#include "py.hpp"

#include <mutex>

#include "talmiro_media/nack_rtt.hpp"
#include "talmiro_media/rtp_depacketizer.hpp"
#include "talmiro_media/rtp_reception_stats.hpp"

namespace talmiro_py {

struct DepacketizerRef {
    std::mutex* mutex = nullptr;
    talmiro_media::RtpDepacketizer* core = nullptr;
};

// The core of `obj` when it is an instance of the class, else null (no exception set).
DepacketizerRef rtp_depacketizer_core(PyObject* obj);
talmiro_media::RtpReceptionStats* rtp_reception_stats_core(PyObject* obj);
talmiro_media::NackRtt* nack_rtt_core(PyObject* obj);

// (units, nacks) as RtpDepacketizer.push gives them.
PyObject* rtp_output_tuple(const talmiro_media::RtpOutput& out);

}  // namespace talmiro_py
