#include "damiao/group.hpp"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <utility>

namespace rotalink::damiao {

using transport::CanFrame;
using transport::CanTransport;
using transport::Duration;
using transport::Instant;
using transport::TransportError;

namespace {

// Frames moved per non-blocking read.
constexpr std::size_t kReadBatch = 32;
// Pause between sends into a full transmit queue.
constexpr Duration kRetryPause = Duration::from_nanos(100000);

std::string id_text(std::uint32_t id) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%03x", static_cast<unsigned>(id));
    return buf;
}

bool no_buffer_space(const TransportError& e) {
    return e.kind() == TransportError::Kind::Backend && e.io().code == ENOBUFS;
}

void pause_until(Duration pause, Instant limit) {
    const Instant now = Instant::now();
    const Instant until = now.saturating_add(pause) < limit ? now.saturating_add(pause) : limit;
    const Duration d = until.remaining_from(now);
    const timespec ts{static_cast<time_t>(d.secs), static_cast<long>(d.nanos)};
    nanosleep(&ts, nullptr);  // an early wake-up only retries sooner
}

CanFrame with_kind(CanFrame frame, bool fd) {
    frame.fd = fd;
    frame.brs = fd;
    return frame;
}

}  // namespace

std::string identifier_clash(const std::vector<GroupMember>& members) {
    for (std::size_t i = 0; i < members.size(); ++i) {
        const std::uint32_t cmd_i = command_id(members[i].motor.motor_id).value;
        const std::uint32_t reply_i = reply_id(members[i].motor.master_id).value;
        if (cmd_i == reply_i) {
            return "the reply identifier " + id_text(reply_i) + " of member " + std::to_string(i) +
                   " is its own command identifier";
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (members[j].bus != members[i].bus) continue;
            const std::uint32_t cmd_j = command_id(members[j].motor.motor_id).value;
            const std::uint32_t reply_j = reply_id(members[j].motor.master_id).value;
            const std::string pair = "members " + std::to_string(j) + " and " + std::to_string(i);
            if (cmd_i == cmd_j) return pair + " share command identifier " + id_text(cmd_i) + " on one bus";
            if (reply_i == reply_j) return pair + " share reply identifier " + id_text(reply_i) + " on one bus";
            if (reply_i == cmd_j || reply_j == cmd_i) {
                const bool i_replies = reply_i == cmd_j;
                return "the reply identifier " + id_text(i_replies ? reply_i : reply_j) + " of member " +
                       std::to_string(i_replies ? i : j) + " is the command identifier of member " +
                       std::to_string(i_replies ? j : i) + " on the same bus";
            }
        }
    }
    return {};
}

MotorGroup::MotorGroup(std::vector<GroupMember> members, std::size_t bus_count, Duration timeout, bool fd)
    : members_(std::move(members)), bus_begin_(bus_count + 1, 0), timeout_(timeout), fd_(fd) {
    for (const GroupMember& m : members_) {
        ROTALINK_ASSERT(m.bus < bus_count, "a group member's bus is out of range");
        ++bus_begin_[m.bus + 1];
    }
    for (std::size_t b = 0; b < bus_count; ++b) bus_begin_[b + 1] += bus_begin_[b];
    send_order_.resize(members_.size());
    std::vector<std::size_t> next(bus_begin_.begin(), bus_begin_.end() - 1);
    for (std::size_t i = 0; i < members_.size(); ++i) send_order_[next[members_[i].bus]++] = i;
    reply_of_.resize(members_.size());
    for (std::size_t k = 0; k < send_order_.size(); ++k) {
        reply_of_[k] = reply_id(members_[send_order_[k]].motor.master_id).value;
    }
}

std::vector<CanFrame> MotorGroup::special(std::uint8_t command) const {
    std::vector<CanFrame> frames;
    frames.reserve(send_order_.size());
    for (std::size_t i : send_order_) frames.push_back(with_kind(make_special(members_[i].motor.motor_id, command), fd_));
    return frames;
}

Result<std::vector<CanFrame>, mit::LimitDomainError> MotorGroup::mit(const mit::MitSetpoint* setpoints) const {
    std::vector<CanFrame> frames;
    frames.reserve(send_order_.size());
    for (std::size_t i : send_order_) {
        const Damiao& d = members_[i].motor;
        Result<CanFrame, mit::LimitDomainError> frame = make_mit(d.motor_id, d.limits, setpoints[i]);
        if (!frame.ok()) return err(frame.error());
        frames.push_back(with_kind(std::move(frame).value(), fd_));
    }
    return frames;
}

