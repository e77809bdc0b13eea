// The RTCP values shared by the module's RTCP functions and the RtpReceptionStats class: a
// report block to and from its dict.
#pragma once

#include "py.hpp"

#include "talmiro_media/rtcp.hpp"

namespace talmiro_py {

// {"ssrc", "fraction_lost", "cumulative_lost", "extended_highest_seq", "jitter", "lsr",
// "dlsr"}; null with an exception set.
PyObject* report_block_dict(const talmiro_media::RtcpReportBlock& block);

// A report block from such a dict (a missing key other than "ssrc" is 0); `fn` names the
// callable and `index` the block in messages. False with an exception set.
bool read_report_block(const char* fn, PyObject* dict, std::size_t index,
                       talmiro_media::RtcpReportBlock& block);

}  // namespace talmiro_py
