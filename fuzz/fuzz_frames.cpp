// libFuzzer target: received bytes through the SocketCAN backend and the
// motor driver.
//
// 1. The whole input is written as one record into a SOCK_SEQPACKET socket
//    pair whose other end a SocketCanTransport has adopted; `recv` must make
//    a classic frame of 16-byte records (all 8 data bytes when CAN_ERR_FLAG
//    is set), an FD frame of 72-byte records (the read takes at most 72
//    bytes, so longer records arrive cut to 72), identifiers masked into
//    range, and a Backend error naming the size for every other size.
// 2. The same bytes describe a frame for `send`; the record written to the
//    socket must carry exactly the frame's fields, or the send must fail
//    with InvalidId / FrameTooLarge and write nothing.
// 3. The decoded frame is the only reply on an in-memory bus for
//    Damiao::enable, once from the frame's identifier and once from another.
// 4. The same bytes, read as a command choice and a script of replies (see
//    `Script`), drive one driver operation (a motor command, a register read
//    or write, or ensure_control_mode) on the in-memory bus; the outcome,
//    the frames sent, the replies consumed and the pause taken must be those
//    of an independent model of the exchange.
// 5. The same bytes, read as a group of motors on two in-memory buses and a
//    script of stale frames, send failures and replies per bus (see
//    `check_group`), drive one group cycle with a zero time-out; the
//    identifier check and every member's outcome must be those of a model.
#include <errno.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "damiao/driver.hpp"
#include "damiao/group.hpp"
#include "fuzz_common.hpp"
#include "transport/memory_transport.hpp"
#include "transport/socketcan_backend/socketcan.hpp"

using namespace fuzz;
using rotalink::damiao::Damiao;
using rotalink::damiao::Error;
using rotalink::damiao::RegisterValue;
using rotalink::damiao::mit::MitLimits;
using rotalink::damiao::mit::MitSetpoint;
using rotalink::damiao::mit::MotorState;
using rotalink::Result;
using rotalink::transport::CanFrame;
using rotalink::transport::CanId;
using rotalink::transport::Duration;
using rotalink::transport::IdKind;
using rotalink::transport::IoError;
using rotalink::transport::MemoryTransport;
using rotalink::transport::SocketCanTransport;
using rotalink::transport::TransportError;

// ---------------------------------------------------------------- pauses
// The driver's mode-switch pause goes through nanosleep; while an exchange
// runs, the pause is recorded instead of slept, so that the target stays
// fast. Any other caller sleeps for real.
namespace {
bool g_fake_sleep = false;
int g_sleeps = 0;
std::uint64_t g_slept_ns = 0;
}  // namespace

extern "C" int nanosleep(const struct timespec* req, struct timespec* rem) {
    if (g_fake_sleep) {
        ++g_sleeps;
        g_slept_ns += static_cast<std::uint64_t>(req->tv_sec) * 1000000000u +
                      static_cast<std::uint64_t>(req->tv_nsec);
        return 0;
    }
    return static_cast<int>(syscall(SYS_nanosleep, req, rem));
}

