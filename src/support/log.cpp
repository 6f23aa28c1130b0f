#include "support/log.hpp"

#include <atomic>

namespace rotalink::log {
namespace {

// Set once, from null to the sink; never cleared.
std::atomic<Sink*> g_sink{nullptr};
std::atomic<std::uint8_t> g_max_level{static_cast<std::uint8_t>(LevelFilter::Off)};

}  // namespace

const char* level_name(Level level) noexcept {
    switch (level) {
        case Level::Error: return "error";
        case Level::Warn: return "warn";
        case Level::Info: return "info";
        case Level::Debug: return "debug";
        case Level::Trace: return "trace";
    }
    return "?";
}

const char* level_filter_name(LevelFilter filter) noexcept {
    if (filter == LevelFilter::Off) return "off";
    return level_name(static_cast<Level>(static_cast<std::uint8_t>(filter)));
}

bool set_sink(Sink& sink) noexcept {
    Sink* expected = nullptr;
    return g_sink.compare_exchange_strong(expected, &sink, std::memory_order_acq_rel,
                                          std::memory_order_acquire);
}

Sink* sink() noexcept { return g_sink.load(std::memory_order_acquire); }

void set_max_level(LevelFilter filter) noexcept {
    g_max_level.store(static_cast<std::uint8_t>(filter), std::memory_order_relaxed);
}

LevelFilter max_level() noexcept {
    return static_cast<LevelFilter>(g_max_level.load(std::memory_order_relaxed));
}

bool enabled(Level level, std::string_view target) noexcept {
    if (!level_enabled(level)) return false;
    Sink* s = sink();
    return s != nullptr && s->enabled(level, target);
}

void log(const Record& record) noexcept {
    if (!level_enabled(record.level)) return;
    if (Sink* s = sink()) s->log(record);
}

void log(Level level, std::string_view target, std::string_view message,
         std::optional<std::string_view> file, std::optional<std::uint32_t> line) noexcept {
    log(Record{level, target, message, file, line});
}

void flush() noexcept {
    if (Sink* s = sink()) s->flush();
}

}  // namespace rotalink::log
