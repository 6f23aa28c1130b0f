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

// A full transmit queue (ENOBUFS) or a full send buffer (EAGAIN): both
// drain as the bus takes frames.
bool no_buffer_space(const TransportError& e) {
    if (e.kind() != TransportError::Kind::Backend) return false;
    const int code = e.io().code;
    return code == ENOBUFS || code == EAGAIN || code == EWOULDBLOCK;
}

bool interrupted(const TransportError& e) {
    return e.kind() == TransportError::Kind::Backend && e.io().code == EINTR;
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

// Why member i's command of kind k may not go out on its bus, or "".
std::string refusal(const std::vector<GroupMember>& members, std::size_t i, std::size_t k) {
    const std::uint32_t id = control_id(members[i].motor.motor_id, k);
    if (id >= kRegisterId) return {};  // make_control refuses it, with its reason
    const std::string head = std::string("the ") + kCommandKinds[k].mode_name + " command identifier " +
                             id_text(id) + " of member " + std::to_string(i);
    for (std::size_t j = 0; j < members.size(); ++j) {
        if (members[j].bus != members[i].bus) continue;
        if (reply_id(members[j].motor.master_id).value == id) {
            return head + " is the reply identifier of member " + std::to_string(j) + " on the same bus";
        }
        if (j == i) continue;
        for (std::size_t other = 0; other < kCommandKindCount; ++other) {
            if (control_id(members[j].motor.motor_id, other) == id) {
                return head + " is the " + kCommandKinds[other].mode_name + " command identifier of member " +
                       std::to_string(j) + " on the same bus";
            }
        }
    }
    return {};
}

// A command of a kind that sets no position (VEL) cannot be bounded in
// position by clamping its fields: its velocity is set to 0 when it would
// move a joint that was last measured at `position` further past q_min or
// q_max. The bound so holds to within one period's travel.
bool sets_position(std::size_t kind) {
    const CommandKind& k = kCommandKinds[kind];
    for (std::size_t f = 0; f < k.field_count; ++f) {
        if (k.fields[f].role == Role::Position) return true;
    }
    return false;
}

bool hold_inside(Setpoint& s, const JointLimits& limits, float position) {
    if (sets_position(s.kind)) return false;
    const CommandKind& k = kCommandKinds[s.kind];
    bool moved = false;
    for (std::size_t f = 0; f < k.field_count; ++f) {
        if (k.fields[f].role != Role::Velocity) continue;
        float& v = s.values[f];
        if ((v > 0.0f && position >= limits.q_max) || (v < 0.0f && position <= limits.q_min)) {
            v = 0.0f;
            moved = true;
        }
    }
    return moved;
}

// Feedback carrying motor id `got`, not motor `m`'s (m.motor_id & 0xF).
Error foreign_feedback(const Damiao& m, std::uint8_t got) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "the feedback from reply identifier %s carries motor id 0x%x, not this member's 0x%x "
                  "(motor_id 0x%x & 0xf): another motor answers from this master identifier",
                  id_text(reply_id(m.master_id).value).c_str(), static_cast<unsigned>(got),
                  static_cast<unsigned>(m.motor_id & 0xFu), static_cast<unsigned>(m.motor_id));
    return Error::failure(text);
}

}  // namespace