namespace {

constexpr std::uint32_t kEff = 0x80000000u, kRtr = 0x40000000u, kErr = 0x20000000u;

std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

std::string show(const CanFrame& f) {
    char head[64];
    std::snprintf(head, sizeof head, "%s 0x%X%s%s%s%s [", f.id.kind == IdKind::Standard ? "std" : "ext",
                  f.id.value, f.fd ? " fd" : "", f.brs ? " brs" : "", f.remote ? " rtr" : "",
                  f.error ? " err" : "");
    return head + hex_bytes(f.data.data(), f.data.size()) + "]";
}

bool same_frame(const CanFrame& a, const CanFrame& b) {
    return a.id == b.id && a.data == b.data && a.fd == b.fd && a.brs == b.brs && a.remote == b.remote &&
           a.error == b.error;
}

CanId decoded_id(std::uint32_t raw) {
    return (raw & kEff) ? CanId::extended(raw & 0x1FFFFFFFu) : CanId::standard(raw & 0x7FFu);
}

// ----------------------------------------------------- 1. the receive path

std::optional<CanFrame> check_recv(SocketCanTransport& t, int peer, const std::uint8_t* data,
                                   std::size_t size) {
    const ssize_t w = ::send(peer, data, size, 0);
    FUZZ_CHECK(w == static_cast<ssize_t>(size), std::string("socket pair write failed: ") + std::strerror(errno));
    const auto r = t.recv(Duration{0, 10000000});
    // The read asks for at most 72 bytes: a longer record arrives cut to 72.
    const std::size_t n = size < 72 ? size : 72;
    const std::string who = "record of " + std::to_string(size) + " bytes: " + hex_bytes(data, n);

    if (n != 16 && n != 72) {
        FUZZ_CHECK(!r.ok(), "accepted " + who + " as " + show(r.value()));
        const TransportError& e = r.error();
        const std::string msg = e.message();
        FUZZ_CHECK(e.kind() == TransportError::Kind::Backend, "not a Backend error (" + msg + "): " + who);
        FUZZ_CHECK(msg.rfind("backend error: ", 0) == 0 &&
                       msg.find("received " + std::to_string(n) + " bytes") != std::string::npos,
                   "message does not name the size: \"" + msg + "\": " + who);
        return std::nullopt;
    }
    FUZZ_CHECK(r.ok(), "refused " + who + ": " + r.error().message());
    const CanFrame& f = r.value();
    const std::uint32_t raw = le32(data);
    const std::uint8_t len = data[4];
    CanFrame want;
    want.id = decoded_id(raw);
    std::size_t take;
    if (n == 16) {
        take = (raw & kErr) ? 8 : (len < 8 ? len : 8);
        want.error = (raw & kErr) != 0;  // tested before the remote flag
        want.remote = !want.error && (raw & kRtr) != 0;
    } else {
        take = len < 64 ? len : 64;
        want.fd = true;
        want.brs = (data[5] & 0x01) != 0;
    }
    want.data.assign(data + 8, data + 8 + take);
    FUZZ_CHECK(f.id.in_range(), "identifier out of range: " + show(f) + ": " + who);
    FUZZ_CHECK(f.data.size() <= (f.fd ? 64u : 8u), "payload too long: " + show(f) + ": " + who);
    FUZZ_CHECK(same_frame(f, want), "decoded as " + show(f) + ", expected " + show(want) + ": " + who);
    return f;
}

// -------------------------------------------------------- 2. the send path

std::uint8_t fd_len(std::size_t n) {
    static const std::uint8_t steps[] = {12, 16, 20, 24, 32, 48, 64};
    if (n <= 8) return static_cast<std::uint8_t>(n);
    for (std::uint8_t s : steps) {
        if (n <= s) return s;
    }
    return 64;
}

void check_send(SocketCanTransport& t, int peer, Reader in) {
    const std::uint8_t flags = in.u8();
    const std::uint32_t raw = in.u32();
    const bool ext = flags & 1;
    CanFrame f;
    f.fd = (flags & 2) != 0;
    f.brs = (flags & 4) != 0;
    const std::uint32_t value = (flags & 8) ? raw : (ext ? raw & 0x1FFFFFFFu : raw & 0x7FFu);
    f.id = ext ? CanId::extended(value) : CanId::standard(value);
    const std::size_t len = in.u8() % 65;
    for (std::size_t i = 0; i < len; ++i) f.data.push_back(in.u8());

    const auto r = t.send(f);
    std::uint8_t buf[256];
    const ssize_t n = ::recv(peer, buf, sizeof buf, MSG_DONTWAIT);
    const std::string who = "send of " + show(f);
    const bool id_ok = ext ? value <= 0x1FFFFFFFu : value <= 0x7FFu;
    const std::size_t max = f.fd ? 64 : 8;
    if (!id_ok || len > max) {
        FUZZ_CHECK(!r.ok(), "accepted " + who);
        FUZZ_CHECK(n < 0 && errno == EAGAIN, "a refused frame was written: " + who);
        if (!id_ok) {
            FUZZ_CHECK(r.error().kind() == TransportError::Kind::InvalidId &&
                           r.error().message() == "invalid CAN id",
                       "not InvalidId: " + r.error().message() + ": " + who);
        } else {
            FUZZ_CHECK(r.error().kind() == TransportError::Kind::FrameTooLarge && r.error().length() == len &&
                           r.error().message() == "frame too large for selected mode: " +
                                                      std::to_string(len) + " bytes",
                       "not FrameTooLarge: " + r.error().message() + ": " + who);
        }
        return;
    }
    FUZZ_CHECK(r.ok(), "refused " + who + ": " + r.error().message());
    std::uint8_t want[72] = {0};
    const std::uint32_t can_id = value | (ext ? kEff : 0u);
    std::memcpy(want, &can_id, 4);
    std::size_t want_size = 16;
    if (f.fd) {
        want_size = 72;
        want[4] = fd_len(len);
        want[5] = static_cast<std::uint8_t>(0x04 | (f.brs ? 0x01 : 0));
    } else {
        want[4] = static_cast<std::uint8_t>(len);
    }
    if (len) std::memcpy(want + 8, f.data.data(), len);
    FUZZ_CHECK(n == static_cast<ssize_t>(want_size) && std::memcmp(buf, want, want_size) == 0,
               "wrote " + (n < 0 ? std::string("nothing") : hex_bytes(buf, static_cast<std::size_t>(n))) +
                   ", expected " + hex_bytes(want, want_size) + ": " + who);
}

// ------------------------------------------------------ the driver's model

const MitLimits& preset(std::uint8_t b) { return rotalink::damiao::mit::kPresets[b % 15].limits; }

std::string timeout_text() { return "transport error: timeout waiting for frame"; }

// Feedback as the description of the wire format gives it.
void check_state(const MotorState& st, const MitLimits& l, const rotalink::transport::FrameData& d,
                 const std::string& who) {
    FUZZ_CHECK(d.size() >= 8, "check_state needs 8 bytes");
    const std::uint32_t p_raw = (std::uint32_t{d[1]} << 8) | d[2];
    const std::uint32_t v_raw = (std::uint32_t{d[3]} << 4) | (d[4] >> 4);
    const std::uint32_t t_raw = ((std::uint32_t{d[4]} & 0x0Fu) << 8) | d[5];
    FUZZ_CHECK(st.motor_id == (d[0] & 0x0F) && st.error == (d[0] >> 4) && st.t_mos == d[6] &&
                   st.t_rotor == d[7] && same_float(st.position, model::unscale(p_raw, l.p_max, 65535.0f)) &&
                   same_float(st.velocity, model::unscale(v_raw, l.v_max, 4095.0f)) &&
                   same_float(st.torque, model::unscale(t_raw, l.t_max, 4095.0f)),
               "feedback decoded as " + rotalink::damiao::mit::repr(st) + ": " + who);
}

// ------------------------------------------------------- in-memory bus

// One scripted reply on the in-memory bus: a frame or a recv error.
struct Step {
    bool is_error = false;
    CanFrame frame;
    TransportError error = TransportError::timeout();
};

TransportError injected_send_error() {
    return TransportError::backend(IoError::custom("injected send failure"));
}

// The deadline loop never hands a wait under 1 us to the transport: a zero
// socket time-out would block without limit.
void check_waits(const MemoryTransport& bus, const std::string& who) {
    for (const Duration& t : bus.recv_timeouts()) {
        FUZZ_CHECK(t.total_nanos_saturated() >= 1000,
                   "recv asked to wait " + std::to_string(t.total_nanos_saturated()) + " ns: " + who);
        FUZZ_CHECK(t.nanos < 1000000000u, "recv given a denormal duration: " + who);
    }
}

// --------------------------------------------------- 3. enable, one reply

// A register frame of the motor: a data frame of exactly 8 bytes whose
// bytes 0-1 are its command id (the low 11 bits, little-endian) and byte 2
// a read (0x33) or write (0x55).
bool names_motor(const CanFrame& c, std::uint16_t motor_id) {
    return c.data.size() == 8 && !c.remote && !c.error && (c.data[0] | (c.data[1] << 8)) == (motor_id & 0x7FF) &&
           (c.data[2] == 0x33 || c.data[2] == 0x55);
}

void check_enable_with(const CanFrame& reply, Reader in) {
    const std::uint16_t motor_id = in.u16();
    const MitLimits limits = preset(in.u8());
    for (int matching = 0; matching < 2; ++matching) {
        Damiao d;
        d.motor_id = motor_id;
        d.limits = limits;
        d.timeout = Duration{60, 0};
        const std::uint32_t low = matching && reply.id.kind == IdKind::Standard
                                      ? reply.id.value
                                      : ((reply.id.value + 1) & 0x7FFu);
        d.master_id = static_cast<std::uint16_t>((motor_id & 0xF800u) | low);
        MemoryTransport bus;
        bus.queue(reply);
        const auto r = d.enable(bus);
        const std::string who = "enable of motor " + std::to_string(motor_id) + " from master " +
                                std::to_string(d.master_id) + " with reply " + show(reply);
        check_waits(bus, who);

        CanFrame cmd{CanId::standard(motor_id & 0x7FFu), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}, false, false};
        FUZZ_CHECK(bus.sent().size() == 1 && same_frame(bus.sent()[0], cmd),
                   "sent " + (bus.sent().empty() ? std::string("nothing") : show(bus.sent()[0])) + ": " + who);
        FUZZ_CHECK(bus.pending() == 0, "the reply was not read: " + who);
        const bool answers = reply.id == CanId::standard(d.master_id & 0x7FFu) && !reply.remote && !reply.error &&
                             !names_motor(reply, motor_id);
        if (!answers) {
            FUZZ_CHECK(!r.ok() && r.error().message() == timeout_text() && bus.recv_calls() == 2,
                       "a frame that is not this motor's feedback was " +
                           (r.ok() ? "taken" : "reported as \"" + r.error().message() + "\"") + ": " + who);
        } else if (reply.data.size() < 8) {
            FUZZ_CHECK(!r.ok() && r.error().kind() == Error::Kind::ShortReply &&
                           r.error().message() == "feedback reply too short: " +
                                                      std::to_string(reply.data.size()) + " data bytes, expected 8",
                       "a short reply was " + (r.ok() ? "decoded" : "reported as \"" + r.error().message() + "\"") +
                           ": " + who);
        } else {
            FUZZ_CHECK(r.ok(), "the reply was refused (" + r.error().message() + "): " + who);
            check_state(r.value(), limits, reply.data, who);
        }
    }
}

