// The process-wide native log facade.
//
// Native code forms a record (level, target, message, optional source file
// and line) and hands it to the facade, which passes it to the one sink of
// the process. The sink slot is set once; until then, and for every record
// above the process-wide maximum level, records are dropped. The facade knows
// nothing of Python: the module installs a sink that forwards to Python's
// `logging` (python/logging_bridge.hpp).
//
//     ROTALINK_LOG_DEBUG("rotalink::damiao::driver", "reply from " << id);
//
// The message expression of the macros is only evaluated when the level
// passes the maximum level.
#pragma once

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

namespace rotalink::log {

// Record levels, most severe first.
enum class Level : std::uint8_t { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// Level filters, in order: a record passes a filter when its level comes no
// later than the filter. Off passes nothing, Trace passes everything.
enum class LevelFilter : std::uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

constexpr bool passes(Level level, LevelFilter filter) noexcept {
    return static_cast<std::uint8_t>(level) <= static_cast<std::uint8_t>(filter);
}

constexpr LevelFilter as_filter(Level level) noexcept {
    return static_cast<LevelFilter>(static_cast<std::uint8_t>(level));
}

// Lower-case names: "error", "warn", "info", "debug", "trace" ("off").
const char* level_name(Level level) noexcept;
const char* level_filter_name(LevelFilter filter) noexcept;

// One record. The views refer to the caller's data and are valid for the
// duration of the call to the sink only.
struct Record {
    Level level;
    std::string_view target;  // module path with "::" separators
    std::string_view message;
    std::optional<std::string_view> file;
    std::optional<std::uint32_t> line;
};

// The receiver of every record that passes the maximum level. A sink may be
// called from any thread, concurrently.
class Sink {
public:
    virtual ~Sink() = default;
    virtual bool enabled(Level level, std::string_view target) const noexcept = 0;
    virtual void log(const Record& record) noexcept = 0;
    virtual void flush() noexcept = 0;
};

// Puts `sink` into the process's sink slot. The slot can be set once per
// process: returns false, and leaves the slot unchanged, when a sink is set
// already (or is being set by another thread). The sink must live until the
// process ends; the facade never destroys it.
bool set_sink(Sink& sink) noexcept;

// The installed sink, or nullptr.
Sink* sink() noexcept;

// The process-wide maximum level; Off until set.
void set_max_level(LevelFilter filter) noexcept;
LevelFilter max_level() noexcept;

// Whether a record of `level` passes the maximum level (cheap; no sink call).
inline bool level_enabled(Level level) noexcept { return passes(level, max_level()); }

// Whether the sink would take a record of `level` for `target`.
bool enabled(Level level, std::string_view target) noexcept;

// Hands one record to the sink, unless its level is above the maximum level
// or no sink is set.
void log(const Record& record) noexcept;
void log(Level level, std::string_view target, std::string_view message,
         std::optional<std::string_view> file = std::nullopt,
         std::optional<std::uint32_t> line = std::nullopt) noexcept;

void flush() noexcept;

}  // namespace rotalink::log

// `expr` is a stream expression: ROTALINK_LOG_INFO("a::b", "x=" << x).
#define ROTALINK_LOG(level, target, expr)                                              \
    do {                                                                               \
        if (::rotalink::log::level_enabled(level)) {                                   \
            std::ostringstream rotalink_log_text_;                                     \
            rotalink_log_text_ << expr;                                                \
            ::rotalink::log::log((level), (target), rotalink_log_text_.str(), __FILE__, \
                                 static_cast<std::uint32_t>(__LINE__));                \
        }                                                                              \
    } while (0)

#define ROTALINK_LOG_ERROR(target, expr) ROTALINK_LOG(::rotalink::log::Level::Error, target, expr)
#define ROTALINK_LOG_WARN(target, expr) ROTALINK_LOG(::rotalink::log::Level::Warn, target, expr)
#define ROTALINK_LOG_INFO(target, expr) ROTALINK_LOG(::rotalink::log::Level::Info, target, expr)
#define ROTALINK_LOG_DEBUG(target, expr) ROTALINK_LOG(::rotalink::log::Level::Debug, target, expr)
#define ROTALINK_LOG_TRACE(target, expr) ROTALINK_LOG(::rotalink::log::Level::Trace, target, expr)
