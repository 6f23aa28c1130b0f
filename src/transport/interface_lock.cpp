#include "transport/interface_lock.hpp"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

#include "support/fork_registry.hpp"
#include "transport/can.hpp"

namespace rotalink::transport {

struct InterfaceLock::Held {
    std::string iface;
    int fd = -1;
    bool writable = false;  // the pid is written only into a file opened for writing
    support::ForkRegistry<Held>::Entry entry;

    // In a forked child: the copy of the descriptor is closed, which leaves
    // the parent's lock as it is (unlocking would release it).
    bool mend_after_fork() {
        if (fd >= 0) ::close(fd);
        fd = -1;
        return false;
    }
};

namespace {

using Registry = support::ForkRegistry<InterfaceLock::Held>;

// The kernel's rule for an interface's name, less ':' (an alias).
bool plain_name(const std::string& name) {
    if (name.empty() || name.size() > 15 || name == "." || name == "..") return false;
    for (char c : name) {
        if (c == '/' || c == ':' || c == '\0' || c == ' ' || (c >= '\t' && c <= '\r')) return false;
    }
    return true;
}

bool writable_dir(const char* dir) { return dir != nullptr && dir[0] == '/' && ::access(dir, W_OK) == 0; }

std::string lock_dir() {
    if (writable_dir("/run/lock")) return "/run/lock";
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (writable_dir(runtime)) return runtime;
    return "/tmp";
}

// The pid the holder wrote into the lock file, if it names a live process;
// 0 otherwise.
long holder_pid(int fd) {
    char buf[24];
    const ssize_t n = ::pread(fd, buf, sizeof buf, 0);
    if (n <= 0) return 0;
    long pid = 0;
    ssize_t i = 0;
    for (; i < n && buf[i] >= '0' && buf[i] <= '9' && pid < 100000000; ++i) pid = pid * 10 + (buf[i] - '0');
    if (i == 0 || (i < n && buf[i] != '\n') || pid <= 0 || pid >= 100000000) return 0;
    const bool alive = ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
    return alive ? pid : 0;
}

// Makes the lock file say `text`. The pid only serves messages: a failure
// leaves the lock as it is.
void set_text(int fd, const std::string& text) {
    if (::ftruncate(fd, 0) == 0 && !text.empty()) {
        const ssize_t written = ::pwrite(fd, text.data(), text.size(), 0);
        (void)written;
    }
}

InterfaceLockError held_by(const std::string& iface, long pid) {
    return {InterfaceLockError::Kind::Held,
            iface + " is driven by " + (pid > 0 ? "pid " + std::to_string(pid) : std::string("another process"))};
}

InterfaceLockError io_error(const std::string& path, int code) {
    return {InterfaceLockError::Kind::Io, "cannot lock " + path + ": " + IoError::from_errno(code).text()};
}

}  // namespace

std::string InterfaceLock::path_for(const std::string& iface) { return lock_dir() + "/rotalink-" + iface + ".lock"; }

Result<InterfaceLock, InterfaceLockError> InterfaceLock::take(const std::string& iface) {
    if (!plain_name(iface)) {
        return err(InterfaceLockError{InterfaceLockError::Kind::BadName,
                                      "'" + iface + "' is not a plain network interface name"});
    }
    auto held = std::make_unique<Held>();
    held->iface = iface;
    const std::string path = path_for(iface);
    // The registry's mutex is held from the open to the entry: a fork meanwhile
    // would leave the child a descriptor it does not know to close.
    std::unique_lock<std::mutex> registry = Registry::hold();
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    held->writable = fd >= 0;
    // Another user's file: it can be locked, not written.
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return err(io_error(path, errno));
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        const int code = errno;
        InterfaceLockError e = code == EWOULDBLOCK ? held_by(iface, holder_pid(fd)) : io_error(path, code);
        ::close(fd);
        return err(std::move(e));
    }
    held->fd = fd;
    if (held->writable) set_text(fd, std::to_string(::getpid()) + "\n");
    Registry::enter(registry, held.get(), held->entry);
    return InterfaceLock(std::move(held));
}

InterfaceLock::InterfaceLock(std::unique_ptr<Held> held) : held_(std::move(held)) {}

InterfaceLock::InterfaceLock(InterfaceLock&& other) noexcept = default;

InterfaceLock& InterfaceLock::operator=(InterfaceLock&& other) noexcept {
    if (this != &other) {
        release();
        held_ = std::move(other.held_);
    }
    return *this;
}

InterfaceLock::~InterfaceLock() { release(); }

const std::string& InterfaceLock::iface() const {
    static const std::string none;
    return held_ ? held_->iface : none;
}

void InterfaceLock::release() noexcept {
    if (!held_) return;
    {
        std::unique_lock<std::mutex> registry = Registry::hold();
        Registry::leave(registry, held_->entry);
        if (held_->fd >= 0) {
            if (held_->writable) set_text(held_->fd, "");
            ::flock(held_->fd, LOCK_UN);
            ::close(held_->fd);
            held_->fd = -1;
        }
    }
    held_.reset();
}

}  // namespace rotalink::transport
