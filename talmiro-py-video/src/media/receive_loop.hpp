// The receiving thread's loop, run without the interpreter lock: it reads the RTP and RTCP
// sockets in batches through their transports' sockets (datagram_socket.hpp, the one way in and
// out, which counts them), puts every datagram from the sender through the core's receive session,
// sends the RTCP the session builds, decodes the units it releases and queues their pictures.
// It sleeps until a socket is readable or the session's next deadline (one timer), and comes
// back to its caller only when woken (to close) or with units that the caller decodes itself
// (a decoder of another kind, or a caller that looks at each unit).
//
// Which datagrams are the sender's, and where the RTCP goes, is decided here (the session knows
// no addresses): media only from the sender's host (and port, when given; else the first host
// heard), RTCP only from that host; RTCP goes where rtcp_return_address says (the address given,
// else where the sender's reports come from, else to its RTP port + 1).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cores.hpp"
#include "datagram_socket.hpp"
#include "socket_address.hpp"
#include "talmiro_media/rtp_receive_session.hpp"

namespace talmiro_py {

struct ReceiveLoopConfig {
    // The sockets of the RTP and RTCP transports, and the longest datagram each takes in;
    // they outlive the loop.
    DatagramSocket* rtp = nullptr;
    DatagramSocket* rtcp = nullptr;
    std::size_t rtp_max_size = 65536;
    std::size_t rtcp_max_size = 65536;
    // Readable: the loop returns (the caller closes).
    int wake_fd = -1;
    // The sender's numeric host (none: the first heard) and port (none: any).
    std::optional<std::string> sender_host;
    std::optional<std::uint16_t> sender_port;
    std::optional<SocketAddress> rtcp_to;
    talmiro_media::RtpReceiveSessionConfig session;
    // Units decode here with both; without, they go to the caller.
    std::optional<DecoderRef> decoder;
    talmiro_media::PictureQueue* pictures = nullptr;
};

struct ReceiveLoopCounts {
    std::uint64_t refused_foreign_source = 0;
    std::uint64_t rtcp_foreign_source = 0;
    std::uint64_t nacks_sent = 0;
    std::uint64_t plis_sent = 0;
    std::uint64_t receiver_reports = 0;
    // Datagrams of transport-wide feedback.
    std::uint64_t transport_feedback_sent = 0;
    std::uint64_t resets = 0;
    std::uint64_t decode_errors = 0;
    // Times the loop slept and woke (a socket readable or a deadline).
    std::uint64_t wakeups = 0;
};

// A unit for the caller to decode, with its capture time.
struct StampedUnit {
    talmiro_media::RtpAccessUnit au;
    talmiro_media::CaptureTime time;
};

// Where a datagram came from, and its numeric text.
struct Source {
    SocketAddress address;
    std::string host;
    std::uint16_t port = 0;
};

class ReceiveLoop {
public:
    enum class Stop : std::uint8_t { Woken, Units, Failed };

    ReceiveLoop(ReceiveLoopConfig config, std::int64_t now_us);
    ~ReceiveLoop();
    ReceiveLoop(const ReceiveLoop&) = delete;
    ReceiveLoop& operator=(const ReceiveLoop&) = delete;

    // Without the interpreter lock: until woken, or with units for the caller in `units`;
    // Failed with `error()` set when a socket fails (or its transport was closed).
    Stop run(std::vector<StampedUnit>& units);
    int error() const noexcept { return error_; }
    // What came of a unit the caller decoded: a refused unit or a "request_idr" signal asks
    // for an IDR picture, a "reset" signal is counted.
    void decoded(bool refused, bool request_idr, bool reset);
    // Our BYE, when closing.
    void goodbye();

    // The session and the counts, read with `mutex()` held.
    std::mutex& mutex() noexcept { return mutex_; }
    const talmiro_media::RtpReceiveSession& session() const noexcept { return session_; }
    const ReceiveLoopCounts& counts() const noexcept { return counts_; }

private:
    struct EarlyRtcp {
        std::vector<std::uint8_t> bytes;
        Source source;
        std::int64_t arrival_us = 0;
    };
    // Reads what the sockets hold; false when a read failed.
    bool read_rtp(std::vector<StampedUnit>& units);
    bool read_rtcp();
    // The source of a datagram, in `last_` (its text made only when it changed).
    const Source& source_of(const SocketAddress& from);
    bool from_sender(const Source& s);
    void learn_sender(const Source& s);
    void rtcp_from(std::span<const std::uint8_t> bytes, const Source& s, std::int64_t arrival_us);
    void act_on(talmiro_media::RtpSessionOutput&& out, std::vector<StampedUnit>& units);
    void send(const talmiro_media::FeedbackDatagram& d);
    void picture_loss();
    void decode_here(std::vector<StampedUnit>& units);
    bool wait();

    ReceiveLoopConfig config_;
    std::mutex mutex_;
    talmiro_media::RtpReceiveSession session_;
    ReceiveLoopCounts counts_;
    std::vector<EarlyRtcp> early_;
    // The last RTP source of the sender, and where its reports come from (of which SSRC).
    std::optional<SocketAddress> rtp_source_;
    std::optional<SocketAddress> sender_rtcp_;
    std::uint32_t sender_rtcp_ssrc_ = 0;
    // The last source seen, whose text is kept (a sender's packets share one address).
    Source last_;
    ReceiveBatch rtp_batch_;
    ReceiveBatch rtcp_batch_;
    // The loop sleeps at least until then (a deadline that polling left behind).
    std::int64_t poll_floor_us_ = 0;
    int error_ = 0;
};

}  // namespace talmiro_py
