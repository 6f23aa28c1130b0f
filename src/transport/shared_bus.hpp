// A transport behind the bus lock: one whole driver operation at a time.
//
// An internal fault (a Panic) that breaks off an operation while the lock is
// held poisons the lock for good: every later operation fails with a fault
// before it runs. Ordinary errors are values and never poison it.
//
// The lock is a BusMutex: a waiting real-time thread lends the holder its
// priority. In the child of a fork() every bus lock is made anew; a bus
// whose lock another thread of the parent held at the fork (its transport
// may have been mid-operation) is poisoned in the child, with a message
// that says so. A lock the forking thread itself held stays held by it.
#pragma once

#include <algorithm>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "support/fork_registry.hpp"
#include "support/panic.hpp"
#include "transport/bus_mutex.hpp"
#include "transport/can.hpp"

namespace rotalink::transport {

class SharedBus {
public:
    // Why a poisoned bus refuses every operation.
    static constexpr const char* kFaultPoison =
        "the bus lock is poisoned by an earlier internal fault; open a new bus";
    static constexpr const char* kForkPoison =
        "the bus lock was held by another thread when the process forked; open a new bus in the child";

    explicit SharedBus(std::unique_ptr<CanTransport> transport) : transport_(std::move(transport)) {
        Registry::enter(this, entry_);
    }
    ~SharedBus() { Registry::leave(entry_); }
    SharedBus(const SharedBus&) = delete;
    SharedBus& operator=(const SharedBus&) = delete;

    // Runs `op(transport)` with the lock held and returns what it returns.
    template <class Op>
    decltype(auto) locked(Op&& op) {
        std::unique_lock<BusMutex> lock(mutex_);
        return run_held(lock, std::forward<Op>(op));
    }

    // As `locked`, for a caller that must not wait for the bus lock while it
    // holds another lock (the binding holds the interpreter lock). The bus
    // lock is tried without waiting; while it is busy, `release_while(wait)`
    // must give up what the caller holds, call `wait()` (which returns once
    // the bus lock has been free for a moment; it holds nothing when it
    // returns), take back what it gave up, and the bus lock is tried again.
    // So the caller never waits for the bus lock holding its own lock, and
    // never takes its own lock back holding the bus lock.
    template <class ReleaseWhile, class Op>
    decltype(auto) locked_releasing(ReleaseWhile&& release_while, Op&& op) {
        std::unique_lock<BusMutex> lock(mutex_, std::try_to_lock);
        while (!lock.owns_lock()) {
            release_while([this] { std::lock_guard<BusMutex> until_free(mutex_); });
            lock.try_lock();
        }
        return run_held(lock, std::forward<Op>(op));
    }

    // The interface the transport was opened on ("" for none); fixed for
    // the transport's life, so read without the lock.
    const std::string& iface() const { return transport_->iface(); }

    bool poisoned() const { return poison_reason() != nullptr; }
    // kFaultPoison or kForkPoison, or null while the bus works.
    const char* poison_reason() const {
        std::lock_guard<BusMutex> lock(mutex_);
        return poison_;
    }
    // Whether the bus lock inherits priority (BusMutex).
    bool inherits_priority() const { return mutex_.inherits_priority(); }

    // Runs `op(transports, n)` with the locks of every bus in `buses` (n
    // distinct buses) held; `transports[i]` is the transport of `buses[i]`.
    // The locks are taken in one global order, by address, so that callers
    // locking overlapping sets never deadlock. If any bus is poisoned, the
    // locks taken are released and the call faults before `op` runs; a
    // fault that breaks off `op` poisons every one of them.
    template <class Op>
    static decltype(auto) locked_all(SharedBus* const* buses, std::size_t n, Op&& op) {
        // Room for the usual number of buses without allocating.
        constexpr std::size_t kFew = 8;
        SharedBus* order_few[kFew];
        CanTransport* transports_few[kFew];
        std::unique_lock<BusMutex> held_few[kFew];
        std::vector<SharedBus*> order_many;
        std::vector<CanTransport*> transports_many;
        std::vector<std::unique_lock<BusMutex>> held_many;
        SharedBus** order = order_few;
        CanTransport** transports = transports_few;
        std::unique_lock<BusMutex>* held = held_few;
        if (n > kFew) {
            order_many.resize(n);
            transports_many.resize(n);
            held_many.resize(n);
            order = order_many.data();
            transports = transports_many.data();
            held = held_many.data();
        }
        std::copy(buses, buses + n, order);
        std::sort(order, order + n, std::less<SharedBus*>());
        for (std::size_t i = 0; i < n; ++i) {
            held[i] = std::unique_lock<BusMutex>(order[i]->mutex_);
            if (const char* poison = order[i]->poison_) {
                for (std::size_t k = 0; k <= i; ++k) held[k].unlock();
                ROTALINK_PANIC(poison);
            }
        }
        for (std::size_t i = 0; i < n; ++i) transports[i] = buses[i]->transport_.get();
        struct PoisonAll {
            SharedBus* const* buses;
            std::size_t n;
            int in_flight = std::uncaught_exceptions();
            ~PoisonAll() {
                if (std::uncaught_exceptions() > in_flight) {
                    for (std::size_t i = 0; i < n; ++i) buses[i]->poison_ = kFaultPoison;
                }
            }
        } poison{order, n};
        return std::forward<Op>(op)(static_cast<CanTransport* const*>(transports), n);
    }

private:
    template <class Op>
    decltype(auto) run_held(std::unique_lock<BusMutex>& lock, Op&& op) {
        if (const char* poison = poison_) {
            lock.unlock();
            ROTALINK_PANIC(poison);
        }
        Poisoner poisoner{*this};
        return std::forward<Op>(op)(*transport_);
    }

    // Sets the poisoned flag if the operation is left by an exception that
    // was not already in flight when the lock was taken.
    struct Poisoner {
        SharedBus& bus;
        int in_flight = std::uncaught_exceptions();
        ~Poisoner() {
            if (std::uncaught_exceptions() > in_flight) bus.poison_ = kFaultPoison;
        }
    };

    using Registry = support::ForkRegistry<SharedBus>;
    friend Registry;
    // In a forked child: the lock made anew, the bus poisoned if another
    // thread held it. Buses stay in the registry.
    bool mend_after_fork() {
        if (mutex_.renew_after_fork() == BusMutex::AtFork::OtherThread && poison_ == nullptr) {
            poison_ = kForkPoison;
        }
        return true;
    }

    mutable BusMutex mutex_;
    const char* poison_ = nullptr;  // why the bus is poisoned; null while it works
    std::unique_ptr<CanTransport> transport_;
    Registry::Entry entry_;
};

}  // namespace rotalink::transport
