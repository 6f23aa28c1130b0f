// The bus lock: one operation at a time, its value handed back, and the
// poisoning by an internal fault that no ordinary error causes; its priority
// inheritance and its state in the child of a fork. The interface's lock
// between processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "memory_transport.hpp"
#include "support/panic.hpp"
#include "transport/interface_lock.hpp"
#include "transport/shared_bus.hpp"

namespace rotalink::test {
namespace {

using transport::CanTransport;
using transport::SharedBus;

struct Bus {
    MemoryTransport* memory;
    std::unique_ptr<SharedBus> shared;
};

Bus make_bus() {
    auto memory = std::make_unique<MemoryTransport>();
    MemoryTransport* raw = memory.get();
    return {raw, std::make_unique<SharedBus>(std::move(memory))};
}

// Runs `fn` on another thread and reports whether it finished within
// `limit`; a call that never returns (a lock never released) fails the test
// instead of hanging it.
template <class Fn>
bool finishes_within(std::chrono::seconds limit, Fn fn) {
    auto task = std::make_shared<std::packaged_task<void()>>(std::move(fn));
    std::future<void> done = task->get_future();
    std::thread t([task] { (*task)(); });
    if (done.wait_for(limit) != std::future_status::ready) {
        t.detach();
        return false;
    }
    t.join();
    done.get();
    return true;
}

TEST(SharedBus, RunsTheOperationOnItsTransportAndReturnsItsValue) {
    Bus bus = make_bus();
    bus.memory->queue(make_frame(CanId::standard(0x011), {1, 2, 3}));

    CanTransport* seen = nullptr;
    auto got = bus.shared->locked([&seen](CanTransport& t) {
        seen = &t;
        return t.recv(Duration::from_millis(1));
    });
    EXPECT_EQ(seen, bus.memory);
    ASSERT_TRUE(got.ok());
    EXPECT_TRUE(same_frame(got.value(), make_frame(CanId::standard(0x011), {1, 2, 3})));

    EXPECT_EQ(bus.shared->locked([](CanTransport&) { return 42; }), 42);
    EXPECT_EQ(bus.shared->locked([](CanTransport&) { return std::string("value"); }), "value");
    EXPECT_FALSE(bus.shared->poisoned());
}

TEST(SharedBus, OrdinaryErrorsDoNotPoison) {
    Bus bus = make_bus();
    bus.memory->fail_send(TransportError::invalid_id());

    for (int i = 0; i < 3; ++i) {
        auto sent = bus.shared->locked([](CanTransport& t) { return t.send(make_frame(CanId::standard(1), {})); });
        ASSERT_FALSE(sent.ok());
        EXPECT_EQ(sent.error().kind(), TransportError::Kind::InvalidId);
        auto read = bus.shared->locked([](CanTransport& t) { return t.recv(Duration::from_millis(1)); });
        ASSERT_FALSE(read.ok());
        EXPECT_EQ(read.error().kind(), TransportError::Kind::Timeout);
    }
    EXPECT_FALSE(bus.shared->poisoned());
    EXPECT_EQ(bus.memory->send_calls(), 3u);
    EXPECT_EQ(bus.memory->recv_calls(), 3u);
}

TEST(SharedBus, PanicPoisonsForGood) {
    Bus bus = make_bus();
    EXPECT_FALSE(bus.shared->poisoned());

    try {
        bus.shared->locked([](CanTransport&) -> int { ROTALINK_PANIC("broken invariant"); });
        FAIL() << "the fault did not reach the caller";
    } catch (const Panic& p) {
        EXPECT_EQ(p.message, "broken invariant");
    }
    EXPECT_TRUE(bus.shared->poisoned());

    // Every later operation fails before it runs, and each releases the
    // lock: the calls after the first do not block.
    int ran = 0;
    const bool finished = finishes_within(std::chrono::seconds(10), [&bus, &ran] {
        for (int i = 0; i < 3; ++i) {
            try {
                bus.shared->locked([&ran](CanTransport&) { return ++ran; });
                ADD_FAILURE() << "a poisoned bus ran an operation";
            } catch (const Panic& p) {
                EXPECT_NE(p.message.find("poisoned"), std::string::npos) << p.message;
            }
        }
    });
    ASSERT_TRUE(finished) << "an operation on a poisoned bus never returned";
    EXPECT_EQ(ran, 0);
    EXPECT_EQ(bus.memory->recv_calls(), 0u);
    EXPECT_TRUE(bus.shared->poisoned());
}

TEST(SharedBus, OperationRunDuringAnUnwindDoesNotPoison) {
    // An operation that completes normally while an unrelated exception is
    // already unwinding (here from a destructor) leaves the bus unpoisoned.
    Bus bus = make_bus();
    int ran = 0;
    struct RunsOnUnwind {
        SharedBus& shared;
        int& ran;
        ~RunsOnUnwind() { shared.locked([this](CanTransport&) { return ++ran; }); }
    };
    try {
        RunsOnUnwind guard{*bus.shared, ran};
        throw std::runtime_error("unrelated");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(ran, 1);
    EXPECT_FALSE(bus.shared->poisoned());
    EXPECT_EQ(bus.shared->locked([](CanTransport&) { return 7; }), 7);
}

TEST(SharedBus, ContendingThreadsNeverInterleave) {
    Bus bus = make_bus();
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    long total = 0;  // touched only under the lock

    const bool finished = finishes_within(std::chrono::seconds(60), [&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < kRounds; ++i) {
                    bus.shared->locked([&](CanTransport&) {
                        if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
                        const long before = total;
                        if (i % 64 == 0) std::this_thread::yield();
                        total = before + 1;
                        inside.fetch_sub(1);
                        return 0;
                    });
                }
            });
        }
        for (std::thread& th : threads) th.join();
    });
    ASSERT_TRUE(finished) << "the contending threads did not finish";
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(total, long{kThreads} * kRounds);
    EXPECT_FALSE(bus.shared->poisoned());
}

