// The RTCP functions: rtcp_parse turns a datagram into a list of dicts and the counts of what
// was refused or skipped; rtcp_sr, rtcp_rr, rtcp_sdes, rtcp_bye, rtcp_nack, rtcp_pli and
// rtcp_fir each write one packet as bytes (concatenated, they make a compound packet); and the
// NTP-time helpers. Each call is a few microseconds of work, so none gives up the interpreter
// lock.
#include "py_rtcp.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "args.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "picture_args.hpp"
#include "values.hpp"

namespace talmiro_py {

namespace {

namespace tm = talmiro_media;

// Calls `each(item, index)` for every item of `iterable`; false with an exception set.
template <typename Each>
bool for_each_item(PyObject* iterable, Each&& each) {
    Owned it(PyObject_GetIter(iterable));
    if (!it) return false;
    for (std::size_t i = 0;; ++i) {
        Owned item(PyIter_Next(it.get()));
        if (!item) return !PyErr_Occurred();
        if (!each(item.get(), i)) return false;
    }
}

// The SDES item names, by type (index 0 is the end of a chunk and has none).
constexpr std::array<std::string_view, 9> kItemNames = {
    "", "cname", "name", "email", "phone", "loc", "tool", "note", "priv"};

PyObject* text_of(const std::string& text) {
    // The text came from the network: bytes that are not UTF-8 become U+FFFD.
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// A new list of what `make` returns for every element of `items`; null with an exception set.
template <typename T, typename Make>
PyObject* list_of(const std::vector<T>& items, Make&& make) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* value = make(items[i]);
        if (!value) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), value);
    }
    return list;
}

// A new tuple of the given new references (any null: the others are released, null returned).
PyObject* tuple_of(std::initializer_list<PyObject*> values) {
    PyObject* tuple = nullptr;
    bool complete = true;
    for (PyObject* v : values) complete = complete && v;
    if (complete) tuple = PyTuple_New(static_cast<Py_ssize_t>(values.size()));
    Py_ssize_t i = 0;
    for (PyObject* v : values) {
        if (tuple) PyTuple_SetItem(tuple, i++, v);
        else Py_XDECREF(v);
    }
    return tuple;
}

