#include "transport/socketcan_backend/socketcan.hpp"

#include <errno.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <vector>

#include <linux/can/raw.h>

#include "transport/socketcan_backend/can_compat.hpp"

namespace rotalink::transport {
namespace {

static_assert(sizeof(can_frame) == kCanMtu, "struct can_frame is 16 bytes");
static_assert(sizeof(canfd_frame) == kCanFdMtu, "struct canfd_frame is 72 bytes");

// Writes the whole buffer; a write interrupted by a signal is repeated.
Result<Unit, TransportError> write_all(int fd, const std::uint8_t* buf, std::size_t len) {
    while (len > 0) {
        const ssize_t n = ::send(fd, buf, len, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return err(TransportError::backend(IoError::from_errno(errno)));
        }
        if (n == 0) return err(TransportError::backend(IoError::custom("failed to write whole buffer")));
        buf += n;
        len -= static_cast<std::size_t>(n);
    }
    return Unit{};
}

CanId decode_id(canid_t raw) {
    if (raw & CAN_EFF_FLAG) return CanId::extended(raw & CAN_EFF_MASK);
    return CanId::standard(raw & CAN_SFF_MASK);
}

// The kernel's record for `frame` in `buf` (room for kCanFdMtu bytes): its
// size, or the check that refused the frame.
Result<std::size_t, TransportError> encode_record(const CanFrame& frame, std::uint8_t* buf) {
    if (!frame.id.in_range()) return err(TransportError::invalid_id());
    const canid_t raw_id =
        frame.id.kind == IdKind::Extended ? (frame.id.value | CAN_EFF_FLAG) : frame.id.value;
    const std::size_t len = frame.data.size();

    if (frame.fd) {
        if (len > CANFD_MAX_DLEN) return err(TransportError::frame_too_large(len));
        canfd_frame out;
        std::memset(&out, 0, sizeof out);
        out.can_id = raw_id;
        out.len = fd_length(len);
        out.flags = CANFD_FDF | (frame.brs ? CANFD_BRS : 0);
        if (len > 0) std::memcpy(out.data, frame.data.data(), len);
        std::memcpy(buf, &out, sizeof out);
        return sizeof out;
    }
    if (len > CAN_MAX_DLEN) return err(TransportError::frame_too_large(len));
    can_frame out;
    std::memset(&out, 0, sizeof out);
    out.can_id = raw_id;
    can_frame_len(out) = static_cast<std::uint8_t>(len);
    if (len > 0) std::memcpy(out.data, frame.data.data(), len);
    std::memcpy(buf, &out, sizeof out);
    return sizeof out;
}

// Frames per sendmmsg / recvmmsg call.
constexpr std::size_t kBatch = 32;

}  // namespace

Result<CanFrame, TransportError> decode_record(const std::uint8_t* buf, std::size_t n) {
    if (n != kCanMtu && n != kCanFdMtu) {
        // Neither record size (nothing of it is read): report the size read,
        // not a stale error number.
        return err(TransportError::backend(IoError::custom(
            "received " + std::to_string(n) + " bytes, which is neither a CAN frame (" +
            std::to_string(kCanMtu) + ") nor a CAN FD frame (" + std::to_string(kCanFdMtu) + ")")));
    }
    CanFrame frame;
    canid_t raw_id;
    std::memcpy(&raw_id, buf, sizeof raw_id);
    frame.id = decode_id(raw_id);
    const std::uint8_t len = buf[kCanLenOffset];
    const std::uint8_t* data = buf + kCanDataOffset;

    if (n == kCanMtu) {
        // An error frame carries all 8 data bytes, whatever its length says.
        const std::size_t take = (raw_id & CAN_ERR_FLAG) ? CAN_MAX_DLEN
                                                         : (len < CAN_MAX_DLEN ? len : CAN_MAX_DLEN);
        frame.data.assign(data, data + take);
        frame.error = (raw_id & CAN_ERR_FLAG) != 0;
        frame.remote = !frame.error && (raw_id & CAN_RTR_FLAG) != 0;
        return frame;
    }
    const std::size_t take = len < CANFD_MAX_DLEN ? len : CANFD_MAX_DLEN;
    frame.data.assign(data, data + take);
    frame.fd = true;
    frame.brs = (buf[kCanFdFlagsOffset] & CANFD_BRS) != 0;
    return frame;
}

std::uint8_t fd_length(std::size_t len) {
    if (len <= 8) return static_cast<std::uint8_t>(len);
    if (len <= 12) return 12;
    if (len <= 16) return 16;
    if (len <= 20) return 20;
    if (len <= 24) return 24;
    if (len <= 32) return 32;
    if (len <= 48) return 48;
    return 64;
}

Result<std::unique_ptr<SocketCanTransport>, IoError> SocketCanTransport::open(const std::string& iface) {
    if (iface.find('\0') != std::string::npos) return err(IoError::from_errno(EINVAL));
    const unsigned index = if_nametoindex(iface.c_str());
    if (index == 0) return err(IoError::from_errno(errno));

    const int fd = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) return err(IoError::from_errno(errno));
    auto transport = std::make_unique<SocketCanTransport>(fd);  // closes fd on failure
    transport->iface_ = iface;

    sockaddr_can addr;
    std::memset(&addr, 0, sizeof addr);
    addr.can_family = AF_CAN;
    addr.can_ifindex = static_cast<int>(index);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        return err(IoError::from_errno(errno));
    }
    const int on = 1;
    if (::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) < 0) {
        return err(IoError::from_errno(errno));
    }
    return transport;
}