// A caller that must not wait holding its own lock: while the bus is busy it
// gives its lock up around the wait, and takes it back with the bus free.
TEST(SharedBus, BusyLockIsAwaitedOnlyWithTheCallersLockReleased) {
    Bus bus = make_bus();
    int releases = 0;
    auto release_while = [&](auto wait) {
        ++releases;
        wait();
    };
    EXPECT_EQ(bus.shared->locked_releasing(release_while, [](CanTransport&) { return 1; }), 1);
    EXPECT_EQ(releases, 0);  // a free bus is taken at once

    std::promise<void> holding;
    std::promise<void> let_go;
    std::thread holder([&] {
        bus.shared->locked([&](CanTransport&) {
            holding.set_value();
            let_go.get_future().wait();
        });
    });
    holding.get_future().wait();
    bool bus_free_after_wait = false;
    auto releasing = [&](auto wait) {
        if (++releases == 1) let_go.set_value();
        wait();
        // The caller takes its own lock back here: the bus lock is not held.
        bus_free_after_wait =
            finishes_within(std::chrono::seconds(10), [&] { bus.shared->locked([](CanTransport&) {}); });
    };
    EXPECT_EQ(bus.shared->locked_releasing(releasing, [](CanTransport&) { return 2; }), 2);
    holder.join();
    EXPECT_GE(releases, 1);
    EXPECT_TRUE(bus_free_after_wait);
}