PyObject* u64(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

PyObject* sdes_item(const tm::RtcpSdesItem& item) {
    if (item.type == tm::kSdesPriv)
        return tuple_of({str_of("priv"), text_of(item.prefix), text_of(item.value)});
    return tuple_of({str_of(kItemNames[item.type]), text_of(item.value)});
}

PyObject* sdes_chunk(const tm::RtcpSdesChunk& chunk) {
    // Items of types without a name here are left out, as unknown items are to be ignored.
    std::vector<tm::RtcpSdesItem> known;
    for (const tm::RtcpSdesItem& item : chunk.items)
        if (item.type < kItemNames.size()) known.push_back(item);
    return new_dict([&](PyObject* d) {
        return dict_put_count(d, "ssrc", chunk.ssrc) &&
               dict_put(d, "items", list_of(known, sdes_item));
    });
}

struct PacketDict {
    // Whether a NACK's dict lists the numbers its pairs name ("lost") besides the pairs.
    bool nack_lost = true;

    PyObject* operator()(const tm::RtcpSenderReport& sr) const {
        return new_dict([&](PyObject* d) {
            return dict_put(d, "type", str_of("sr")) &&
                   dict_put_counts(d, {{"ssrc", sr.ssrc},
                                       {"ntp", sr.ntp},
                                       {"rtp_timestamp", sr.rtp_timestamp},
                                       {"packet_count", sr.packet_count},
                                       {"octet_count", sr.octet_count}}) &&
                   dict_put(d, "reports", list_of(sr.reports, report_block_dict));
        });
    }
    PyObject* operator()(const tm::RtcpReceiverReport& rr) const {
        return new_dict([&](PyObject* d) {
            return dict_put(d, "type", str_of("rr")) && dict_put_count(d, "ssrc", rr.ssrc) &&
                   dict_put(d, "reports", list_of(rr.reports, report_block_dict));
        });
    }
    PyObject* operator()(const tm::RtcpSdes& sdes) const {
        return new_dict([&](PyObject* d) {
            return dict_put(d, "type", str_of("sdes")) &&
                   dict_put(d, "chunks", list_of(sdes.chunks, sdes_chunk));
        });
    }
    PyObject* operator()(const tm::RtcpBye& bye) const {
        return new_dict([&](PyObject* d) {
            PyObject* reason = nullptr;
            if (bye.reason) {
                reason = text_of(*bye.reason);
            } else {
                reason = Py_None;
                Py_INCREF(reason);
            }
            return dict_put(d, "type", str_of("bye")) &&
                   dict_put(d, "ssrcs", list_of(bye.ssrcs, u64)) && dict_put(d, "reason", reason);
        });
    }
    PyObject* operator()(const tm::RtcpNack& nack) const {
        return new_dict([&](PyObject* d) {
            return dict_put(d, "type", str_of("nack")) &&
                   dict_put_counts(d, {{"sender_ssrc", nack.sender_ssrc},
                                       {"media_ssrc", nack.media_ssrc}}) &&
                   dict_put(d, "pairs", list_of(nack.pairs, [](const tm::NackPair& p) {
                                return tuple_of({u64(p.pid), u64(p.blp)});
                            })) &&
                   (!nack_lost || dict_put(d, "lost", list_of(tm::nack_seqs(nack.pairs), u64)));
        });
    }
    PyObject* operator()(const tm::RtcpPli& pli) const {
        return new_dict([&](PyObject* d) {
            return dict_put(d, "type", str_of("pli")) &&
                   dict_put_counts(d, {{"sender_ssrc", pli.sender_ssrc},
                                       {"media_ssrc", pli.media_ssrc}});
        });
    }
    PyObject* operator()(const tm::RtcpFir& fir) const {
        return new_dict([&](PyObject* d) {
            return dict_put(d, "type", str_of("fir")) &&
                   dict_put_counts(d, {{"sender_ssrc", fir.sender_ssrc},
                                       {"media_ssrc", fir.media_ssrc}}) &&
                   dict_put(d, "entries", list_of(fir.entries, [](const tm::RtcpFirEntry& e) {
                                return new_dict([&](PyObject* entry) {
                                    return dict_put_counts(entry,
                                                           {{"ssrc", e.ssrc}, {"seq", e.seq}});
                                });
                            }));
        });
    }
    // Congestion feedback is not acted on here yet: its kind and fixed fields only.
    PyObject* operator()(const tm::RtcpTransportFeedback& fb) const {
        return new_dict([&](PyObject* d) {
            return dict_put(d, "type", str_of("transport_feedback")) &&
                   dict_put_counts(d, {{"sender_ssrc", fb.sender_ssrc},
                                       {"media_ssrc", fb.media_ssrc},
                                       {"base_seq", fb.base_seq},
                                       {"statuses", fb.statuses.size()}});
        });
    }
    PyObject* operator()(const tm::RtcpRemb& remb) const {
        return new_dict([&](PyObject* d) {
            return dict_put(d, "type", str_of("remb")) &&
                   dict_put_counts(d, {{"sender_ssrc", remb.sender_ssrc},
                                       {"bitrate_bps", remb.bitrate_bps}});
        });
    }
};

PyObject* counts_dict(const tm::RtcpCounts& c) {
    return new_dict([&](PyObject* d) {
        return dict_put_counts(d, {{"parsed", c.parsed},
                                   {"refused", c.refused()},
                                   {"truncated", c.truncated},
                                   {"bad_version", c.bad_version},
                                   {"bad_padding", c.bad_padding},
                                   {"count_past_end", c.count_past_end},
                                   {"too_short", c.too_short},
                                   {"malformed", c.malformed},
                                   {"unknown_type", c.unknown_type},
                                   {"unknown_feedback", c.unknown_feedback},
                                   {"nack_pairs_dropped", c.nack_pairs_dropped}});
    });
}

PyObject* rtcp_parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* data = nullptr;
        bool nack_lost = true;
        if (!read_args("rtcp_parse",
                       {param("data", data, Kind::Object),
                        param("nack_lost", nack_lost, Need::Optional)},
                       args, nargs, kwnames))
            return nullptr;
        auto held = acquire_u8(data);
        if (!held) return nullptr;
        if (!held->c_contiguous()) {
            PyErr_SetString(PyExc_ValueError, "rtcp_parse: the buffer must be contiguous");
            return nullptr;
        }
        const tm::RtcpParsed parsed = tm::parse_rtcp(held->bytes());
        const auto packet_dict = [&](const tm::RtcpPacket& p) {
            return std::visit(PacketDict{nack_lost}, p);
        };
        return tuple_of({list_of(parsed.packets, packet_dict), counts_dict(parsed.counts)});
    });
}