// ------------------------------------------- 4. one operation, a script

enum Op : std::uint8_t {
    kOpEnable, kOpDisable, kOpSetZero, kOpClearError, kOpMit, kOpRead, kOpWrite, kOpEnsure
};

struct Script {
    Op op;
    std::uint8_t arg;  // preset (mit), register (read, write), mode (ensure)
    Duration timeout;
    bool zero_timeout;
    int fail_send_at;
    std::uint16_t motor_id, master_id;
    MitSetpoint setpoint;
    bool bad_limits;
    std::uint32_t write_value;
    std::deque<Step> steps;
};

// Header: op/flags, arg, motor id (2), master id (2), then the operation's
// own values, then steps. A step: h, then
//   (h & 0x60) == 0x60  an error: e; Backend(errno e >> 1) if e & 1, else Timeout
//   otherwise a frame:  h & 1 extended, h & 2 FD, h & 4 BRS (FD only),
//                       h & 0x80 from the master's identifier, else an id;
//                       h & 8 a register reply x y 33 R v0 v1 v2 v3 (R = 0A,
//                       or a byte when h & 0x10), else a length and the bytes.
Script parse(Reader in) {
    Script s{};
    const std::uint8_t h = in.u8();
    s.op = static_cast<Op>(h & 7);
    s.arg = in.u8();
    s.zero_timeout = false;
    switch ((h >> 3) & 3) {
        case 0: s.timeout = Duration{60, 0}; break;
        case 1: s.timeout = Duration{0, static_cast<std::uint32_t>(s.arg) * 3u}; s.zero_timeout = true; break;
        case 2: s.timeout = Duration{UINT64_MAX, 999999999u}; break;  // saturates
        default: s.timeout = Duration{5, 0}; break;
    }
    s.fail_send_at = (h >> 5) & 7;
    if (s.fail_send_at > 3) s.fail_send_at = 0;
    s.motor_id = in.u16();
    s.master_id = in.u16();
    if (s.op == kOpMit) {
        s.setpoint = MitSetpoint{in.f32(), in.f32(), in.f32(), in.f32(), in.f32()};
        s.bad_limits = s.arg >= 240;
    }
    if (s.op == kOpWrite) s.write_value = in.u32();
    while (!in.empty() && s.steps.size() < 32) {
        const std::uint8_t sh = in.u8();
        Step st;
        if ((sh & 0x60) == 0x60) {
            const std::uint8_t e = in.u8();
            st.is_error = true;
            st.error = (e & 1) ? TransportError::backend(IoError::from_errno(e >> 1)) : TransportError::timeout();
            s.steps.push_back(std::move(st));
            continue;
        }
        CanFrame& f = st.frame;
        const bool ext = sh & 1;
        f.fd = (sh & 2) != 0;
        f.brs = f.fd && (sh & 4);
        if (sh & 0x80) {
            f.id = CanId::standard(s.master_id & 0x7FFu);
        } else {
            f.id = ext ? CanId::extended(in.u32() & 0x1FFFFFFFu) : CanId::standard(in.u16() & 0x7FFu);
        }
        if (sh & 8) {
            const std::uint8_t x = in.u8(), y = in.u8();
            const std::uint8_t reg = (sh & 0x10) ? in.u8() : 0x0A;
            f.data = {x, y, 0x33, reg, in.u8(), in.u8(), in.u8(), in.u8()};
        } else {
            const std::size_t len = in.u8() % (f.fd ? 65 : 9);
            for (std::size_t i = 0; i < len; ++i) f.data.push_back(in.u8());
        }
        s.steps.push_back(std::move(st));
    }
    return s;
}

