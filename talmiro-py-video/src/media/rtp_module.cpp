// The network module: RTP packetizing and depacketizing, RTCP, the receive loop and datagrams.
// The codec's types (MediaError, Image, the decoder) come from _codec, imported first.
#include "py.hpp"

#include "classes.hpp"
#include "codec_api.hpp"
#include "errors.hpp"
#include "module_names.hpp"
#include "talmiro_media/rtp_header_extension.hpp"
#include "talmiro_media/srtp_context.hpp"
#include "values.hpp"

#include <string>

namespace talmiro_py {

namespace {

PyObject* srtp_suites() {
    return new_dict([](PyObject* d) {
        for (const talmiro_media::SrtpSuite suite : talmiro_media::kSrtpSuites) {
            const std::string name(talmiro_media::srtp_suite_name(suite));
            if (!dict_put_count(d, name.c_str(), talmiro_media::srtp_key_salt_size(suite)))
                return false;
        }
        return true;
    });
}

int exec_module(PyObject* module) {
    return guarded<int>(-1, [&]() -> int {
        if (!PyModule_Check(module)) {
            PyErr_SetString(PyExc_TypeError, "_rtp: execution step needs a module");
            return -1;
        }
        if (!load_codec_api()) return -1;
        if (!add(module, "RtpReceptionStats", rtp_reception_stats_type()) ||
            !add(module, "NackRtt", nack_rtt_type()) ||
            !add(module, "RtpPacketizer", rtp_packetizer_type()) ||
            !add(module, "RtpDepacketizer", rtp_depacketizer_type()) ||
            !add(module, "RtpResponder", rtp_responder_type()) ||
            !add(module, "PictureQueue", picture_queue_type()) ||
            !add(module, "DatagramTransport", datagram_transport_type()) ||
            !add(module, "RtpSendStep", rtp_send_step_type()) ||
            !add(module, "RtpReceiveLoop", rtp_receive_loop_type()))
            return -1;
        for (PyMethodDef* def = rtcp_functions(); def->ml_name; ++def)
            if (!add_function(module, *def)) return -1;
        if (!add_function(module, rtcp_return_address_def)) return -1;
        // The extmap URI of the transport-wide sequence number.
        if (!add_constant(module, "TRANSPORT_SEQ_EXTENSION_URI",
                          str_of(talmiro_media::kTransportSeqExtensionUri)))
            return -1;
        // The SRTP suites the core protects with, by name, with their master key and salt
        // sizes in bytes.
        return add_constant(module, "SRTP_SUITES", srtp_suites()) ? 0 : -1;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_rtp", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace talmiro_py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__rtp() {
    return PyModuleDef_Init(&talmiro_py::module_def);
}