// The bytes of one packet, or ValueError with the writer's reason.
PyObject* written(const tm::RtcpPacket& packet) {
    std::vector<std::uint8_t> out;
    if (auto ok = tm::append_rtcp(out, packet); !ok)
        return raise(PyExc_ValueError, ok.error().detail());
    return bytes_of(out);
}

// The report blocks of an iterable of dicts (none when `iterable` is null).
bool read_blocks(const char* fn, PyObject* iterable, std::vector<tm::RtcpReportBlock>& out) {
    if (!iterable) return true;
    return for_each_item(iterable, [&](PyObject* item, std::size_t i) {
        tm::RtcpReportBlock block;
        if (!read_report_block(fn, item, i, block)) return false;
        out.push_back(block);
        return true;
    });
}

PyObject* rtcp_sr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        tm::RtcpSenderReport sr;
        PyObject* reports = nullptr;
        if (!read_args("rtcp_sr",
                       {param("ssrc", sr.ssrc), param("ntp", sr.ntp),
                        param("rtp_timestamp", sr.rtp_timestamp),
                        param("packet_count", sr.packet_count),
                        param("octet_count", sr.octet_count),
                        param("reports", reports, Kind::Object, Need::Optional)},
                       args, nargs, kwnames) ||
            !read_blocks("rtcp_sr", reports, sr.reports))
            return nullptr;
        return written(sr);
    });
}

PyObject* rtcp_rr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        tm::RtcpReceiverReport rr;
        PyObject* reports = nullptr;
        if (!read_args("rtcp_rr",
                       {param("ssrc", rr.ssrc),
                        param("reports", reports, Kind::Object, Need::Optional)},
                       args, nargs, kwnames) ||
            !read_blocks("rtcp_rr", reports, rr.reports))
            return nullptr;
        return written(rr);
    });
}

// The UTF-8 bytes of a str argument or item; none with the exception set.
std::optional<std::string> text_arg(const char* fn, const char* what, PyObject* obj) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s() %s must be str", fn, what);
        return std::nullopt;
    }
    const auto text = utf8_of(obj, true);
    if (!text) return std::nullopt;
    return std::string(*text);
}