std::string identifier_clash(const std::vector<GroupMember>& members) {
    for (std::size_t i = 0; i < members.size(); ++i) {
        const std::uint32_t cmd_i = command_id(members[i].motor.motor_id).value;
        const std::uint32_t reply_i = reply_id(members[i].motor.master_id).value;
        if (cmd_i == kRegisterId || reply_i == kRegisterId) {
            return std::string(cmd_i == kRegisterId ? "the command" : "the reply") + " identifier " +
                   id_text(kRegisterId) + " of member " + std::to_string(i) + " is the register identifier";
        }
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

std::string member_name(std::size_t i, std::uint16_t motor_id) {
    char name[48];
    std::snprintf(name, sizeof name, "member %zu (motor_id=0x%x)", i, static_cast<unsigned>(motor_id));
    return name;
}

std::string member_name(const std::vector<GroupMember>& members, std::size_t i) {
    return member_name(i, members[i].motor.motor_id);
}

std::size_t StopReport::failed() const {
    std::size_t n = 0;
    for (char s : stopped) n += s ? 0 : 1;
    return n;
}

std::string StopReport::reason(std::size_t i) const {
    if (stopped[i]) return {};
    if (results[i].ok()) {
        return "still reports " + status_text(results[i].value().error) + " after " + std::to_string(sent[i]) +
               (sent[i] == 1 ? " disable" : " disables");
    }
    return results[i].error().message();
}

std::string StopReport::member_failure(const std::vector<GroupMember>& members, std::size_t i) const {
    if (stopped[i]) return {};
    return member_name(members, i) + (results[i].ok() ? " " : ": ") + reason(i);
}

std::string StopReport::failure(const std::vector<GroupMember>& members) const {
    std::string out;
    for (std::size_t i = 0; i < stopped.size(); ++i) {
        if (stopped[i]) continue;
        out += (out.empty() ? "" : "; ") + member_failure(members, i);
    }
    return out;
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
    bounds_.resize(members_.size());
    for (std::size_t i = 0; i < members_.size(); ++i) {
        if (!members_[i].joint) continue;
        for (std::size_t k = 0; k < kCommandKindCount; ++k) bounds_[i].push_back(field_bounds(*members_[i].joint, k));
    }
    clamped_.assign(members_.size(), 0);
    moved_.assign(members_.size(), 0);
    last_.resize(members_.size());
    refused_.resize(members_.size());
    for (std::size_t i = 0; i < members_.size(); ++i) {
        for (std::size_t k = 0; k < kCommandKindCount; ++k) refused_[i][k] = refusal(members_, i, k);
    }
    known_.reset(new std::atomic<std::uint8_t>[members_.size()]);
    for (std::size_t i = 0; i < members_.size(); ++i) known_[i].store(kMitKind, std::memory_order_relaxed);
}

void MotorGroup::know_kind(std::size_t i, std::size_t kind) const {
    ROTALINK_ASSERT(i < members_.size() && kind < kCommandKindCount, "a known mode of no member or no kind");
    known_[i].store(static_cast<std::uint8_t>(kind), std::memory_order_relaxed);
}

std::vector<CanFrame> MotorGroup::special_on_modes(std::uint8_t command, std::vector<char>& has) const {
    has.assign(members_.size(), 0);
    std::vector<CanFrame> frames = special(command);
    for (std::size_t k = 0; k < send_order_.size(); ++k) {
        const std::size_t i = send_order_[k];
        const std::size_t kind = known_kind(i);
        if (kind == kMitKind || !refused_[i][kind].empty()) continue;
        std::optional<CanFrame> frame = make_special_for(members_[i].motor.motor_id, command, kind);
        if (!frame) continue;
        frames[k] = with_kind(std::move(*frame), fd_);
        has[i] = 1;
    }
    return frames;
}

Result<std::vector<CanFrame>, MotorGroup::Refusal> MotorGroup::control(
    const Setpoint* setpoints, const std::optional<mit::MotorState>* positions) const {
    if (positions == nullptr) positions = last_.data();
    std::vector<CanFrame> frames;
    frames.reserve(send_order_.size());
    bool any_moved = false;
    for (std::size_t i : send_order_) {
        Setpoint s = setpoints[i];
        ROTALINK_ASSERT(s.kind < kCommandKindCount, "a setpoint of no command kind");
        const std::string& why = refused_[i][s.kind];
        if (!why.empty()) return err(Refusal{i, Error::invalid_command(why)});
        if (!bounds_[i].empty()) {
            moved_[i] = clamp(s, bounds_[i][s.kind]);
            if (positions[i]) moved_[i] = hold_inside(s, *members_[i].joint, positions[i]->position) || moved_[i];
            any_moved = any_moved || moved_[i];
        }
        const Damiao& d = members_[i].motor;
        CanFrame& frame = frames.emplace_back();
        std::optional<Error> refused = write_control(frame, d.motor_id, d.limits, s);
        if (refused) return err(Refusal{i, std::move(*refused)});
        frame.fd = fd_;
        frame.brs = fd_;
    }
    if (any_moved) {
        for (std::size_t i = 0; i < members_.size(); ++i) {
            clamped_[i] += moved_[i] ? 1 : 0;
            moved_[i] = 0;
        }
    }
    for (std::size_t i = 0; i < members_.size(); ++i) know_kind(i, setpoints[i].kind);
    return frames;
}

void MotorGroup::remember(const std::vector<MemberResult>& results) const {
    ROTALINK_ASSERT(results.size() == members_.size(), "one result per group member");
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (results[i].ok()) last_[i] = results[i].value();
    }
}

std::optional<MotorGroup::Refusal> MotorGroup::hold_refused(float kp, float kd) const {
    for (std::size_t i : send_order_) {
        if (!refused_[i][kMitKind].empty()) return Refusal{i, Error::invalid_command(refused_[i][kMitKind])};
        const Damiao& d = members_[i].motor;
        Result<CanFrame, Error> frame = make_control(d.motor_id, d.limits, from_mit({0.0f, 0.0f, kp, kd, 0.0f}));
        if (!frame.ok()) return Refusal{i, std::move(frame).error()};
    }
    return std::nullopt;
}

Result<std::vector<CanFrame>, MotorGroup::Refusal> MotorGroup::hold(float kp, float kd) const {
    std::vector<Setpoint> setpoints(members_.size());
    for (std::size_t i = 0; i < members_.size(); ++i) {
        ROTALINK_ASSERT(last_[i].has_value(), "a hold needs every member's position");
        setpoints[i] = from_mit(mit::MitSetpoint{last_[i]->position, 0.0f, kp, kd, 0.0f});
    }
    return control(setpoints);
}

std::vector<CanFrame> MotorGroup::refresh() const {
    std::vector<CanFrame> frames;
    frames.reserve(send_order_.size());
    for (std::size_t i : send_order_) frames.push_back(with_kind(make_refresh(members_[i].motor.motor_id), fd_));
    return frames;
}

void MotorGroup::write_motions(const std::vector<Setpoint>& setpoints, std::vector<CanFrame>& frames) const {
    for (std::size_t k = 0; k < send_order_.size(); ++k) {
        const std::size_t i = send_order_[k];
        if (bounds_[i].empty()) {
            write_motion(frames[k], members_[i].motor.limits, setpoints[i]);
            continue;
        }
        Setpoint s = setpoints[i];
        clamp(s, bounds_[i][s.kind]);
        write_motion(frames[k], members_[i].motor.limits, s);
    }
}

std::size_t MotorGroup::hold_velocities(const std::vector<Setpoint>& setpoints,
                                        const std::vector<std::optional<mit::MotorState>>& last,
                                        std::vector<CanFrame>& frames) const {
    std::size_t held = 0;
    for (std::size_t k = 0; k < send_order_.size(); ++k) {
        const std::size_t i = send_order_[k];
        if (bounds_[i].empty() || sets_position(setpoints[i].kind)) continue;
        // Made again each cycle from the setpoint as given, so that a
        // velocity held at 0 comes back once the joint is inside again.
        Setpoint s = setpoints[i];
        clamp(s, bounds_[i][s.kind]);
        if (last[i] && hold_inside(s, *members_[i].joint, last[i]->position)) ++held;
        const Damiao& d = members_[i].motor;
        if (write_control(frames[k], d.motor_id, d.limits, s)) continue;  // made once already: never refused
        frames[k].fd = fd_;
        frames[k].brs = fd_;
    }
    return held;
}

std::vector<CanFrame> MotorGroup::special(std::uint8_t command) const {
    std::vector<CanFrame> frames;
    frames.reserve(send_order_.size());
    for (std::size_t i : send_order_) frames.push_back(with_kind(make_special(members_[i].motor.motor_id, command), fd_));
    return frames;
}

void MotorGroup::fail_awaited(Cycle& c, std::size_t b, const TransportError& e) const {
    for (std::size_t k = bus_begin_[b]; k < c.next_[b]; ++k) {
        if (!c.waiting_[k]) continue;
        c.results_[send_order_[k]] = err(Error::transport(e));
        c.waiting_[k] = 0;
        --c.awaited_total_;
    }
    c.awaited_[b] = 0;
}

void MotorGroup::fail_unsent(Cycle& c, std::size_t b, const TransportError& e) const {
    for (std::size_t k = c.next_[b]; k < bus_begin_[b + 1]; ++k) c.results_[send_order_[k]] = err(Error::transport(e));
    c.next_[b] = bus_begin_[b + 1];
}

void MotorGroup::start(Cycle& c, CanTransport* const* buses, const std::vector<CanFrame>& frames,
                       const char* skip) const {
    ROTALINK_ASSERT(frames.size() == send_order_.size(), "one frame per group member");
    const std::size_t bus_n = bus_count();
    c.results_.assign(members_.size(), MemberResult(err(Error::transport(TransportError::timeout()))));
    c.next_.assign(bus_begin_.begin(), bus_begin_.end() - 1);
    c.awaited_.assign(bus_n, 0);
    c.waiting_.assign(members_.size(), 0);
    c.full_.resize(bus_n);
    for (auto& f : c.full_) f.reset();
    c.wait_set_.reserve(bus_n);
    c.awaited_total_ = 0;

    // Whether send position k goes out in this cycle.
    const auto sends = [&](std::size_t k) { return skip == nullptr || !skip[send_order_[k]]; };

    // 1. Discard what is already queued.
    CanFrame buf[kReadBatch];
    for (std::size_t b = 0; b < bus_n; ++b) {
        std::size_t first = bus_begin_[b];
        while (first < bus_begin_[b + 1] && !sends(first)) ++first;
        if (first == bus_begin_[b + 1]) continue;  // nothing to send on this bus
        std::size_t discarded = 0;
        while (discarded < kDiscardLimit) {
            Result<std::size_t, TransportError> got = buses[b]->try_recv(buf, kReadBatch);
            if (!got.ok()) {
                fail_unsent(c, b, got.error());
                break;
            }
            discarded += got.value();
            if (got.value() < kReadBatch) break;
        }
    }

    // 2. Send, each bus in one batch (one per run of members sent, when some
    // are left out); a full queue is retried as it drains,
    // for at most the time-out from the moment it was found full.
    Instant send_limit{};
    bool found_full = false;
    for (;;) {
        bool any_full = false;
        for (std::size_t b = 0; b < bus_n; ++b) {
            const std::size_t end = bus_begin_[b + 1];
            // The bus's next run of positions to send, one batch each.
            for (;;) {
                while (c.next_[b] < end && !sends(c.next_[b])) ++c.next_[b];
                if (c.next_[b] >= end) break;
                std::size_t run = c.next_[b];
                while (run < end && sends(run)) ++run;
                transport::BatchSent sent = buses[b]->send_batch(frames.data() + c.next_[b], run - c.next_[b]);
                for (std::size_t k = c.next_[b]; k < c.next_[b] + sent.sent; ++k) c.waiting_[k] = 1;
                c.next_[b] += sent.sent;
                c.awaited_[b] += sent.sent;
                c.awaited_total_ += sent.sent;
                if (!sent.error) continue;
                if (no_buffer_space(*sent.error)) {
                    c.full_[b] = std::move(sent.error);
                    any_full = true;
                } else {
                    fail_unsent(c, b, *sent.error);
                }
                break;
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
                if (c.next_[b] < bus_begin_[b + 1]) fail_unsent(c, b, *c.full_[b]);
            }
            break;
        }
        pause_until(kRetryPause, send_limit);
    }

    // 3 runs until one deadline.
    c.deadline_ = Instant::now().saturating_add(timeout_);
}

// Reads what has arrived on the awaited buses. A short batch usually means
// the bus is empty for now, and the wait tells when more comes; at the
// deadline (`last`) each bus is read until it is empty (at most
// kDiscardLimit frames), so that whatever arrived in time counts.
void MotorGroup::read_arrived(Cycle& c, CanTransport* const* buses, bool last) const {
    std::vector<std::size_t>& awaited = c.awaited_;
    std::vector<char>& waiting = c.waiting_;
    const Instant deadline = c.deadline_;
    CanFrame buf[kReadBatch];
    for (std::size_t b = 0; b < bus_count(); ++b) {
        std::size_t read = 0;
        while (awaited[b] > 0) {
            Result<std::size_t, TransportError> got = buses[b]->try_recv(buf, kReadBatch);
            if (!got.ok()) {
                fail_awaited(c, b, got.error());
                break;
            }
            for (std::size_t f = 0; f < got.value() && awaited[b] > 0; ++f) {
                // A member's reply is the first frame that is its feedback
                // (`is_feedback`): from its reply identifier, and neither a
                // remote request, an error frame, nor its register reply or
                // write echo, which come from the same identifier.
                if (buf[f].id.kind != transport::IdKind::Standard) continue;
                const std::uint32_t from = buf[f].id.value;
                for (std::size_t k = bus_begin_[b]; k < bus_begin_[b + 1]; ++k) {
                    if (reply_of_[k] != from || !waiting[k]) continue;
                    const std::size_t i = send_order_[k];
                    const Damiao& m = members_[i].motor;
                    if (!is_feedback(buf[f], m.motor_id, m.master_id)) break;
                    MemberResult& r = c.results_[i] = parse_feedback(m.limits, buf[f]);
                    if (r.ok() && r.value().motor_id != (m.motor_id & 0xFu)) {
                        r = err(foreign_feedback(m, r.value().motor_id));
                    }
                    waiting[k] = 0;
                    --awaited[b];
                    --c.awaited_total_;
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
}

MotorGroup::Progress MotorGroup::collect(Cycle& c, CanTransport* const* buses, transport::BusWaiter& waiter) const {
    const std::size_t bus_n = bus_count();
    while (c.awaited_total_ > 0) {
        read_arrived(c, buses, false);
        if (c.awaited_total_ == 0) break;
        if (c.deadline_.remaining_from(Instant::now()).total_nanos_saturated() < 1000) {
            read_arrived(c, buses, true);
            break;
        }
        c.wait_set_.clear();
        for (std::size_t b = 0; b < bus_n; ++b) {
            if (c.awaited_[b] > 0) c.wait_set_.push_back(buses[b]);
        }
        Result<Unit, TransportError> woke = waiter.wait(c.wait_set_.data(), c.wait_set_.size(), c.deadline_);
        if (!woke.ok()) {
            if (interrupted(woke.error())) return Progress::Interrupted;
            for (std::size_t b = 0; b < bus_n; ++b) {
                if (c.awaited_[b] > 0) fail_awaited(c, b, woke.error());
            }
            break;
        }
    }
    return Progress::Done;
}

MotorGroup::Progress MotorGroup::locked_step(transport::SharedBus* const* buses, Cycle& c,
                                             const std::vector<CanFrame>& frames, const char* skip, bool begin,
                                             transport::BusWaiter& waiter) const {
    Progress progress = Progress::Done;
    const auto step = [&](CanTransport* const* ts) {
        if (begin) start(c, ts, frames, skip);
        progress = collect(c, ts, waiter);
    };
    if (skip == nullptr) {
        transport::SharedBus::locked_all(buses, bus_count(), [&](CanTransport* const* ts, std::size_t) { step(ts); });
        return progress;
    }
    // The buses of the members sent, and where each is in the group's order.
    std::vector<transport::SharedBus*> lock_set;
    std::vector<std::size_t> bus_of;
    for (std::size_t b = 0; b < bus_count(); ++b) {
        for (std::size_t k = bus_begin_[b]; k < bus_begin_[b + 1]; ++k) {
            if (skip[send_order_[k]]) continue;
            lock_set.push_back(buses[b]);
            bus_of.push_back(b);
            break;
        }
    }
    transport::SharedBus::locked_all(lock_set.data(), lock_set.size(), [&](CanTransport* const* ts, std::size_t n) {
        std::vector<CanTransport*> all(bus_count(), nullptr);
        for (std::size_t k = 0; k < n; ++k) all[bus_of[k]] = ts[k];
        step(all.data());
    });
    return progress;
}

}  // namespace rotalink::damiao