// The exchange as its description tells it.
struct Model {
    const Script& s;
    std::deque<Step> queue;
    std::vector<CanFrame> sent;
    int sends = 0;
    int recvs = 0;
    int pauses = 0;

    std::deque<Step> held;  // steps that arrive once a send has succeeded

    // Motor commands find the script queued; register operations see it
    // arrive after their first request.
    Model(const Script& sc, bool after_send) : s(sc) {
        (after_send ? held : queue).assign(sc.steps.begin(), sc.steps.end());
    }

    bool send(const CanFrame& f, std::string& error) {
        if (++sends == s.fail_send_at) {
            error = "transport error: " + injected_send_error().message();
            return false;
        }
        sent.push_back(f);
        queue.insert(queue.end(), held.begin(), held.end());
        held.clear();
        return true;
    }

    // Before a register request: the frames at the head of the queue go, in
    // reads of 32 and at most 1024; an error step there ends the operation
    // when no frame came before it in the same read.
    bool discard(std::string& error) {
        std::size_t discarded = 0;
        while (discarded < 1024) {
            std::size_t n = 0;
            while (n < 32 && !queue.empty() && !queue.front().is_error) {
                queue.pop_front();
                ++n;
            }
            if (n == 0 && !queue.empty()) {
                error = "transport error: " + queue.front().error.message();
                queue.pop_front();
                return false;
            }
            discarded += n;
            if (n < 32) break;
        }
        return true;
    }

    template <class Match>
    bool await(Match match, CanFrame& out, std::string& error) {
        if (s.zero_timeout) {
            error = timeout_text();
            return false;
        }
        for (;;) {
            ++recvs;
            if (queue.empty()) {
                error = timeout_text();
                return false;
            }
            Step st = queue.front();
            queue.pop_front();
            if (st.is_error) {
                error = "transport error: " + st.error.message();
                return false;
            }
            if (match(st.frame)) {
                out = st.frame;
                return true;
            }
        }
    }