// One item of rtcp_sdes: (name, value), or ("priv", prefix, value).
bool read_sdes_item(PyObject* item, std::size_t index, tm::RtcpSdesItem& out) {
    const std::string where = "item " + std::to_string(index);
    const Py_ssize_t n = PyTuple_Check(item) ? PyTuple_Size(item) : -1;
    if (n != 2 && n != 3) {
        PyErr_Format(PyExc_TypeError,
                     "rtcp_sdes() %s must be a tuple (name, value) or (\"priv\", prefix, value)",
                     where.c_str());
        return false;
    }
    const auto name = text_arg("rtcp_sdes", (where + " name").c_str(), PyTuple_GetItem(item, 0));
    if (!name) return false;
    const auto found = std::find(kItemNames.begin() + 1, kItemNames.end(), *name);
    if (found == kItemNames.end()) {
        std::string message = "rtcp_sdes() " + where + ": unknown item name ";
        if (quote_text(PyTuple_GetItem(item, 0), message))
            raise(PyExc_ValueError,
                  message + "; one of cname, name, email, phone, loc, tool, note, priv");
        return false;
    }
    out.type = static_cast<std::uint8_t>(found - kItemNames.begin());
    if ((out.type == tm::kSdesPriv) != (n == 3)) {
        PyErr_Format(PyExc_TypeError, "rtcp_sdes() %s: \"priv\" takes (\"priv\", prefix, value), "
                     "the others (name, value)", where.c_str());
        return false;
    }
    if (n == 3) {
        const auto prefix =
            text_arg("rtcp_sdes", (where + " prefix").c_str(), PyTuple_GetItem(item, 1));
        if (!prefix) return false;
        out.prefix = *prefix;
    }
    const auto value =
        text_arg("rtcp_sdes", (where + " value").c_str(), PyTuple_GetItem(item, n - 1));
    if (!value) return false;
    out.value = *value;
    return true;
}

PyObject* rtcp_sdes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        tm::RtcpSdesChunk chunk;
        PyObject* cname = nullptr;
        PyObject* items = nullptr;
        if (!read_args("rtcp_sdes",
                       {param("ssrc", chunk.ssrc), param("cname", cname, Kind::Str),
                        param("items", items, Kind::Object, Need::Optional)},
                       args, nargs, kwnames))
            return nullptr;
        const auto text = text_arg("rtcp_sdes", "argument 'cname'", cname);
        if (!text) return nullptr;
        chunk.items.push_back({tm::kSdesCname, *text, {}});
        if (items && !for_each_item(items, [&](PyObject* item, std::size_t i) {
                tm::RtcpSdesItem out;
                if (!read_sdes_item(item, i, out)) return false;
                chunk.items.push_back(std::move(out));
                return true;
            }))
            return nullptr;
        return written(tm::RtcpSdes{{std::move(chunk)}});
    });
}

PyObject* rtcp_bye(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        tm::RtcpBye bye;
        PyObject* ssrcs = nullptr;
        PyObject* reason = nullptr;
        if (!read_args("rtcp_bye",
                       {param("ssrcs", ssrcs, Kind::Object),
                        param("reason", reason, Kind::OptStr, Need::Optional)},
                       args, nargs, kwnames))
            return nullptr;
        if (!for_each_item(ssrcs, [&](PyObject* item, std::size_t) {
                std::uint32_t ssrc = 0;
                if (!read_value("rtcp_bye", param("ssrcs", ssrc), item)) return false;
                bye.ssrcs.push_back(ssrc);
                return true;
            }))
            return nullptr;
        if (reason) {
            const auto text = text_arg("rtcp_bye", "argument 'reason'", reason);
            if (!text) return nullptr;
            bye.reason = *text;
        }
        return written(bye);
    });
}

PyObject* rtcp_nack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::uint32_t sender = 0, media = 0;
        PyObject* lost = nullptr;
        if (!read_args("rtcp_nack",
                       {param("sender_ssrc", sender), param("media_ssrc", media),
                        param("lost", lost, Kind::Object)},
                       args, nargs, kwnames))
            return nullptr;
        std::vector<std::uint16_t> seqs;
        if (!for_each_item(lost, [&](PyObject* item, std::size_t) {
                std::uint16_t seq = 0;
                if (!read_value("rtcp_nack", param("lost", seq), item)) return false;
                seqs.push_back(seq);
                return true;
            }))
            return nullptr;
        return written(tm::RtcpNack{sender, media, tm::nack_pairs(seqs)});
    });
}