struct SocketCanTransport::ReadSlots {
    alignas(canfd_frame) std::uint8_t bufs[kBatch][kCanFdMtu];
    iovec iov[kBatch];
    mmsghdr msgs[kBatch];

    ReadSlots() {
        std::memset(msgs, 0, sizeof msgs);
        for (std::size_t i = 0; i < kBatch; ++i) {
            iov[i] = {bufs[i], kCanFdMtu};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
    }
};

SocketCanTransport::SocketCanTransport(int fd) : fd_(fd) {
    try {
        slots_ = std::make_unique<ReadSlots>();
    } catch (...) {
        ::close(fd);  // the destructor does not run for a constructor that throws
        throw;
    }
}

SocketCanTransport::~SocketCanTransport() {
    if (fd_ >= 0) ::close(fd_);  // the result is of no use here
}

Result<Unit, TransportError> SocketCanTransport::send(const CanFrame& frame) {
    alignas(canfd_frame) std::uint8_t buf[kCanFdMtu];
    Result<std::size_t, TransportError> size = encode_record(frame, buf);
    if (!size.ok()) return err(std::move(size).error());
    return write_all(fd_, buf, size.value());
}

BatchSent SocketCanTransport::send_batch(const CanFrame* frames, std::size_t n) {
    BatchSent out;
    while (out.sent < n) {
        alignas(canfd_frame) std::uint8_t bufs[kBatch][kCanFdMtu];
        iovec iov[kBatch];
        mmsghdr msgs[kBatch];
        std::size_t count = 0;
        // Records up to the first frame the checks refuse; that frame's
        // error is reported once the ones before it are out.
        std::optional<TransportError> refused;
        for (; count < kBatch && out.sent + count < n; ++count) {
            Result<std::size_t, TransportError> size = encode_record(frames[out.sent + count], bufs[count]);
            if (!size.ok()) {
                refused = std::move(size).error();
                break;
            }
            iov[count] = {bufs[count], size.value()};
            std::memset(&msgs[count], 0, sizeof msgs[count]);
            msgs[count].msg_hdr.msg_iov = &iov[count];
            msgs[count].msg_hdr.msg_iovlen = 1;
        }
        std::size_t done = 0;
        while (done < count) {
            const int r = ::sendmmsg(fd_, msgs + done, static_cast<unsigned>(count - done), MSG_DONTWAIT);
            if (r < 0) {
                if (errno == EINTR) continue;
                out.sent += done;
                out.error = TransportError::backend(IoError::from_errno(errno));
                return out;
            }
            done += static_cast<std::size_t>(r);
        }
        out.sent += done;
        if (refused) {
            out.error = std::move(refused);
            return out;
        }
    }
    return out;
}

Result<CanFrame, TransportError> SocketCanTransport::recv(Duration timeout) {
    // The receive time-out is set before every read. Seconds are capped at
    // the largest 32-bit value on every platform.
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.secs > INT32_MAX ? INT32_MAX : timeout.secs);
    tv.tv_usec = static_cast<suseconds_t>(timeout.nanos / 1000u);
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0) {
        return err(TransportError::backend(IoError::from_errno(errno)));
    }

    alignas(canfd_frame) std::uint8_t buf[kCanFdMtu] = {0};
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0) {
        const int e = errno;
        if (e == EAGAIN || e == EWOULDBLOCK || e == ETIMEDOUT) return err(TransportError::timeout());
        return err(TransportError::backend(IoError::from_errno(e)));  // EINTR included
    }
    return decode_record(buf, static_cast<std::size_t>(n));
}

Result<std::size_t, TransportError> SocketCanTransport::try_recv(CanFrame* out, std::size_t cap) {
    if (cap > kBatch) cap = kBatch;
    if (cap == 0) return std::size_t{0};
    // The kernel fills in msg_len and the header's flags; the buffers and
    // their lengths stay as set up.
    mmsghdr* msgs = slots_->msgs;
    int r;
    do {
        r = ::recvmmsg(fd_, msgs, static_cast<unsigned>(cap), MSG_DONTWAIT, nullptr);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return std::size_t{0};
        return err(TransportError::backend(IoError::from_errno(errno)));
    }
    for (int i = 0; i < r; ++i) {
        Result<CanFrame, TransportError> frame = decode_record(slots_->bufs[i], msgs[i].msg_len);
        if (!frame.ok()) return err(std::move(frame).error());
        out[i] = std::move(frame).value();
    }
    return static_cast<std::size_t>(r);
}

Result<Unit, TransportError> PollWaiter::wait(CanTransport* const* buses, std::size_t n, Instant deadline) {
    pollfd fds[kBatch];
    std::vector<pollfd> many;
    pollfd* p = fds;
    if (n > kBatch) {
        many.resize(n);
        p = many.data();
    }
    for (std::size_t i = 0; i < n; ++i) {
        p[i] = {buses[i]->poll_fd(), POLLIN, 0};  // ppoll skips a negative descriptor
    }
    const Duration left = deadline.remaining_from(Instant::now());
    const std::uint64_t secs = left.secs > INT32_MAX ? INT32_MAX : left.secs;
    const timespec ts{static_cast<time_t>(secs), static_cast<long>(left.nanos)};
    if (::ppoll(p, n, &ts, nullptr) < 0) return err(TransportError::backend(IoError::from_errno(errno)));
    return Unit{};
}

}  // namespace rotalink::transport