TEST(SharedBus, PanicInOneThreadStopsTheOthers) {
    Bus bus = make_bus();
    std::atomic<int> ran_after{0};
    std::atomic<int> refused{0};

    try {
        bus.shared->locked([](CanTransport&) -> int { ROTALINK_PANIC("fault"); });
    } catch (const Panic&) {
    }

    const bool finished = finishes_within(std::chrono::seconds(10), [&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t) {
            threads.emplace_back([&] {
                try {
                    bus.shared->locked([&](CanTransport&) { return ran_after.fetch_add(1); });
                } catch (const Panic&) {
                    refused.fetch_add(1);
                }
            });
        }
        for (std::thread& th : threads) th.join();
    });
    ASSERT_TRUE(finished);
    EXPECT_EQ(ran_after.load(), 0);
    EXPECT_EQ(refused.load(), 3);
}

TEST(SharedBus, OverlappingLockSetsInAnyOrderNeverDeadlock) {
    Bus a = make_bus(), b = make_bus(), c = make_bus();
    SharedBus* one[] = {a.shared.get(), b.shared.get(), c.shared.get()};
    SharedBus* two[] = {c.shared.get(), a.shared.get()};
    std::atomic<int> inside{0};
    std::atomic<int> ready{0};
    auto cycles = [&](SharedBus* const* set, std::size_t n) {
        return [&, set, n] {
            ready.fetch_add(1);
            while (ready.load() < 2) std::this_thread::yield();
            // A contended priority-inheriting lock is handed to its waiter
            // through the kernel, a switch each time: enough rounds to
            // interleave, few enough for a loaded machine.
            for (int i = 0; i < 2000; ++i) {
                SharedBus::locked_all(set, n, [&](CanTransport* const* ts, std::size_t k) {
                    EXPECT_EQ(inside.fetch_add(1), 0);  // the sets share buses: never both inside
                    EXPECT_EQ(ts[0], set == one ? static_cast<CanTransport*>(a.memory) : c.memory);
                    std::this_thread::yield();
                    inside.fetch_sub(1);
                    return k;
                });
            }
        };
    };
    std::thread other(cycles(two, 2));
    const bool finished = finishes_within(std::chrono::seconds(60), cycles(one, 3));
    EXPECT_TRUE(finished) << "deadlock";
    if (finished) {
        other.join();
    } else {
        other.detach();
    }
}

// Waits until thread `tid` sleeps in the kernel (here: for a lock), at most
// `limit`.
bool sleeps_within(long tid, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    while (std::chrono::steady_clock::now() < end) {
        std::ifstream f(path);
        const std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        const auto paren = stat.rfind(')');
        if (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'S') return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// The set {hi, lo} is locked from lo, whatever order it is given in: while
// lo is held elsewhere, its caller waits holding nothing, so a thread that
// holds lo can still take hi (taken in the order given, that would deadlock).
TEST(SharedBus, LockSetIsTakenInAddressOrder) {
    Bus a = make_bus(), b = make_bus();
    const bool a_first = std::less<SharedBus*>()(a.shared.get(), b.shared.get());
    SharedBus* lo = a_first ? a.shared.get() : b.shared.get();
    SharedBus* hi = a_first ? b.shared.get() : a.shared.get();
    SharedBus* given[] = {hi, lo};
    std::atomic<bool> took_hi{false};
    bool hi_was_free = false;
    std::thread setter, other;
    lo->locked([&](CanTransport&) {
        std::atomic<long> tid{0};
        setter = std::thread([&] {
            tid = static_cast<long>(syscall(SYS_gettid));
            SharedBus::locked_all(given, 2, [](CanTransport* const*, std::size_t) {});
        });
        while (tid.load() == 0) std::this_thread::yield();
        ASSERT_TRUE(sleeps_within(tid.load(), std::chrono::seconds(10)));  // waiting for a lock
        other = std::thread([&] { hi->locked([&](CanTransport&) { took_hi = true; }); });
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!took_hi && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        hi_was_free = took_hi;
    });
    // lo is free now: both threads finish, whichever order the set took.
    if (setter.joinable()) setter.join();
    if (other.joinable()) other.join();
    EXPECT_TRUE(hi_was_free) << "the set held hi while it waited for lo";
}

TEST(SharedBus, LockingAPoisonedSetFaultsAndALeftFaultPoisonsEveryBus) {
    Bus a = make_bus(), b = make_bus(), c = make_bus();
    SharedBus* ab[] = {a.shared.get(), b.shared.get()};
    EXPECT_THROW(SharedBus::locked_all(ab, 2, [](CanTransport* const*, std::size_t) -> int { ROTALINK_PANIC("broken"); }),
                 Panic);
    EXPECT_TRUE(a.shared->poisoned());
    EXPECT_TRUE(b.shared->poisoned());
    SharedBus* bc[] = {b.shared.get(), c.shared.get()};
    bool ran = false;
    EXPECT_THROW(SharedBus::locked_all(bc, 2, [&](CanTransport* const*, std::size_t) { ran = true; }), Panic);
    EXPECT_FALSE(ran);
    // c was not poisoned and its lock was released.
    EXPECT_FALSE(c.shared->poisoned());
    EXPECT_EQ(c.shared->locked([](CanTransport&) { return 7; }), 7);
}

// ------------------------------------------------- priority inheritance

// Whether the system makes priority-inheriting mutexes at all (a kernel or
// an emulator may refuse them).
bool system_inherits_priority() {
    pthread_mutexattr_t attr;
    pthread_mutex_t m;
    if (pthread_mutexattr_init(&attr) != 0) return false;
    const bool made = pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT) == 0 &&
                      pthread_mutex_init(&m, &attr) == 0;
    if (made) pthread_mutex_destroy(&m);
    pthread_mutexattr_destroy(&attr);
    return made;
}

// The priority thread `tid` runs at now, boosts included (field 18 of its
// stat): 20 at the normal policy's nice 0, below 0 at a real-time policy.
long running_priority(long tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 18; ++i) fields >> field;  // fields 3 to 18
    return std::stol(field);
}

