// The native log facade on its own, without Python: level filters, the
// set-once sink slot, the maximum level and the macros.
//
// The sink slot is process-wide and set once, so this binary sets it once,
// before any test, by racing several threads for it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "support/log.hpp"

namespace {

namespace lg = rotalink::log;

struct Copy {
    lg::Level level;
    std::string target, message;
    std::optional<std::string> file;
    std::optional<std::uint32_t> line;
};

class RecordingSink final : public lg::Sink {
public:
    bool enabled(lg::Level, std::string_view target) const noexcept override {
        return target.substr(0, 7) != "muted::";
    }
    void log(const lg::Record& r) noexcept override {
        std::lock_guard<std::mutex> lock(mu_);
        records_.push_back({r.level, std::string(r.target), std::string(r.message),
                            r.file ? std::optional<std::string>(std::string(*r.file)) : std::nullopt,
                            r.line});
    }
    void flush() noexcept override { flushes_.fetch_add(1); }

    std::vector<Copy> take() {
        std::lock_guard<std::mutex> lock(mu_);
        return std::move(records_);
    }
    int flushes() const { return flushes_.load(); }

private:
    mutable std::mutex mu_;
    std::vector<Copy> records_;
    std::atomic<int> flushes_{0};
};

// What the process looked like before any sink was set, and the race.
struct Start {
    bool sink_was_null = false;
    bool max_was_off = false;
    bool enabled_without_sink = true;
    int winners = 0;
    RecordingSink* winner = nullptr;
    std::vector<std::unique_ptr<RecordingSink>> candidates;
};
Start g_start;

class InstallOnce : public ::testing::Environment {
public:
    void SetUp() override {
        g_start.sink_was_null = lg::sink() == nullptr;
        g_start.max_was_off = lg::max_level() == lg::LevelFilter::Off;
        lg::set_max_level(lg::LevelFilter::Trace);
        g_start.enabled_without_sink = lg::enabled(lg::Level::Error, "any");
        lg::log(lg::Level::Error, "any", "dropped: no sink");  // must not crash
        lg::flush();
        lg::set_max_level(lg::LevelFilter::Off);

        constexpr int kRacers = 8;
        std::vector<int> won(kRacers, 0);
        std::vector<std::thread> threads;
        for (int i = 0; i < kRacers; ++i) g_start.candidates.push_back(std::make_unique<RecordingSink>());
        for (int i = 0; i < kRacers; ++i) {
            threads.emplace_back([i, &won] { won[i] = lg::set_sink(*g_start.candidates[i]) ? 1 : 0; });
        }
        for (auto& t : threads) t.join();
        for (int i = 0; i < kRacers; ++i) {
            if (won[i]) {
                ++g_start.winners;
                g_start.winner = g_start.candidates[i].get();
            }
        }
    }
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new InstallOnce);

RecordingSink& sink() {
    EXPECT_NE(g_start.winner, nullptr);
    return *g_start.winner;
}

class LoggingFacade : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(g_start.winner, nullptr);
        sink().take();
    }
    void TearDown() override { lg::set_max_level(lg::LevelFilter::Off); }
};

TEST_F(LoggingFacade, WithoutASinkEverythingIsDropped) {
    EXPECT_TRUE(g_start.sink_was_null);
    EXPECT_TRUE(g_start.max_was_off);
    EXPECT_FALSE(g_start.enabled_without_sink);
}

TEST_F(LoggingFacade, SinkSlotIsSetOncePerProcess) {
    EXPECT_EQ(g_start.winners, 1);
    EXPECT_EQ(lg::sink(), g_start.winner);
    RecordingSink late;
    EXPECT_FALSE(lg::set_sink(late));
    EXPECT_EQ(lg::sink(), g_start.winner);

    lg::set_max_level(lg::LevelFilter::Info);
    lg::log(lg::Level::Info, "slot", "to the first sink");
    EXPECT_EQ(sink().take().size(), 1u);
    EXPECT_TRUE(late.take().empty());
    for (const auto& other : g_start.candidates) {
        if (other.get() != g_start.winner) {
            EXPECT_TRUE(other->take().empty());
        }
    }
}

struct FilterCase {
    lg::LevelFilter max;
    std::vector<lg::Level> reach;  // of Error, Warn, Info, Debug, Trace
};
void PrintTo(const FilterCase& c, std::ostream* os) { *os << lg::level_filter_name(c.max); }

class LoggingFacadeMaxLevel : public LoggingFacade,
                              public ::testing::WithParamInterface<FilterCase> {};

