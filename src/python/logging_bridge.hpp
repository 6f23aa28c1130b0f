// The bridge from the native log facade (support/log.hpp) to Python's
// `logging`: `Logger`, the facade's sink in this module.
//
// Each record that passes the bridge's filters goes to the Python logger
// named after its target ("::" becomes "."), as a LogRecord made by that
// logger's makeRecord and passed to its handle. Python loggers are cached
// per target together with the level filter sampled from them, so that a
// record below that filter is dropped without the interpreter lock and
// without any Python call.
//
// The cache is a tree of immutable nodes, one level per target segment. Its
// root is read with an atomic load and replaced by compare-and-swap; every
// update copies the nodes along one path (copy-on-write) and happens with the
// GIL held. No node that was ever published is freed while its Logger lives:
// replaced roots are retired into the Logger, so the Python references in the
// tree are only ever released with the GIL held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/log.hpp"

namespace rotalink::py::logging_bridge {

// The number of a level in Python's `logging`: Error 40, Warn 30, Info 20,
// Debug 10, Trace 5.
int python_level(log::Level level) noexcept;

// The Python logger name of a target: every "::" replaced by ".".
std::string logger_name(std::string_view target);

// A cached Python logger and the level filter sampled from it. Holds one
// strong reference, released with the GIL held when the entry is destroyed.
struct CacheEntry {
    CacheEntry(PyObject* logger, log::LevelFilter filter) noexcept;  // takes a new reference
    ~CacheEntry();
    CacheEntry(const CacheEntry&) = delete;
    CacheEntry& operator=(const CacheEntry&) = delete;

    PyObject* const logger;
    const log::LevelFilter filter;
};

// One node of the cache. Never changed once published.
struct CacheNode {
    std::shared_ptr<const CacheEntry> entry;  // may be empty
    std::map<std::string, std::shared_ptr<const CacheNode>, std::less<>> children;
};

// The node reached by walking `root` along the segments of `target`, or
// nullptr when a segment has no child (even if an ancestor holds an entry).
const CacheNode* lookup(const CacheNode& root, std::string_view target) noexcept;

// A new root: the nodes of `root` (may be nullptr: empty) along the path of
// `target` copied, missing ones created without entries, and `entry` put at
// the last one. `root` itself is not changed.
std::shared_ptr<const CacheNode> store_to_cache(const CacheNode* root, std::string_view target,
                                                std::shared_ptr<const CacheEntry> entry);

class Logger final : public log::Sink {
public:
    // Imports Python's `logging`; top filter Debug; empty cache. GIL held.
    // An import failure is an internal fault whose message is "Failed to
    // initialize python logging: " and a description of the Python error.
    static std::unique_ptr<Logger> create();
    // GIL held; not concurrently with any other call.
    ~Logger() override;

    log::LevelFilter top_filter() const noexcept { return top_filter_; }

    // Lock-free: no GIL, no Python call.
    bool enabled(log::Level level, std::string_view target) const noexcept override;
    // Forwards one record to Python. Any thread; takes the GIL itself (only
    // once the record has passed the filters). Python exceptions are printed
    // to sys.stderr and cleared, never passed on; an exception pending on the
    // calling thread is kept.
    void log(const log::Record& record) noexcept override;
    void flush() noexcept override {}

    // The current root of the cache (a snapshot).
    std::shared_ptr<const CacheNode> cache_root() const noexcept;

    // Publishes `desired` if the root is still `expected`; GIL held. On
    // success the old root is retired; on a lost race `desired` is dropped
    // (with the GIL held) and false is returned.
    bool publish(const std::shared_ptr<const CacheNode>& expected,
                 std::shared_ptr<const CacheNode> desired);

    // Empties the cache; GIL held.
    void reset_cache();

private:
    Logger() = default;
    bool enabled_inner(log::Level level, const CacheNode* node) const noexcept;
    void forward(const log::Record& record, const CacheNode* node);
    void cache(std::string_view target, PyObject* logger);
    void retire_locked(std::shared_ptr<const CacheNode> root) noexcept;

    log::LevelFilter top_filter_ = log::LevelFilter::Debug;
    PyObject* logging_ = nullptr;  // the `logging` module
    PyObject* get_logger_ = nullptr;  // interned method names
    PyObject* is_enabled_for_ = nullptr;
    PyObject* make_record_ = nullptr;
    PyObject* handle_ = nullptr;

    std::shared_ptr<const CacheNode> root_ = std::make_shared<CacheNode>();
    std::mutex retired_lock_;  // serialises updates of root_ and retired_
    std::vector<std::shared_ptr<const CacheNode>> retired_;
};

// Empties the cache of an installed Logger (GIL held). Valid as long as the
// Logger lives; an installed Logger lives until the process ends.
class ResetHandle {
public:
    explicit ResetHandle(Logger& logger) noexcept : logger_(&logger) {}
    void reset() const { logger_->reset_cache(); }

private:
    Logger* logger_;
};

// Puts `logger` into the facade's sink slot and sets the facade's maximum
// level to its top filter. Fails, destroying `logger` (GIL held), when a sink
// is set already.
std::optional<ResetHandle> install(std::unique_ptr<Logger> logger);

// Creates a Logger and installs it; GIL held. Failure is an internal fault.
ResetHandle init();

}  // namespace rotalink::py::logging_bridge
