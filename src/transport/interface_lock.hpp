// The advisory lock of a CAN interface: one driver of an interface at a
// time, across processes and within one.
//
// Two programs commanding the same motors through one interface would
// interleave their commands; a program that means to drive an interface
// (a motor group's scope) takes its lock first and is refused while
// another holds it. Advisory: programs that do not take it are not
// stopped, and the kernel lets any process open the interface.
//
// The lock is an exclusive flock() on the file `rotalink-IFACE.lock` in the
// first writable of /run/lock, $XDG_RUNTIME_DIR and /tmp (processes whose
// environments lead to different directories do not see each other's
// locks; /run/lock is writable by every user on Debian). The holder writes
// its pid into the file, which a refused taker reads for its message, and
// empties it on release; the file itself stays.
//
// flock() locks belong to an open file description, and descriptions of
// one file opened apart conflict even within one process: a second take in
// the process that holds the lock is refused as any other, with its own
// pid. The descriptor is opened with O_CLOEXEC, so a program started by
// exec does not inherit it. The child of a fork() shares the description,
// and would keep the lock alive after the parent ended: the child closes
// its copies at the fork, without unlocking (which would release the
// parent's lock), and holds no interface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "support/result.hpp"

namespace rotalink::transport {

struct InterfaceLockError {
    enum class Kind : std::uint8_t {
        Held,     // "vcan0 is driven by pid N" ("... by another process" when
                  // the holder's pid cannot be read)
        BadName,  // not a plain interface name
        Io,       // the lock file could not be opened or locked
    };
    Kind kind;
    std::string message;
};

class InterfaceLock {
public:
    // Takes the lock of interface `iface` without waiting. The name must be
    // a plain interface name: 1 to 15 bytes, not "." or "..", without '/',
    // ':' or white space.
    static Result<InterfaceLock, InterfaceLockError> take(const std::string& iface);
    // The lock file of `iface` (a plain interface name), in the directory
    // chosen now.
    static std::string path_for(const std::string& iface);

    InterfaceLock(InterfaceLock&& other) noexcept;
    InterfaceLock& operator=(InterfaceLock&& other) noexcept;
    InterfaceLock(const InterfaceLock&) = delete;
    InterfaceLock& operator=(const InterfaceLock&) = delete;
    // Releases the lock.
    ~InterfaceLock();

    // The interface held; "" once moved from.
    const std::string& iface() const;

    struct Held;  // the descriptor and name; internal

private:
    explicit InterfaceLock(std::unique_ptr<Held> held);
    void release() noexcept;

    std::unique_ptr<Held> held_;
};

}  // namespace rotalink::transport