TEST_P(LoggingFacadeMaxLevel, RecordsAboveTheMaximumNeverReachTheSink) {
    const FilterCase& c = GetParam();
    lg::set_max_level(c.max);
    EXPECT_EQ(lg::max_level(), c.max);
    const lg::Level all[] = {lg::Level::Error, lg::Level::Warn, lg::Level::Info, lg::Level::Debug,
                             lg::Level::Trace};
    for (lg::Level l : all) lg::log(l, "filter::case", lg::level_name(l));
    std::vector<lg::Level> got;
    for (const Copy& r : sink().take()) got.push_back(r.level);
    EXPECT_EQ(got, c.reach);
    for (lg::Level l : all) {
        const bool expected = std::find(c.reach.begin(), c.reach.end(), l) != c.reach.end();
        EXPECT_EQ(lg::enabled(l, "filter::case"), expected) << lg::level_name(l);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Filters, LoggingFacadeMaxLevel,
    ::testing::Values(
        FilterCase{lg::LevelFilter::Off, {}},
        FilterCase{lg::LevelFilter::Error, {lg::Level::Error}},
        FilterCase{lg::LevelFilter::Info, {lg::Level::Error, lg::Level::Warn, lg::Level::Info}},
        FilterCase{lg::LevelFilter::Debug,
                   {lg::Level::Error, lg::Level::Warn, lg::Level::Info, lg::Level::Debug}},
        FilterCase{lg::LevelFilter::Trace, {lg::Level::Error, lg::Level::Warn, lg::Level::Info,
                                            lg::Level::Debug, lg::Level::Trace}}),
    [](const auto& info) { return std::string(lg::level_filter_name(info.param.max)); });

TEST_F(LoggingFacade, RecordFieldsReachTheSinkUnchanged) {
    lg::set_max_level(lg::LevelFilter::Trace);
    const std::string message("with\0nul", 8);
    lg::log(lg::Level::Warn, "rotalink::damiao::driver", message, "src/damiao/driver.cpp", 77u);
    lg::log(lg::Level::Trace, "plain", "no location");
    const auto got = sink().take();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].level, lg::Level::Warn);
    EXPECT_EQ(got[0].target, "rotalink::damiao::driver");
    EXPECT_EQ(got[0].message, message);
    EXPECT_EQ(got[0].file, std::optional<std::string>("src/damiao/driver.cpp"));
    EXPECT_EQ(got[0].line, std::optional<std::uint32_t>(77u));
    EXPECT_EQ(got[1].file, std::nullopt);
    EXPECT_EQ(got[1].line, std::nullopt);
}

TEST_F(LoggingFacade, EnabledAsksTheSink) {
    lg::set_max_level(lg::LevelFilter::Debug);
    EXPECT_TRUE(lg::enabled(lg::Level::Debug, "loud::x"));
    EXPECT_FALSE(lg::enabled(lg::Level::Debug, "muted::x"));
    const int before = sink().flushes();
    lg::flush();
    EXPECT_EQ(sink().flushes(), before + 1);
}

TEST_F(LoggingFacade, MacrosFormatOnlyWhatPassesAndRecordTheirLocation) {
    int evaluated = 0;
    auto count = [&evaluated] { return ++evaluated; };
    lg::set_max_level(lg::LevelFilter::Info);
    ROTALINK_LOG_DEBUG("macro::t", "never formatted " << count());
    ROTALINK_LOG_TRACE("macro::t", "never formatted " << count());
    EXPECT_EQ(evaluated, 0);
    const int line = __LINE__ + 1;
    ROTALINK_LOG_INFO("macro::t", "id=" << 0x12 << " temp=" << 31.5 << " n=" << count());
    ROTALINK_LOG_ERROR("macro::t", "e");
    ROTALINK_LOG_WARN("macro::t", "w");
    EXPECT_EQ(evaluated, 1);
    const auto got = sink().take();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].level, lg::Level::Info);
    EXPECT_EQ(got[0].message, "id=18 temp=31.5 n=1");
    ASSERT_TRUE(got[0].file.has_value());
    EXPECT_NE(got[0].file->find("test_log.cpp"), std::string::npos) << *got[0].file;
    EXPECT_EQ(got[0].line, std::optional<std::uint32_t>(static_cast<std::uint32_t>(line)));
    EXPECT_EQ(got[1].level, lg::Level::Error);
    EXPECT_EQ(got[2].level, lg::Level::Warn);
}

TEST_F(LoggingFacade, ConcurrentRecordsAllArrive) {
    lg::set_max_level(lg::LevelFilter::Debug);
    constexpr int kThreads = 4, kEach = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) {
                ROTALINK_LOG_DEBUG("conc", t << ":" << i);
                ROTALINK_LOG_TRACE("conc", "dropped");
            }
        });
    }
    for (auto& th : threads) th.join();
    const auto got = sink().take();
    EXPECT_EQ(got.size(), static_cast<size_t>(kThreads * kEach));
    std::vector<int> per(kThreads, 0);
    for (const Copy& r : got) {
        ASSERT_EQ(r.level, lg::Level::Debug);
        ++per[std::stoi(r.message)];
    }
    for (int n : per) EXPECT_EQ(n, kEach);
}

}  // namespace
