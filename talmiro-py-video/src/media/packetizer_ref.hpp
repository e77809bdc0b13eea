// The core packetizer behind an RtpPacketizer object and the mutex that guards it, for the
// responder's NACK answer (py_rtp_responder.cpp), which resends from its history in one call.
#pragma once

#include "py.hpp"

#include <mutex>

#include "talmiro_media/rtp_packetizer.hpp"

namespace talmiro_py {

struct PacketizerRef {
    std::mutex* mutex = nullptr;
    talmiro_media::RtpPacketizer* core = nullptr;
};

// The core of `obj` when it is an RtpPacketizer, else null (no exception set).
PacketizerRef rtp_packetizer_core(PyObject* obj);

}  // namespace talmiro_py
