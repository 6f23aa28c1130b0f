// The mutex of a bus lock (and of a control loop's state): a pthread mutex
// with priority inheritance, which knows which thread holds it.
//
// Priority inheritance: while a thread of a real-time policy (a SCHED_FIFO
// control loop) waits for the lock, the thread that holds it runs at the
// waiter's priority, so that a thread of normal priority holding the bus
// cannot be kept off the processor by others while the loop waits. Where
// the system refuses the protocol (a kernel or emulator without
// priority-inheriting futexes) the mutex is a plain one.
//
// It is Lockable: std::lock_guard, std::unique_lock and try_lock work on it.
#pragma once

#include <pthread.h>

#include <atomic>

namespace rotalink::transport {

class BusMutex {
public:
    BusMutex();
    ~BusMutex();
    BusMutex(const BusMutex&) = delete;
    BusMutex& operator=(const BusMutex&) = delete;

    void lock();
    bool try_lock();
    void unlock();

    // Whether the mutex was made with priority inheritance.
    bool inherits_priority() const { return inherits_; }

    // Who held the mutex when the process forked, as seen by the child.
    enum class AtFork { Free, ThisThread, OtherThread };
    // In the child of a fork(), before any other use: makes the mutex a new
    // one, held by this thread if this thread (the one that forked) held
    // it, else free, and says who held it. A thread that held it in the
    // parent does not exist here and would never release it.
    AtFork renew_after_fork();

private:
    void init();

    pthread_mutex_t mutex_;
    bool inherits_ = false;
    // The holding thread (the address of a thread-local object, which the
    // forking thread keeps in the child), or null: set once the mutex is
    // taken and cleared before it is released.
    std::atomic<const void*> owner_{nullptr};
};

}  // namespace rotalink::transport
