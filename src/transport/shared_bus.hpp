// A transport behind the bus lock: one whole driver operation at a time.
//
// An internal fault (a Panic) that breaks off an operation while the lock is
// held poisons the lock for good: every later operation fails with a fault
// before it runs. Ordinary errors are values and never poison it.
#pragma once

#include <exception>
#include <memory>
#include <mutex>
#include <utility>

#include "support/panic.hpp"
#include "transport/can.hpp"

namespace rotalink::transport {

class SharedBus {
public:
    explicit SharedBus(std::unique_ptr<CanTransport> transport) : transport_(std::move(transport)) {}

    // Runs `op(transport)` with the lock held and returns what it returns.
    template <class Op>
    decltype(auto) locked(Op&& op) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (poisoned_) {
            lock.unlock();
            ROTALINK_PANIC("the bus lock is poisoned by an earlier internal fault; open a new bus");
        }
        Poisoner poisoner{*this};
        return std::forward<Op>(op)(*transport_);
    }

    bool poisoned() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return poisoned_;
    }

private:
    // Sets the poisoned flag if the operation is left by an exception that
    // was not already in flight when the lock was taken.
    struct Poisoner {
        SharedBus& bus;
        int in_flight = std::uncaught_exceptions();
        ~Poisoner() {
            if (std::uncaught_exceptions() > in_flight) bus.poisoned_ = true;
        }
    };

    mutable std::mutex mutex_;
    bool poisoned_ = false;
    std::unique_ptr<CanTransport> transport_;
};

}  // namespace rotalink::transport
