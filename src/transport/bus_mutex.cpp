#include "transport/bus_mutex.hpp"

#include "support/panic.hpp"

namespace rotalink::transport {
namespace {

// One per thread: its address names the thread.
thread_local char t_thread_tag;

}  // namespace

void BusMutex::init() {
    pthread_mutexattr_t attr;
    inherits_ = false;
    if (pthread_mutexattr_init(&attr) == 0) {
        inherits_ = pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT) == 0 &&
                    pthread_mutex_init(&mutex_, &attr) == 0;
        pthread_mutexattr_destroy(&attr);
    }
    if (!inherits_) ROTALINK_ASSERT(pthread_mutex_init(&mutex_, nullptr) == 0, "a mutex cannot be made");
}

BusMutex::BusMutex() { init(); }

BusMutex::~BusMutex() { pthread_mutex_destroy(&mutex_); }

void BusMutex::lock() {
    ROTALINK_ASSERT(pthread_mutex_lock(&mutex_) == 0, "the bus lock cannot be taken");
    owner_.store(&t_thread_tag, std::memory_order_relaxed);
}

bool BusMutex::try_lock() {
    if (pthread_mutex_trylock(&mutex_) != 0) return false;
    owner_.store(&t_thread_tag, std::memory_order_relaxed);
    return true;
}

void BusMutex::unlock() {
    owner_.store(nullptr, std::memory_order_relaxed);
    ROTALINK_ASSERT(pthread_mutex_unlock(&mutex_) == 0, "the bus lock cannot be released");
}

BusMutex::AtFork BusMutex::renew_after_fork() {
    const void* owner = owner_.load(std::memory_order_relaxed);
    // Made anew over the old one: destroying a held mutex is undefined, and
    // a priority-inheriting one names its holder by a thread id that is not
    // this thread's in the child.
    init();
    if (owner == nullptr) return AtFork::Free;
    if (owner == &t_thread_tag) {
        ROTALINK_ASSERT(pthread_mutex_lock(&mutex_) == 0, "the bus lock cannot be taken");
        return AtFork::ThisThread;
    }
    owner_.store(nullptr, std::memory_order_relaxed);
    return AtFork::OtherThread;
}

}  // namespace rotalink::transport