// A real-time thread waiting for the bus lock lends its priority to the
// thread of normal priority that holds it.
TEST(BusMutex, AWaitingRealTimeThreadRaisesTheHolder) {
    Bus bus = make_bus();
    ASSERT_EQ(bus.shared->inherits_priority(), system_inherits_priority());
    if (!bus.shared->inherits_priority()) GTEST_SKIP() << "the system makes no priority-inheriting mutex";
    const long me = static_cast<long>(syscall(SYS_gettid));
    const long normal = running_priority(me);
    ASSERT_GE(normal, 0);
    std::promise<bool> real_time;
    bool fifo = false;
    std::thread waiter;
    long raised = normal;
    bus.shared->locked([&](CanTransport&) {
        waiter = std::thread([&] {
            const sched_param param{10};
            const bool ok = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
            real_time.set_value(ok);
            if (ok) bus.shared->locked([](CanTransport&) {});
        });
        fifo = real_time.get_future().get();
        if (!fifo) return;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while ((raised = running_priority(me)) >= 0 && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    waiter.join();
    if (!fifo) GTEST_SKIP() << "this process may not make a SCHED_FIFO thread";
    EXPECT_LT(raised, 0) << "the holder kept priority " << raised << " while a SCHED_FIFO thread waited";
    EXPECT_EQ(running_priority(me), normal);  // given back with the lock
}

// ------------------------------------------------------------- fork()

// Waits for child `pid` at most `limit`: its exit status, or -1 when it
// did not end in time (it is killed: a hang fails instead of hanging).
int child_status(pid_t pid, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// In a child: ends it with the status `body()` returns (100 for anything
// thrown), running none of the parent's exit handlers.
template <class Body>
[[noreturn]] void end_child(Body body) {
    int code = 100;
    try {
        code = body();
    } catch (...) {
    }
    _exit(code);
}

// In a forked child: 0 when the bus is poisoned with `reason` (null: works)
// and its operations fault (or run) at once; another number says what
// differed.
int check_bus_in_child(SharedBus& bus, const char* reason) {
    const char* poison = bus.poison_reason();
    if ((poison == nullptr) != (reason == nullptr) || (poison != nullptr && std::string(poison) != reason)) return 1;
    try {
        if (bus.locked([](CanTransport&) { return 7; }) != 7 || reason != nullptr) return 2;
    } catch (const Panic& p) {
        if (reason == nullptr || p.message != reason) return 3;
    }
    return 0;
}

// Every bus lock is made anew in the child of a fork: the child never waits
// for a thread it does not have. A bus that another thread was using at the
// fork is poisoned there; one the forking thread held is still its own.
TEST(SharedBusFork, TheChildNeverWaitsForALockHeldAtTheFork) {
    enum class Holder { None, OtherThread, ForkingThread };
    struct Case {
        const char* name;
        Holder holder;
        const char* reason;  // the poison in the child
    };
    const Case cases[] = {
        {"free", Holder::None, nullptr},
        {"held by another thread", Holder::OtherThread, SharedBus::kForkPoison},
        {"held by the forking thread", Holder::ForkingThread, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bus bus = make_bus();
        std::promise<void> holding, let_go;
        std::thread holder;
        if (c.holder == Holder::OtherThread) {
            holder = std::thread([&] {
                bus.shared->locked([&](CanTransport&) {
                    holding.set_value();
                    let_go.get_future().wait();
                });
            });
            holding.get_future().wait();
        }
        pid_t pid = -1;
        if (c.holder == Holder::ForkingThread) {
            // The child goes on with the operation and leaves it as usual.
            bus.shared->locked([&](CanTransport&) { pid = fork(); });
        } else {
            pid = fork();
        }
        if (pid == 0) end_child([&] { return check_bus_in_child(*bus.shared, c.reason); });
        ASSERT_GT(pid, 0);
        EXPECT_EQ(child_status(pid, std::chrono::seconds(20)), 0);
        if (holder.joinable()) {
            let_go.set_value();
            holder.join();
        }
        // The parent's bus is as it was.
        EXPECT_EQ(check_bus_in_child(*bus.shared, nullptr), 0);
    }
}

// -------------------------------------------------- the interface's lock

using transport::InterfaceLock;
using transport::InterfaceLockError;

// An interface name of this process alone, so that tests running at the
// same time on the machine do not meet; its lock file is removed after.
struct TestIface {
    std::string name = "rlt" + std::to_string(getpid());
    ~TestIface() { unlink(InterfaceLock::path_for(name).c_str()); }
};

// One byte from one process to another, through a pipe.
struct Note {
    int fds[2] = {-1, -1};
    Note() { EXPECT_EQ(pipe(fds), 0); }
    ~Note() {
        close(fds[0]);
        close(fds[1]);
    }
    bool send(char c) { return write(fds[1], &c, 1) == 1; }
    // The byte sent, or 0 when none can come.
    char wait() {
        char c = 0;
        return read(fds[0], &c, 1) == 1 ? c : 0;
    }
};

std::string held_by(const std::string& iface, long pid) { return iface + " is driven by pid " + std::to_string(pid); }

TEST(InterfaceLock, OnlyPlainInterfaceNamesAreTaken) {
    for (const char* name : {"", ".", "..", "a/b", "../x", "can0:1", "sp ace", "tab\tx", "sixteen-chars-xx"}) {
        auto lock = InterfaceLock::take(name);
        ASSERT_FALSE(lock.ok()) << name;
        EXPECT_EQ(lock.error().kind, InterfaceLockError::Kind::BadName);
        EXPECT_EQ(lock.error().message, "'" + std::string(name) + "' is not a plain network interface name");
    }
    EXPECT_EQ(InterfaceLock::path_for("can0").substr(InterfaceLock::path_for("can0").rfind('/')), "/rotalink-can0.lock");
}

// Within one process: one holder at a time, the pid in the file, released
// by the holder's end (a moved lock is still the one lock).
TEST(InterfaceLock, OneHolderInTheProcessUntilItEnds) {
    TestIface iface;
    {
        auto first = InterfaceLock::take(iface.name);
        ASSERT_TRUE(first.ok()) << first.error().message;
        EXPECT_EQ(first.value().iface(), iface.name);
        std::ifstream file(InterfaceLock::path_for(iface.name));
        const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        EXPECT_EQ(text, std::to_string(getpid()) + "\n");

        auto second = InterfaceLock::take(iface.name);
        ASSERT_FALSE(second.ok());
        EXPECT_EQ(second.error().kind, InterfaceLockError::Kind::Held);
        EXPECT_EQ(second.error().message, held_by(iface.name, getpid()));

        InterfaceLock moved = std::move(first).value();
        EXPECT_EQ(first.value().iface(), "");
        EXPECT_FALSE(InterfaceLock::take(iface.name).ok());
    }
    auto again = InterfaceLock::take(iface.name);
    ASSERT_TRUE(again.ok()) << again.error().message;
}

// Between processes: a child is refused while its parent holds the lock,
// and does not keep it alive once the parent has ended; the parent is
// refused while a child holds it, with the child's pid, or without a pid
// when the file says none.
TEST(InterfaceLock, OneHolderAmongProcesses) {
    TestIface iface;
    const pid_t parent = getpid();
    auto taken = InterfaceLock::take(iface.name);
    ASSERT_TRUE(taken.ok()) << taken.error().message;
    std::optional<InterfaceLock> lock(std::move(taken).value());

    pid_t pid = fork();
    if (pid == 0) {
        end_child([&] {
            auto refused = InterfaceLock::take(iface.name);
            return !refused.ok() && refused.error().message == held_by(iface.name, parent) ? 0 : 1;
        });
    }
    EXPECT_EQ(child_status(pid, std::chrono::seconds(20)), 0);

    lock.reset();

    // A holder that ends without releasing (as if killed) while a child it
    // forked lives on: the lock ends with the holder.
    Note forked, go;
    pid = fork();
    if (pid == 0) {
        end_child([&] {
            auto mine = InterfaceLock::take(iface.name);
            if (fork() == 0) {
                end_child([&] { return forked.send('g') && go.wait() ? 0 : 1; });  // past fork() here
            }
            if (mine.ok()) _exit(0);  // ends holding it
            return 1;
        });
    }
    EXPECT_EQ(child_status(pid, std::chrono::seconds(20)), 0);
    EXPECT_EQ(forked.wait(), 'g');
    {
        auto retaken = InterfaceLock::take(iface.name);
        EXPECT_TRUE(retaken.ok()) << "a forked child kept the lock: " << retaken.error().message;
    }
    EXPECT_TRUE(go.send('x'));

    // A child holds it: refused with its pid, then without one once the file
    // is emptied, and free when the child has ended.
    Note held, let_go;
    pid = fork();
    if (pid == 0) {
        end_child([&] {
            auto mine = InterfaceLock::take(iface.name);
            return held.send(mine.ok() ? 'y' : 'n') && let_go.wait() && mine.ok() ? 0 : 1;
        });
    }
    EXPECT_EQ(held.wait(), 'y');
    // The child is let go whatever these find.
    const auto refusal = [&] {
        auto refused = InterfaceLock::take(iface.name);
        return refused.ok() ? std::string("taken") : refused.error().message;
    };
    EXPECT_EQ(refusal(), held_by(iface.name, pid));
    const int emptied = open(InterfaceLock::path_for(iface.name).c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    EXPECT_GE(emptied, 0);
    close(emptied);
    EXPECT_EQ(refusal(), iface.name + " is driven by another process");
    EXPECT_TRUE(let_go.send('x'));
    EXPECT_EQ(child_status(pid, std::chrono::seconds(20)), 0);
    EXPECT_TRUE(InterfaceLock::take(iface.name).ok());
}

}  // namespace
}  // namespace rotalink::test