    // A motor command; `reply` is the feedback frame on success.
    bool command(const rotalink::damiao::mit::Payload& p, CanFrame& reply, std::string& error) {
        return exchange(CanFrame{CanId::standard(s.motor_id & 0x7FFu), {p.begin(), p.end()}, false, false}, reply,
                        error);
    }

    // Sends `f` and takes the motor's feedback.
    bool exchange(const CanFrame& f, CanFrame& reply, std::string& error) {
        if (!send(f, error)) return false;
        const CanId from = CanId::standard(s.master_id & 0x7FFu);
        const auto feedback = [&](const CanFrame& c) {
            return c.id == from && !c.remote && !c.error && !names_motor(c, s.motor_id);
        };
        if (!await(feedback, reply, error)) return false;
        if (reply.data.size() < 8) {
            error = "feedback reply too short: " + std::to_string(reply.data.size()) + " data bytes, expected 8";
            return false;
        }
        return true;
    }

    CanFrame register_frame(std::uint8_t op, std::uint8_t reg, std::uint32_t v) const {
        CanFrame frame;
        frame.id = CanId::standard(0x7FF);
        frame.data = {static_cast<std::uint8_t>(s.motor_id & 0xFF), static_cast<std::uint8_t>(s.motor_id >> 8),
                      op, reg, static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                      static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
        return frame;
    }

    static std::string unknown(std::uint8_t reg) {
        return "register " + std::to_string(reg) + " is not in the Damiao register table";
    }
    // The firmware's map: registers 0 to 36; these are read-only, and these
    // hold floats (the rest unsigned 32-bit integers).
    static bool known(std::uint8_t reg) { return reg <= 36; }
    static bool read_only(std::uint8_t reg) { return (reg >= 11 && reg <= 20) || reg == 36; }
    static bool is_float(std::uint8_t reg) { return reg <= 6 || reg == 11 || reg == 12 || (reg >= 17 && reg <= 34); }

    bool read(std::uint8_t reg, std::uint32_t& value, std::string& error) {
        if (!known(reg)) {
            error = unknown(reg);
            return false;
        }
        if (!discard(error)) return false;
        if (!send(register_frame(0x33, reg, 0), error)) return false;
        CanFrame reply;
        const auto answers = [&](const CanFrame& c) {
            // A frame on 0x7FF is a read request (another host's), never a reply.
            return names_motor(c, s.motor_id) && c.data[2] == 0x33 && c.data[3] == reg &&
                   c.id != CanId::standard(0x7FF);
        };
        if (!await(answers, reply, error)) {
            return false;
        }
        value = le32(reply.data.data() + 4);
        return true;
    }

    bool write(std::uint8_t reg, std::uint32_t value, std::string& error) {
        if (!known(reg)) {
            error = unknown(reg);
            return false;
        }
        if (read_only(reg)) {
            error = "register " + std::to_string(reg) + " is read-only";
            return false;
        }
        return send(register_frame(0x55, reg, value), error);
    }

    bool ensure(std::uint8_t mode, std::string& error) {
        std::uint32_t v = 0;
        if (!read(10, v, error)) return false;
        if (v == mode) return true;
        // A refresh, [id lo, id hi (of motor_id & 0x7FF), CC, 0 ...] to 0x7FF:
        // status 1 in its feedback's high nibble refuses the change.
        CanFrame feedback;
        const std::uint16_t id = s.motor_id & 0x7FFu;
        const CanFrame refresh{CanId::standard(0x7FF),
                               {static_cast<std::uint8_t>(id & 0xFF), static_cast<std::uint8_t>(id >> 8), 0xCC, 0, 0,
                                0, 0, 0},
                               false, false};
        if (!exchange(refresh, feedback, error)) return false;
        if ((feedback.data[0] >> 4) == 1) {
            char text[24];
            std::snprintf(text, sizeof text, "motor 0x%03x", static_cast<unsigned>(id));
            error = std::string(text) + " reports itself enabled: disable it before changing its control mode";
            return false;
        }
        if (!write(10, mode, error)) return false;
        ++pauses;
        if (!read(10, v, error)) return false;
        if (v == mode) return true;
        error = "control mode verification failed: wrote " + std::to_string(mode) + ", motor reports " +
                std::to_string(v & 0xFFu);
        return false;
    }
};

std::string show_all(const std::vector<CanFrame>& fs) {
    std::string out;
    for (const CanFrame& f : fs) out += (out.empty() ? "" : "; ") + show(f);
    return out.empty() ? "nothing" : out;
}

void check_script(const Script& s, const std::string& input_hex) {
    static const std::uint8_t kSpecial[4] = {0xFC, 0xFD, 0xFE, 0xFB};
    Damiao d;
    d.motor_id = s.motor_id;
    d.master_id = s.master_id;
    d.timeout = s.timeout;
    d.limits = preset(s.arg);
    if (s.op == kOpMit && s.bad_limits) d.limits.v_max = -d.limits.v_max - 1.0f;

    MemoryTransport bus;
    const bool after_send = s.op == kOpRead || s.op == kOpEnsure;
    for (const Step& st : s.steps) {
        if (after_send) {
            if (st.is_error) bus.arrive_after_send_error(st.error); else bus.arrive_after_send(st.frame);
        } else {
            if (st.is_error) bus.queue_error(st.error); else bus.queue(st.frame);
        }
    }
    if (s.fail_send_at) bus.fail_nth_send(static_cast<std::size_t>(s.fail_send_at), injected_send_error());
    Model m(s, after_send);

    bool ok = false, want_ok = false;
    std::string got_error, want_error;
    std::optional<MotorState> state;
    CanFrame reply;
    std::uint32_t got_value = 0, want_value = 0;

    g_fake_sleep = true;
    g_sleeps = 0;
    g_slept_ns = 0;
    switch (s.op) {
        case kOpEnable:
        case kOpDisable:
        case kOpSetZero:
        case kOpClearError:
        case kOpMit: {
            Result<MotorState, Error> r = MotorState{};
            rotalink::damiao::mit::Payload p = rotalink::damiao::special_payload(kSpecial[s.op & 3]);
            bool encodable = true;
            switch (s.op) {
                case kOpEnable: r = d.enable(bus); break;
                case kOpDisable: r = d.disable(bus); break;
                case kOpSetZero: r = d.set_zero(bus); break;
                case kOpClearError: r = d.clear_error(bus); break;
                default: {
                    r = d.mit_control(bus, s.setpoint);
                    // Refused, with nothing sent: the register identifier,
                    // a range of 0 or infinity, a NaN field, limits the
                    // codec cannot use. The message is the encoder's.
                    const rotalink::damiao::mit::MitSetpoint& sp = s.setpoint;
                    const auto& l = d.limits;
                    const auto useless = [](float v) { return v == 0.0f || std::isinf(v); };
                    const auto enc = rotalink::damiao::mit::encode(l, sp);
                    const bool refused = (d.motor_id & 0x7FFu) == 0x7FFu || useless(l.p_max) || useless(l.v_max) ||
                                         useless(l.t_max) || std::isnan(sp.q) || std::isnan(sp.dq) ||
                                         std::isnan(sp.kp) || std::isnan(sp.kd) || std::isnan(sp.tau) || !enc.ok();
                    const auto made = rotalink::damiao::make_control(d.motor_id, l, rotalink::damiao::from_mit(sp));
                    FUZZ_CHECK(made.ok() != refused, "make_control disagrees on a refusal: " + input_hex);
                    encodable = !refused;
                    if (refused) {
                        want_error = made.error().message();
                    } else {
                        p = enc.value();
                    }
                }
            }
            ok = r.ok();
            if (ok) state = r.value(); else got_error = r.error().message();
            want_ok = encodable && m.command(p, reply, want_error);
            break;
        }
        case kOpRead: {
            const auto r = d.read_register(bus, s.arg);
            ok = r.ok();
            if (ok) {
                got_value = r.value().as_uint32();
                FUZZ_CHECK((r.value().kind == rotalink::damiao::RegisterKind::Float) == Model::is_float(s.arg),
                           "register " + std::to_string(s.arg) + " read as the wrong kind");
            } else {
                got_error = r.error().message();
            }
            want_ok = m.read(s.arg, want_value, want_error);
            break;
        }
        case kOpWrite: {
            const auto r = d.write_register(bus, s.arg, s.write_value);
            ok = r.ok();
            if (!ok) got_error = r.error().message();
            want_ok = m.write(s.arg, s.write_value, want_error);
            break;
        }
        case kOpEnsure: {
            const auto r = d.ensure_control_mode(bus, s.arg);
            ok = r.ok();
            if (!ok) got_error = r.error().message();
            want_ok = m.ensure(s.arg, want_error);
            break;
        }
    }
    g_fake_sleep = false;

    const std::string who = "operation " + std::to_string(s.op) + " (arg " + std::to_string(s.arg) +
                            ") of input " + input_hex;
    FUZZ_CHECK(ok == want_ok && got_error == want_error,
               (ok ? std::string("succeeded") : "failed with \"" + got_error + "\"") + ", expected " +
                   (want_ok ? std::string("success") : "\"" + want_error + "\"") + ": " + who);
    check_waits(bus, who);
    FUZZ_CHECK(bus.sent().size() == m.sent.size() &&
                   std::equal(bus.sent().begin(), bus.sent().end(), m.sent.begin(), same_frame),
               "sent " + show_all(bus.sent()) + ", expected " + show_all(m.sent) + ": " + who);
    FUZZ_CHECK(bus.pending() == m.queue.size() + m.held.size(),
               std::to_string(s.steps.size() - bus.pending()) + " replies consumed, expected " +
                   std::to_string(s.steps.size() - m.queue.size() - m.held.size()) + ": " + who);
    FUZZ_CHECK(bus.recv_calls() == static_cast<std::size_t>(m.recvs),
               std::to_string(bus.recv_calls()) + " receives, expected " + std::to_string(m.recvs) + ": " + who);
    FUZZ_CHECK(g_sleeps == m.pauses && g_slept_ns == static_cast<std::uint64_t>(m.pauses) * 100000000u,
               std::to_string(g_sleeps) + " pauses of " + std::to_string(g_slept_ns) + " ns in all, expected " +
                   std::to_string(m.pauses) + " of 100 ms: " + who);
    static const bool verbose = std::getenv("FUZZ_VERBOSE") != nullptr;
    if (verbose) {
        std::fprintf(stderr, "%s: %s; sent %s; %d receives, %d pauses\n", who.c_str(),
                     ok ? "success" : ("\"" + got_error + "\"").c_str(), show_all(bus.sent()).c_str(),
                     static_cast<int>(bus.recv_calls()), g_sleeps);
    }
    if (ok && state) check_state(*state, d.limits, reply.data, who);
    if (ok && s.op == kOpRead) {
        FUZZ_CHECK(got_value == want_value, "register read " + std::to_string(got_value) + ", expected " +
                                                std::to_string(want_value) + ": " + who);
    }
}

}  // namespace