PyObject* rtcp_pli(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        tm::RtcpPli pli;
        if (!read_args("rtcp_pli",
                       {param("sender_ssrc", pli.sender_ssrc), param("media_ssrc", pli.media_ssrc)},
                       args, nargs, kwnames))
            return nullptr;
        return written(pli);
    });
}

PyObject* rtcp_fir(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::uint32_t sender = 0;
        tm::RtcpFirEntry entry;
        if (!read_args("rtcp_fir",
                       {param("sender_ssrc", sender), param("media_ssrc", entry.ssrc),
                        param("seq", entry.seq)},
                       args, nargs, kwnames))
            return nullptr;
        return written(tm::RtcpFir{sender, 0, {entry}});
    });
}

PyObject* ntp_from_us(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::int64_t us = 0;
        if (!read_args("ntp_from_us", {param("unix_us", us)}, args, nargs, kwnames))
            return nullptr;
        return u64(tm::ntp_from_us(us));
    });
}

PyObject* us_from_ntp(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::uint64_t ntp = 0;
        if (!read_args("us_from_ntp", {param("ntp", ntp)}, args, nargs, kwnames)) return nullptr;
        return PyLong_FromLongLong(tm::us_from_ntp(ntp));
    });
}

PyObject* rtcp_rtt_us(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::uint32_t lsr = 0, dlsr = 0;
        std::uint64_t arrival = 0;
        if (!read_args("rtcp_rtt_us",
                       {param("lsr", lsr), param("dlsr", dlsr), param("arrival_ntp", arrival)},
                       args, nargs, kwnames))
            return nullptr;
        const std::optional<std::int64_t> rtt = tm::rtt_us(lsr, dlsr, arrival);
        if (!rtt) Py_RETURN_NONE;
        return PyLong_FromLongLong(*rtt);
    });
}