std::vector<MemberResult> MotorGroup::cycle(CanTransport* const* buses, const std::vector<CanFrame>& frames,
                                            transport::BusWaiter& waiter) const {
    ROTALINK_ASSERT(frames.size() == send_order_.size(), "one frame per group member");
    const std::size_t bus_n = bus_count();
    std::vector<MemberResult> results(members_.size(), MemberResult(err(Error::transport(TransportError::timeout()))));
    std::vector<std::size_t>& next = scratch_.next;
    std::vector<std::size_t>& awaited = scratch_.awaited;
    std::vector<char>& waiting = scratch_.waiting;
    std::vector<std::optional<TransportError>>& full = scratch_.full;
    next.assign(bus_begin_.begin(), bus_begin_.end() - 1);
    awaited.assign(bus_n, 0);
    waiting.assign(members_.size(), 0);
    full.resize(bus_n);
    for (auto& f : full) f.reset();
    std::size_t awaited_total = 0;

    // Fails bus b's members that were sent and still await a reply.
    auto fail_awaited = [&](std::size_t b, const TransportError& e) {
        for (std::size_t k = bus_begin_[b]; k < next[b]; ++k) {
            if (!waiting[k]) continue;
            results[send_order_[k]] = err(Error::transport(e));
            waiting[k] = 0;
            --awaited_total;
        }
        awaited[b] = 0;
    };
    // Fails bus b's members that were not sent.
    auto fail_unsent = [&](std::size_t b, const TransportError& e) {
        for (std::size_t k = next[b]; k < bus_begin_[b + 1]; ++k) results[send_order_[k]] = err(Error::transport(e));
        next[b] = bus_begin_[b + 1];
    };

    CanFrame buf[kReadBatch];

    // 1. Discard what is already queued.
    for (std::size_t b = 0; b < bus_n; ++b) {
        std::size_t discarded = 0;
        while (discarded < kDiscardLimit) {
            Result<std::size_t, TransportError> got = buses[b]->try_recv(buf, kReadBatch);
            if (!got.ok()) {
                fail_unsent(b, got.error());
                break;
            }
            discarded += got.value();
            if (got.value() < kReadBatch) break;
        }
    }

    // 2. Send, each bus in one batch; a full queue is retried as it drains,
    // for at most the time-out from the moment it was found full.
    Instant send_limit{};
    bool found_full = false;
    for (;;) {
        bool any_full = false;
        for (std::size_t b = 0; b < bus_n; ++b) {
            const std::size_t end = bus_begin_[b + 1];
            if (next[b] >= end) continue;
            transport::BatchSent sent = buses[b]->send_batch(frames.data() + next[b], end - next[b]);
            for (std::size_t k = next[b]; k < next[b] + sent.sent; ++k) waiting[k] = 1;
            next[b] += sent.sent;
            awaited[b] += sent.sent;
            awaited_total += sent.sent;
            if (!sent.error) continue;
            if (no_buffer_space(*sent.error)) {
                full[b] = std::move(sent.error);
                any_full = true;
            } else {
                fail_unsent(b, *sent.error);
            }
        }
        if (!any_full) break;
        const Instant now = Instant::now();
        if (!found_full) {
            found_full = true;
            send_limit = now.saturating_add(timeout_);
        }
        if (!(now < send_limit)) {
            for (std::size_t b = 0; b < bus_n; ++b) {
                if (next[b] < bus_begin_[b + 1]) fail_unsent(b, *full[b]);
            }
            break;
        }
        pause_until(kRetryPause, send_limit);
    }

    // 3. Collect the replies until one deadline.
    const Instant deadline = Instant::now().saturating_add(timeout_);
    CanTransport* wait_on[kReadBatch];
    std::vector<CanTransport*> wait_many;
    // Reads what has arrived on the awaited buses. A short batch usually
    // means the bus is empty for now, and the wait tells when more comes;
    // at the deadline (`last`) each bus is read until it is empty (at most
    // kDiscardLimit frames), so that whatever arrived in time counts.
    auto read_arrived = [&](bool last) {
        for (std::size_t b = 0; b < bus_n; ++b) {
            std::size_t read = 0;
            while (awaited[b] > 0) {
                Result<std::size_t, TransportError> got = buses[b]->try_recv(buf, kReadBatch);
                if (!got.ok()) {
                    fail_awaited(b, got.error());
                    break;
                }
                for (std::size_t f = 0; f < got.value() && awaited[b] > 0; ++f) {
                    // The first standard data frame from a member's reply
                    // identifier is its reply: a remote request or an error
                    // frame carries no feedback, whatever its identifier.
                    if (buf[f].id.kind != transport::IdKind::Standard || buf[f].remote || buf[f].error) continue;
                    const std::uint32_t from = buf[f].id.value;
                    for (std::size_t k = bus_begin_[b]; k < bus_begin_[b + 1]; ++k) {
                        if (reply_of_[k] != from || !waiting[k]) continue;
                        const std::size_t i = send_order_[k];
                        results[i] = parse_feedback(members_[i].motor.limits, buf[f]);
                        waiting[k] = 0;
                        --awaited[b];
                        --awaited_total;
                        break;
                    }
                }
                read += got.value();
                if (last ? (got.value() == 0 || read >= kDiscardLimit)
                         : (got.value() < kReadBatch || !(Instant::now() < deadline))) {
                    break;  // a flooded bus is not read past the deadline
                }
            }
        }
    };
    while (awaited_total > 0) {
        read_arrived(false);
        if (awaited_total == 0) break;
        if (deadline.remaining_from(Instant::now()).total_nanos_saturated() < 1000) {
            read_arrived(true);
            break;
        }

        CanTransport** set = wait_on;
        if (bus_n > kReadBatch) {
            wait_many.resize(bus_n);
            set = wait_many.data();
        }
        std::size_t n = 0;
        for (std::size_t b = 0; b < bus_n; ++b) {
            if (awaited[b] > 0) set[n++] = buses[b];
        }
        Result<Unit, TransportError> woke = waiter.wait(set, n, deadline);
        if (!woke.ok()) {
            for (std::size_t b = 0; b < bus_n; ++b) {
                if (awaited[b] > 0) fail_awaited(b, woke.error());
            }
            break;
        }
    }
    return results;
}

}  // namespace rotalink::damiao