// ------------------------------------------------------- 5. group cycle

// Never called: a zero time-out ends the cycle at its first deadline check.
struct NoWait final : rotalink::transport::BusWaiter {
    Result<rotalink::Unit, TransportError> wait(rotalink::transport::CanTransport* const*, std::size_t,
                                                rotalink::transport::Instant) override {
        FUZZ_CHECK(false, "a zero time-out cycle waited");
        return rotalink::Unit{};
    }
};

// Header: member count (2..4) and bus bits, then per member motor and master
// identifiers (3 bits each, so that they clash often) and a preset; per bus
// a flags byte (stale frame first, send failure: at which send, ENOBUFS or
// another error) and up to 6 reply steps: h, then an error e when
// (h & 0x60) == 0x60, else a frame from identifier (h & 7) (FD when h & 8;
// else a remote request when h & 0x90 is 0x10, an error frame when 0x90,
// a member's register frame when 0x80) with a length and bytes.
void check_group(Reader in, const std::string& input_hex) {
    using rotalink::damiao::GroupMember;
    const std::uint8_t h = in.u8();
    const std::size_t n = 2 + (h & 3) % 3;
    std::vector<GroupMember> members;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t ids = in.u8();
        Damiao d;
        d.motor_id = static_cast<std::uint16_t>(ids & 7);
        d.master_id = static_cast<std::uint16_t>(0x800 | ((ids >> 3) & 7));  // the high bits are not sent
        d.limits = preset(in.u8());
        members.push_back({static_cast<std::size_t>((h >> (2 + i)) & 1), d});
    }
    // The identifier rule: on one bus, all command and reply ids distinct.
    bool clash = false;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            if (members[i].bus != members[j].bus) continue;
            const unsigned ci = members[i].motor.motor_id, ri = members[i].motor.master_id & 0x7FF;
            const unsigned cj = members[j].motor.motor_id, rj = members[j].motor.master_id & 0x7FF;
            clash = clash || ri == cj || (i != j && (ci == cj || ri == rj));
        }
    }
    const std::string said = rotalink::damiao::identifier_clash(members);
    FUZZ_CHECK(said.empty() != clash, "identifier check said \"" + said + "\": " + input_hex);
    if (clash) return;
    const bool used[2] = {std::any_of(members.begin(), members.end(), [](const GroupMember& m) { return m.bus == 0; }),
                          std::any_of(members.begin(), members.end(), [](const GroupMember& m) { return m.bus == 1; })};
    if (!used[0] || !used[1]) {
        for (GroupMember& m : members) m.bus = 0;
    }
    const std::size_t bus_count = used[0] && used[1] ? 2 : 1;

    MemoryTransport buses[2];
    // The model's outcome per member: "" for a state checked separately.
    std::vector<std::string> want(n, timeout_text());
    std::vector<const CanFrame*> reply(n, nullptr);
    std::vector<std::vector<Step>> steps(bus_count);
    for (std::size_t b = 0; b < bus_count; ++b) {
        std::vector<std::size_t> order;  // the bus's members in sending order
        for (std::size_t i = 0; i < n; ++i) {
            if (members[i].bus == b) order.push_back(i);
        }
        const std::uint8_t flags = in.u8();
        if (flags & 1) {  // a late reply to an earlier command: discarded
            CanFrame stale;
            stale.id = CanId::standard(members[order[0]].motor.master_id & 0x7FFu);
            stale.data = {0x0F, 1, 2, 3, 4, 5, 6, 7};
            buses[b].queue(stale);
        }
        const std::size_t fail_at = (flags >> 1) & 3;  // 0: none, else that member's send
        const TransportError fail = (flags & 8) ? TransportError::backend(IoError::from_errno(ENOBUFS))
                                                : TransportError::backend(IoError::from_errno(ENETDOWN));
        if (fail_at) buses[b].fail_nth_send(fail_at, fail);
        for (int k = 0, count = in.u8() % 7; k < count; ++k) {
            const std::uint8_t sh = in.u8();
            Step st;
            if ((sh & 0x60) == 0x60) {
                st.is_error = true;
                st.error = TransportError::backend(IoError::from_errno(in.u8() % 134));
                buses[b].arrive_after_send_error(st.error);
            } else {
                st.frame.id = CanId::standard(sh & 7);
                st.frame.fd = st.frame.brs = (sh & 8) != 0;
                // A classic frame may be a remote request or an error frame.
                st.frame.remote = !st.frame.fd && (sh & 0x90) == 0x10;
                st.frame.error = !st.frame.fd && (sh & 0x90) == 0x90;
                const std::size_t len = in.u8() % (st.frame.fd ? 65 : 9);
                for (std::size_t i = 0; i < len; ++i) st.frame.data.push_back(in.u8());
                // A classic data frame with bit 7 set names, as a register
                // reply (byte 2 odd) or write echo, the motor answering from
                // its identifier, if any.
                if (!st.frame.fd && (sh & 0x90) == 0x80 && st.frame.data.size() >= 3) {
                    for (const GroupMember& m : members) {
                        if ((m.motor.master_id & 0x7FFu) != st.frame.id.value) continue;
                        st.frame.data[0] = static_cast<std::uint8_t>(m.motor.motor_id & 0xFF);
                        st.frame.data[1] = static_cast<std::uint8_t>((m.motor.motor_id >> 8) & 0x07);
                        st.frame.data[2] = (st.frame.data[2] & 1) ? 0x33 : 0x55;
                    }
                }
                buses[b].arrive_after_send(st.frame);
            }
            steps[b].push_back(std::move(st));
        }
        // Sends go in member order on the bus; the failed one and the rest are unsent.
        std::vector<std::size_t> awaiting;
        for (std::size_t k = 0; k < order.size(); ++k) {
            if (fail_at && k + 1 >= fail_at) {
                want[order[k]] = "transport error: " + fail.message();
            } else {
                awaiting.push_back(order[k]);
            }
        }
        if (awaiting.empty()) continue;  // no successful send releases the replies
        for (const Step& st : steps[b]) {
            if (awaiting.empty()) break;
            if (st.is_error) {
                for (std::size_t i : awaiting) want[i] = "transport error: " + st.error.message();
                break;
            }
            if (st.frame.remote || st.frame.error) continue;  // carries no feedback
            for (auto it = awaiting.begin(); it != awaiting.end(); ++it) {
                if (st.frame.id.value != (members[*it].motor.master_id & 0x7FFu)) continue;
                if (names_motor(st.frame, members[*it].motor.motor_id)) break;  // its register frame
                const rotalink::damiao::Damiao& m = members[*it].motor;
                if (st.frame.data.size() < 8) {
                    want[*it] = "feedback reply too short: " + std::to_string(st.frame.data.size()) +
                                " data bytes, expected 8";
                } else if ((st.frame.data[0] & 0xFu) != (m.motor_id & 0xFu)) {
                    char text[200];  // another motor's feedback fails the member
                    std::snprintf(text, sizeof text,
                                  "the feedback from reply identifier 0x%03x carries motor id 0x%x, not this "
                                  "member's 0x%x (motor_id 0x%x & 0xf): another motor answers from this master "
                                  "identifier",
                                  static_cast<unsigned>(m.master_id & 0x7FFu), st.frame.data[0] & 0xFu,
                                  m.motor_id & 0xFu, static_cast<unsigned>(m.motor_id));
                    want[*it] = text;
                } else {
                    want[*it] = "";
                }
                reply[*it] = &st.frame;
                awaiting.erase(it);
                break;
            }
        }
    }
    const rotalink::damiao::MotorGroup g(members, bus_count, Duration{}, (h & 0x40) != 0);
    rotalink::transport::CanTransport* ts[2] = {&buses[0], &buses[1]};
    NoWait waiter;
    rotalink::damiao::MotorGroup::Cycle cycle;
    g.start(cycle, ts, g.special(rotalink::damiao::kEnable));
    g.collect(cycle, ts, waiter);  // the waiter is never interrupted
    const auto& results = cycle.results();
    FUZZ_CHECK(results.size() == n, "one result per member: " + input_hex);
    for (std::size_t i = 0; i < n; ++i) {
        const std::string who = "member " + std::to_string(i) + ": " + input_hex;
        if (!want[i].empty()) {
            FUZZ_CHECK(!results[i].ok() && results[i].error().message() == want[i],
                       "outcome " + (results[i].ok() ? std::string("a state") : results[i].error().message()) +
                           ", want " + want[i] + ": " + who);
            continue;
        }
        FUZZ_CHECK(results[i].ok(), "no state (" + results[i].error().message() + "): " + who);
        check_state(results[i].value(), members[i].motor.limits, reply[i]->data, who);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    int sv[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) == 0,
               std::string("socketpair: ") + std::strerror(errno));
    std::optional<CanFrame> frame;
    {
        SocketCanTransport t(sv[0]);  // closes sv[0]
        frame = check_recv(t, sv[1], data, size);
        check_send(t, sv[1], Reader(data, size));
        FUZZ_CHECK(t.fd() == sv[0], "the transport lost its socket");
    }
    ::close(sv[1]);

    if (frame) check_enable_with(*frame, Reader(data + (size > 8 ? 8 : size), size > 8 ? size - 8 : 0));
    check_script(parse(Reader(data, size)), hex_bytes(data, size));
    check_group(Reader(data, size), hex_bytes(data, size));
    return 0;
}