PyMethodDef rtcp_methods[] = {
    fast_method("rtcp_parse", rtcp_parse,
                "rtcp_parse(data, nack_lost=True)\n--\n\nThe packets of one RTCP datagram (any "
                "buffer) as dicts, "
                "each with its \"type\" (\"sr\", \"rr\",\n\"sdes\", \"bye\", \"nack\", \"pli\", "
                "\"fir\", \"transport_feedback\", \"remb\") and fields, and the dict of counts: \"parsed\", \"refused\"\n(the sum "
                "of the refusals) and each cause of refusal, and the packets skipped as "
                "\"unknown_type\"\nor \"unknown_feedback\", and \"nack_pairs_dropped\" (NACK pairs past "
                "the first 1,024 of the\ndatagram, not read). A NACK's dict lists its PID/BLP "
                "\"pairs\" and, with `nack_lost`,\nthe numbers they name (\"lost\"). Never "
                "raises for what the datagram holds."),
    fast_method("rtcp_sr", rtcp_sr,
                "rtcp_sr(ssrc, ntp, rtp_timestamp, packet_count, octet_count, reports=())\n--\n\n"
                "A sender report, with report blocks given as the dicts `rtcp_parse` and\n"
                "`RtpReceptionStats.report` give."),
    fast_method("rtcp_rr", rtcp_rr,
                "rtcp_rr(ssrc, reports=())\n--\n\nA receiver report (no blocks: an empty one, "
                "which a compound packet may start with)."),
    fast_method("rtcp_sdes", rtcp_sdes,
                "rtcp_sdes(ssrc, cname, items=())\n--\n\nA source description of one source: "
                "its CNAME, then `items` as (name, value) tuples\n(\"name\", \"email\", "
                "\"phone\", \"loc\", \"tool\", \"note\") or (\"priv\", prefix, value)."),
    fast_method("rtcp_bye", rtcp_bye,
                "rtcp_bye(ssrcs, reason=None)\n--\n\nThe sources that leave, with an optional "
                "reason."),
    fast_method("rtcp_nack", rtcp_nack,
                "rtcp_nack(sender_ssrc, media_ssrc, lost)\n--\n\nA generic NACK naming the "
                "sequence numbers `lost` (in sequence order for the fewest\nPID/BLP pairs)."),
    fast_method("rtcp_pli", rtcp_pli,
                "rtcp_pli(sender_ssrc, media_ssrc)\n--\n\nA picture loss indication."),
    fast_method("rtcp_fir", rtcp_fir,
                "rtcp_fir(sender_ssrc, media_ssrc, seq)\n--\n\nA full intra request to "
                "`media_ssrc`; `seq` (0..255) goes up by one for each new request\nand stays "
                "for a repeat."),
    fast_method("ntp_from_us", ntp_from_us,
                "ntp_from_us(unix_us)\n--\n\nThe 64-bit NTP time of a wall-clock time in µs "
                "since 1970."),
    fast_method("us_from_ntp", us_from_ntp,
                "us_from_ntp(ntp)\n--\n\nThe wall-clock time in µs since 1970 of a 64-bit NTP "
                "time (1968..2104)."),
    fast_method("rtcp_rtt_us", rtcp_rtt_us,
                "rtcp_rtt_us(lsr, dlsr, arrival_ntp)\n--\n\nThe round trip in µs a sender reads "
                "from a report block's LSR and DLSR and the\nreport's arrival (NTP time on the "
                "clock of its sender reports); `None` when the block\nechoes no sender report "
                "or the result would be negative."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* report_block_dict(const tm::RtcpReportBlock& b) {
    return new_dict([&](PyObject* d) {
        return dict_put_count(d, "ssrc", b.ssrc) &&
               dict_put_count(d, "fraction_lost", b.fraction_lost) &&
               dict_put(d, "cumulative_lost", PyLong_FromLong(b.cumulative_lost)) &&
               dict_put_counts(d, {{"extended_highest_seq", b.extended_highest_seq},
                                   {"jitter", b.jitter},
                                   {"lsr", b.lsr},
                                   {"dlsr", b.dlsr}});
    });
}

bool read_report_block(const char* fn, PyObject* dict, std::size_t index,
                       tm::RtcpReportBlock& block) {
    const std::string where = "reports[" + std::to_string(index) + "]";
    if (!PyDict_Check(dict)) {
        PyErr_Format(PyExc_TypeError, "%s() %s must be a dict", fn, where.c_str());
        return false;
    }
    std::int64_t lost = 0;
    const std::string names[] = {where + "['ssrc']", where + "['fraction_lost']",
                                 where + "['cumulative_lost']", where + "['extended_highest_seq']",
                                 where + "['jitter']", where + "['lsr']", where + "['dlsr']"};
    const Param fields[] = {
        param(names[0].c_str(), block.ssrc),
        param(names[1].c_str(), block.fraction_lost, Need::Optional),
        param(names[2].c_str(), lost, Need::Optional),
        param(names[3].c_str(), block.extended_highest_seq, Need::Optional),
        param(names[4].c_str(), block.jitter, Need::Optional),
        param(names[5].c_str(), block.lsr, Need::Optional),
        param(names[6].c_str(), block.dlsr, Need::Optional),
    };
    const char* keys[] = {"ssrc", "fraction_lost", "cumulative_lost", "extended_highest_seq",
                          "jitter", "lsr", "dlsr"};
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        PyObject* value = PyDict_GetItemString(dict, keys[i]);
        if (!value) {
            if (fields[i].need == Need::Optional) continue;
            PyErr_Format(PyExc_KeyError, "%s() %s lacks '%s'", fn, where.c_str(), keys[i]);
            return false;
        }
        if (!read_value(fn, fields[i], value)) return false;
    }
    if (lost < -0x800000 || lost > 0x7FFFFF) {
        PyErr_Format(PyExc_OverflowError, "%s() argument '%s' out of range for signed 24-bit", fn,
                     names[2].c_str());
        return false;
    }
    block.cumulative_lost = static_cast<std::int32_t>(lost);
    return true;
}

PyMethodDef* rtcp_functions() { return rtcp_methods; }

}  // namespace talmiro_py
