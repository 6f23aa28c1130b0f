// The bridge from the native log facade to Python's `logging`, driven from an
// embedded interpreter. Importing `rotalink` installs the bridge; records are
// emitted through the facade from Python (`emit`) and from native threads
// (`emit_in_threads`), and the bridge's cache is inspected with `cache_info`.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "embedded.hpp"
#include "python/logging_bridge.hpp"
#include "support/log.hpp"

namespace {

namespace lg = rotalink::log;
namespace bridge = rotalink::py::logging_bridge;
using rotalink::testing::expose;
using rotalink::testing::run;

bridge::Logger* installed() { return dynamic_cast<bridge::Logger*>(lg::sink()); }

bool parse_level(const char* name, lg::Level& out) {
    const std::pair<const char*, lg::Level> names[] = {{"error", lg::Level::Error},
                                                       {"warn", lg::Level::Warn},
                                                       {"info", lg::Level::Info},
                                                       {"debug", lg::Level::Debug},
                                                       {"trace", lg::Level::Trace}};
    for (const auto& [text, level] : names) {
        if (std::string(text) == name) {
            out = level;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "unknown level %s", name);
    return false;
}

// emit(level, target, message, file=None, line=None): one record through the
// facade, on the calling (Python) thread. Text arguments may be bytes.
PyObject* py_emit(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"level", "target", "message", "file", "line", nullptr};
    const char* level = nullptr;
    const char *target = nullptr, *message = nullptr, *file = nullptr;
    Py_ssize_t target_len = 0, message_len = 0, file_len = 0;
    PyObject* line = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ss#s#|z#O:emit", const_cast<char**>(keywords),
                                     &level, &target, &target_len, &message, &message_len, &file,
                                     &file_len, &line)) {
        return nullptr;
    }
    lg::Level lvl;
    if (!parse_level(level, lvl)) return nullptr;
    std::optional<std::uint32_t> line_no;
    if (line != Py_None) {
        const unsigned long v = PyLong_AsUnsignedLong(line);
        if (PyErr_Occurred()) return nullptr;
        line_no = static_cast<std::uint32_t>(v);
    }
    std::optional<std::string_view> path;
    if (file != nullptr) path = std::string_view(file, static_cast<size_t>(file_len));
    lg::log(lvl, std::string_view(target, static_cast<size_t>(target_len)),
            std::string_view(message, static_cast<size_t>(message_len)), path, line_no);
    Py_RETURN_NONE;
}

// emit_in_threads(threads, each): native threads log through the facade
// while the calling thread has released the GIL. Each iteration logs a Debug
// and a Trace record to conc::stable, one record of a rotating level to
// conc::churn and a Debug record to one of 64 targets conc::fresh::<k>.
// Returns the number of wrong answers of the facade's `enabled`.
PyObject* py_emit_in_threads(PyObject*, PyObject* args) {
    int threads = 0, each = 0;
    if (!PyArg_ParseTuple(args, "ii", &threads, &each)) return nullptr;
    std::atomic<int> wrong{0};
    Py_BEGIN_ALLOW_THREADS
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([t, each, &wrong] {
            const lg::Level rotating[] = {lg::Level::Error, lg::Level::Warn, lg::Level::Info,
                                          lg::Level::Debug};
            for (int i = 0; i < each; ++i) {
                const std::string text = std::to_string(t) + ":" + std::to_string(i);
                lg::log(lg::Level::Debug, "conc::stable", text, __FILE__, static_cast<std::uint32_t>(i));
                lg::log(lg::Level::Trace, "conc::stable", text);
                lg::log(rotating[i % 4], "conc::churn", text);
                lg::log(lg::Level::Debug, "conc::fresh::" + std::to_string(i % 64), text);
                if (!lg::enabled(lg::Level::Debug, "conc::stable") ||
                    lg::enabled(lg::Level::Trace, "conc::stable")) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& th : pool) th.join();
    Py_END_ALLOW_THREADS
    return PyLong_FromLong(wrong.load());
}

// cache_info(target): None when the installed bridge has no cache node for
// the target, else (filter name or None, logger or None, entry id or 0).
PyObject* py_cache_info(PyObject*, PyObject* arg) {
    Py_ssize_t len = 0;
    const char* target = PyUnicode_AsUTF8AndSize(arg, &len);
    if (target == nullptr) return nullptr;
    bridge::Logger* logger = installed();
    if (logger == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the bridge is not installed");
        return nullptr;
    }
    const auto root = logger->cache_root();
    const bridge::CacheNode* node = bridge::lookup(*root, std::string_view(target, static_cast<size_t>(len)));
    if (node == nullptr) Py_RETURN_NONE;
    if (node->entry == nullptr) return Py_BuildValue("(OOi)", Py_None, Py_None, 0);
    return Py_BuildValue("(sOK)", lg::level_filter_name(node->entry->filter), node->entry->logger,
                         static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(node->entry.get())));
}

// Helpers shared by the Python snippets.
const char* const kPrelude = R"PY(
import logging, sys, threading, time

class Recorder(logging.Handler):
    def __init__(self):
        super().__init__()
        self.records = []
    def emit(self, record):
        self.records.append(record)

def msgs(h):
    return [r.getMessage() for r in h.records]

class Counting(logging.Logger):
    """Records the bridge's calls on it."""
    def __init__(self, name, level=logging.NOTSET):
        super().__init__(name, level)
        self.calls = []
    def isEnabledFor(self, level):
        self.calls.append(("isEnabledFor", level))
        return super().isEnabledFor(level)
    def makeRecord(self, *args, **kwargs):
        self.calls.append(("makeRecord",))
        return super().makeRecord(*args, **kwargs)
    def handle(self, record):
        self.calls.append(("handle",))
        return super().handle(record)

def capture(name, level=logging.DEBUG, cls=None):
    """A new logger of class `cls` at `level`, not propagating, with a Recorder."""
    if cls is not None:
        previous = logging.getLoggerClass()
        logging.setLoggerClass(cls)
    try:
        lg = logging.getLogger(name)
    finally:
        if cls is not None:
            logging.setLoggerClass(previous)
    assert cls is None or type(lg) is cls, "logger %s existed already" % name
    lg.setLevel(level)
    lg.propagate = False
    h = Recorder()
    lg.addHandler(h)
    return lg, h

class Fetches:
    """Counts logging.getLogger calls while active."""
    def __enter__(self):
        self.names = []
        self.real = logging.getLogger
        def counted(name=None):
            self.names.append(name)
            return self.real(name)
        logging.getLogger = counted
        return self
    def __exit__(self, *exc):
        logging.getLogger = self.real

def forget_last_exception():
    for n in ("last_type", "last_value", "last_traceback", "last_exc"):
        sys.__dict__.pop(n, None)

def last_exception_recorded():
    return [n for n in ("last_type", "last_value", "last_traceback", "last_exc") if hasattr(sys, n)]
)PY";

std::string py(const std::string& code) { return run(std::string(kPrelude) + code); }

class LoggingBridge : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        expose("emit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_emit)),
               METH_VARARGS | METH_KEYWORDS);
        expose("emit_in_threads", py_emit_in_threads, METH_VARARGS);
        expose("cache_info", py_cache_info, METH_O);
    }
    void SetUp() override { ASSERT_EQ(run("pass"), ""); }  // imports rotalink
};

// The pending exception's type name and str(), cleared.
std::pair<std::string, std::string> take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* value = PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
#endif
    std::pair<std::string, std::string> out;
    if (value != nullptr) {
        out.first = Py_TYPE(value)->tp_name;
        PyObject* s = PyObject_Str(value);
        if (s != nullptr) out.second = PyUnicode_AsUTF8(s);
        Py_XDECREF(s);
    }
    PyErr_Clear();
    Py_XDECREF(value);
    return out;
}

TEST_F(LoggingBridge, ImportingTheModuleInstallsTheBridge) {
    ASSERT_NE(installed(), nullptr);
    EXPECT_EQ(installed()->top_filter(), lg::LevelFilter::Debug);
    EXPECT_EQ(lg::max_level(), lg::LevelFilter::Debug);
    EXPECT_EQ(py(R"PY(
lg, h = capture("bridge.installed")
emit("info", "bridge::installed", "hello")
assert msgs(h) == ["hello"], msgs(h)
assert not [n for n in dir(rotalink) if "log" in n.lower()], dir(rotalink)
)PY"),
              "");
}

TEST(LoggingBridgeNames, TargetSeparatorsBecomeDots) {
    const std::pair<const char*, const char*> cases[] = {
        {"rotalink::damiao::driver", "rotalink.damiao.driver"},
        {"plain", "plain"},
        {"a:::b", "a.:b"},
        {"::lead::", ".lead."},
        {"", ""},
    };
    for (const auto& [target, name] : cases) EXPECT_EQ(bridge::logger_name(target), name) << target;
}

TEST(LoggingBridgeNames, PythonLevelNumbers) {
    EXPECT_EQ(bridge::python_level(lg::Level::Error), 40);
    EXPECT_EQ(bridge::python_level(lg::Level::Warn), 30);
    EXPECT_EQ(bridge::python_level(lg::Level::Info), 20);
    EXPECT_EQ(bridge::python_level(lg::Level::Debug), 10);
    EXPECT_EQ(bridge::python_level(lg::Level::Trace), 5);
}

// ------------------------------------------------------- record fields

struct FieldCase {
    const char* name;
    const char* emit_args;  // Python arguments of emit(...)
    const char* logger;
    const char* levelno_and_name;  // Python tuple
    const char* pathname;  // Python expression
    const char* lineno;
    const char* message;  // Python expression
};
void PrintTo(const FieldCase& c, std::ostream* os) { *os << c.name; }

class LoggingBridgeFields : public LoggingBridge, public ::testing::WithParamInterface<FieldCase> {};

TEST_P(LoggingBridgeFields, RecordReachesTheNamedLoggerWithItsFields) {
    const FieldCase& c = GetParam();
    const std::string code = std::string("LOGGER = '") + c.logger + "'\n" +
                             "lg, h = capture(LOGGER)\n" + "emit(" + c.emit_args + ")\n" +
                             "EXPECTED = (LOGGER, " + c.levelno_and_name + ", " + c.pathname +
                             ", " + c.lineno + ", " + c.message + ")\n" + R"PY(
assert len(h.records) == 1, msgs(h)
r = h.records[0]
got = (r.name, (r.levelno, r.levelname), r.pathname, r.lineno, r.msg)
assert got == EXPECTED, (got, EXPECTED)
assert r.getMessage() == EXPECTED[-1], r.getMessage()
assert r.args == () and r.exc_info is None, (r.args, r.exc_info)
)PY";
    EXPECT_EQ(py(code), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoggingBridgeFields,
    ::testing::Values(
        FieldCase{"ErrorWithLocation",
                  R"X("error", "rotalink::damiao::driver", "reply timed out", "src/damiao/driver.cpp", 42)X",
                  "rotalink.damiao.driver", "(40, 'ERROR')", "'src/damiao/driver.cpp'", "42",
                  "'reply timed out'"},
        FieldCase{"WarnWithoutLocationKeepsPercentSigns", R"X("warn", "fields::warn", "50% duty %s")X",
                  "fields.warn", "(30, 'WARNING')", "None", "0", "'50% duty %s'"},
        FieldCase{"InfoTargetWithoutSeparator", R"X("info", "fields_flat", "x", file="/abs/path.cpp")X",
                  "fields_flat", "(20, 'INFO')", "'/abs/path.cpp'", "0", "'x'"},
        FieldCase{"DebugLineOnly", R"X("debug", "fields::a::b::c", "t=31 °C", line=7)X",
                  "fields.a.b.c", "(10, 'DEBUG')", "None", "7", "'t=31 °C'"},
        FieldCase{"LargestLine", R"X("warn", "fields::maxline", "m", line=4294967295)X",
                  "fields.maxline", "(30, 'WARNING')", "None", "4294967295", "'m'"},
        FieldCase{"MalformedUtf8IsReplaced", R"X("info", b"fields::bytes", b"bad \xff byte")X",
                  "fields.bytes", "(20, 'INFO')", "None", "0", R"X('bad \ufffd byte')X"}),
    [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------ thresholds

struct ThresholdCase {
    const char* name;
    const char* setup;  // defines `target` and the Recorder `h`
    int debug_records;  // that reach `h` of one Debug record
};
void PrintTo(const ThresholdCase& c, std::ostream* os) { *os << c.name; }

class LoggingBridgeDebug : public LoggingBridge, public ::testing::WithParamInterface<ThresholdCase> {};

TEST_P(LoggingBridgeDebug, DebugIsForwardedWhenTheLoggerAllowsTenAndTraceNever) {
    const ThresholdCase& c = GetParam();
    EXPECT_EQ(py(std::string(c.setup) + "\nEXPECTED = " + std::to_string(c.debug_records) + R"PY(
emit("trace", target, "trace 1")
emit("debug", target, "debug")
emit("trace", target, "trace 2")
assert msgs(h) == ["debug"] * EXPECTED, msgs(h)
)PY"),
              "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoggingBridgeDebug,
    ::testing::Values(
        ThresholdCase{"LoggerAt10", "target = 'dbg::at10'\nlg, h = capture('dbg.at10', 10)", 1},
        ThresholdCase{"LoggerAt11", "target = 'dbg::at11'\nlg, h = capture('dbg.at11', 11)", 0},
        ThresholdCase{"LoggerAt1", "target = 'dbg::at1'\nlg, h = capture('dbg.at1', 1)", 1},
        ThresholdCase{"InheritsDebug",
                      "target = 'dbg::parent10::child'\nlg, h = capture('dbg.parent10', 10)", 1},
        ThresholdCase{"InheritsInfo",
                      "target = 'dbg::parent20::child'\nlg, h = capture('dbg.parent20', 20)", 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoggingBridge, TraceIsRefusedBeforeAnyPythonCallEvenPastTheFacade) {
    ASSERT_EQ(py("lg, h = capture('trace.direct', 1, Counting)\nemit('debug', 'trace::direct', 'cached')"), "");
    ASSERT_NE(installed(), nullptr);
    EXPECT_FALSE(installed()->enabled(lg::Level::Trace, "trace::direct"));
    EXPECT_FALSE(lg::enabled(lg::Level::Trace, "trace::direct"));
    EXPECT_TRUE(installed()->enabled(lg::Level::Debug, "trace::direct"));
    ASSERT_EQ(py("logging.getLogger('trace.direct').calls.clear()"), "");
    // Straight to the sink, past the facade's maximum level.
    installed()->log(lg::Record{lg::Level::Trace, "trace::direct", "trace", std::nullopt, std::nullopt});
    EXPECT_EQ(py(R"PY(
lg = logging.getLogger("trace.direct")
assert lg.calls == [] and msgs(lg.handlers[0]) == ["cached"], (lg.calls, msgs(lg.handlers[0]))
)PY"),
              "");
}

// ------------------------------------------------------------------ cache

TEST_F(LoggingBridge, ThresholdIsSampledOnceAndLoweringItLaterHasNoEffect) {
    EXPECT_EQ(py(R"PY(
lg, h = capture("sampled.warn", logging.WARNING, Counting)
with Fetches() as f:
    emit("info", "sampled::warn", "first")
assert h.records == [], msgs(h)
assert f.names == ["sampled.warn"], f.names
# The record's own check, then the probe from Trace up to the first level allowed.
assert lg.calls == [("isEnabledFor", n) for n in (20, 5, 10, 20, 30)], lg.calls
filt, cached, _ = cache_info("sampled::warn")
assert filt == "warn" and cached is lg, (filt, cached)

lg.setLevel(logging.DEBUG)
lg.calls.clear()
with Fetches() as f:
    emit("info", "sampled::warn", "dropped")
    emit("debug", "sampled::warn", "dropped")
    assert f.names == [] and lg.calls == [], (f.names, lg.calls)
    emit("warn", "sampled::warn", "kept")
    emit("error", "sampled::warn", "kept too")
assert f.names == [], f.names
assert lg.calls == [("isEnabledFor", 30), ("makeRecord",), ("handle",),
                    ("isEnabledFor", 40), ("makeRecord",), ("handle",)], lg.calls
assert msgs(h) == ["kept", "kept too"], msgs(h)
)PY"),
              "");
    ASSERT_NE(installed(), nullptr);
    EXPECT_FALSE(installed()->enabled(lg::Level::Info, "sampled::warn"));
    EXPECT_TRUE(installed()->enabled(lg::Level::Warn, "sampled::warn"));
}

struct SampleCase {
    int python_level;
    const char* filter;
};
void PrintTo(const SampleCase& c, std::ostream* os) { *os << c.python_level; }

class LoggingBridgeSample : public LoggingBridge, public ::testing::WithParamInterface<SampleCase> {};

TEST_P(LoggingBridgeSample, FirstRecordCachesTheFilterFoundByTheProbe) {
    const SampleCase& c = GetParam();
    const std::string n = std::to_string(c.python_level);
    EXPECT_EQ(py("LEVEL, FILTER = " + n + ", '" + c.filter + "'\n" + "target = 'sample::at" + n +
                 "'\nlg, h = capture('sample.at" + n + "', LEVEL)\n" + R"PY(
emit("error", target, "first")
assert msgs(h) == (["first"] if LEVEL <= 40 else []), msgs(h)
assert cache_info(target)[:2] == (FILTER, lg), cache_info(target)
lg.setLevel(1)
for level in ("error", "warn", "info", "debug", "trace"):
    emit(level, target, level)
order = ["off", "error", "warn", "info", "debug", "trace"]
passed = [l for l in order[1:5] if order.index(l) <= order.index(FILTER)]
assert msgs(h)[1 if LEVEL <= 40 else 0:] == passed, (msgs(h), passed)
)PY"),
              "");
}

INSTANTIATE_TEST_SUITE_P(Cases, LoggingBridgeSample,
                         ::testing::Values(SampleCase{1, "trace"}, SampleCase{5, "trace"},
                                           SampleCase{10, "debug"}, SampleCase{15, "info"},
                                           SampleCase{20, "info"}, SampleCase{25, "warn"},
                                           SampleCase{30, "warn"}, SampleCase{40, "error"},
                                           SampleCase{41, "off"}, SampleCase{50, "off"}),
                         [](const auto& info) { return "Level" + std::to_string(info.param.python_level); });

TEST_F(LoggingBridge, CachedLoggerFollowsARaisedThresholdAndHandlerChanges) {
    EXPECT_EQ(py(R"PY(
lg, h = capture("later.changes", logging.DEBUG)
emit("debug", "later::changes", "1")
assert cache_info("later::changes")[:2] == ("debug", lg)
lg.setLevel(logging.ERROR)
emit("warn", "later::changes", "dropped by python")
emit("error", "later::changes", "2")
lg.setLevel(logging.DEBUG)
emit("debug", "later::changes", "3")
h2 = Recorder()
lg.addHandler(h2)
emit("info", "later::changes", "4")
lg.removeHandler(h)
emit("info", "later::changes", "5")
assert msgs(h) == ["1", "2", "3", "4"], msgs(h)
assert msgs(h2) == ["4", "5"], msgs(h2)
assert cache_info("later::changes")[:2] == ("debug", lg)
)PY"),
              "");
}

TEST_F(LoggingBridge, ChildTargetFetchesAndCachesItsOwnLogger) {
    EXPECT_EQ(py(R"PY(
ab, hab = capture("tree.a.b", logging.INFO, Counting)
abc, habc = capture("tree.a.b.c", logging.ERROR, Counting)
emit("info", "tree::a::b", "ab 1")
filt, cached, entry_ab = cache_info("tree::a::b")
assert (filt, cached) == ("info", ab)
assert cache_info("tree::a::b::c") is None   # the ancestor's entry does not count
assert cache_info("tree::a") == (None, None, 0) and cache_info("tree") == (None, None, 0)

ab.calls.clear()
with Fetches() as f:
    emit("error", "tree::a::b::c", "abc 1")
assert f.names == ["tree.a.b.c"], f.names
assert ab.calls == [], ab.calls
assert msgs(habc) == ["abc 1"] and msgs(hab) == ["ab 1"]
assert cache_info("tree::a::b::c")[:2] == ("error", abc)
assert cache_info("tree::a::b") == ("info", ab, entry_ab)   # entry unchanged

with Fetches() as f:
    emit("info", "tree::a::b", "ab 2")
    emit("info", "tree::a::b::c", "dropped: sampled at error")
    emit("error", "tree::a::b::c", "abc 2")
assert f.names == [], f.names
assert msgs(hab) == ["ab 1", "ab 2"], msgs(hab)
assert msgs(habc) == ["abc 1", "abc 2"], msgs(habc)
)PY"),
              "");
}

TEST(LoggingBridgeTree, CopyOnWriteLeavesPublishedTreesUnchanged) {
    rotalink::testing::ensure_interpreter();
    PyObject* a = PyLong_FromLong(1001);
    PyObject* b = PyLong_FromLong(1002);
    PyObject* x = PyLong_FromLong(1003);
    {
        auto entry = [](PyObject* o, lg::LevelFilter f) {
            return std::shared_ptr<const bridge::CacheEntry>(std::make_shared<bridge::CacheEntry>(o, f));
        };
        const auto e1 = entry(a, lg::LevelFilter::Info);
        const auto e2 = entry(b, lg::LevelFilter::Warn);
        const auto e3 = entry(x, lg::LevelFilter::Off);
        const bridge::CacheNode empty;
        const auto r1 = bridge::store_to_cache(&empty, "a::b", e1);
        const auto r2 = bridge::store_to_cache(r1.get(), "a::b::c", e2);
        const auto r3 = bridge::store_to_cache(r2.get(), "a::x", e3);

        EXPECT_TRUE(empty.children.empty());
        EXPECT_EQ(bridge::lookup(*r1, "a::b")->entry, e1);
        EXPECT_EQ(bridge::lookup(*r1, "a::b::c"), nullptr);  // r1 unchanged by r2
        EXPECT_EQ(bridge::lookup(*r2, "a::b")->entry, e1);
        EXPECT_EQ(bridge::lookup(*r2, "a::b::c")->entry, e2);
        EXPECT_EQ(bridge::lookup(*r2, "a")->entry, nullptr);  // intermediate, no entry
        EXPECT_EQ(bridge::lookup(*r2, "a::x"), nullptr);
        EXPECT_EQ(bridge::lookup(*r3, "a::x")->entry, e3);
        // Only the path is copied: the untouched subtree is shared.
        EXPECT_EQ(bridge::lookup(*r3, "a::b"), bridge::lookup(*r2, "a::b"));
        EXPECT_NE(bridge::lookup(*r3, "a"), bridge::lookup(*r2, "a"));
        for (const char* missing : {"b", "a::b::c::d", "a:b", "a::", "", "a::b::"}) {
            EXPECT_EQ(bridge::lookup(*r3, missing), nullptr) << missing;
        }
        // The empty target is a segment of its own.
        const auto r4 = bridge::store_to_cache(r3.get(), "", e1);
        EXPECT_EQ(bridge::lookup(*r4, "")->entry, e1);
        EXPECT_EQ(bridge::lookup(*r4, "::a"), nullptr);
    }
    Py_DECREF(a);
    Py_DECREF(b);
    Py_DECREF(x);
}

TEST_F(LoggingBridge, LostRaceDropsTheUpdateAndReleasesItsReference) {
    std::unique_ptr<bridge::Logger> logger = bridge::Logger::create();
    PyObject* winner = PyList_New(0);
    PyObject* loser = PyList_New(0);
    const Py_ssize_t winner_refs = Py_REFCNT(winner), loser_refs = Py_REFCNT(loser);

    auto base = logger->cache_root();
    auto first = bridge::store_to_cache(base.get(), "race::first",
                                        std::make_shared<bridge::CacheEntry>(winner, lg::LevelFilter::Info));
    auto second = bridge::store_to_cache(base.get(), "race::second",
                                         std::make_shared<bridge::CacheEntry>(loser, lg::LevelFilter::Warn));
    EXPECT_EQ(Py_REFCNT(loser), loser_refs + 1);
    EXPECT_TRUE(logger->publish(base, std::move(first)));
    EXPECT_FALSE(logger->publish(base, std::move(second)));
    EXPECT_EQ(Py_REFCNT(loser), loser_refs);  // released by the losing update
    {
        const auto root = logger->cache_root();
        ASSERT_NE(bridge::lookup(*root, "race::first"), nullptr);
        EXPECT_EQ(bridge::lookup(*root, "race::first")->entry->logger, winner);
        EXPECT_EQ(bridge::lookup(*root, "race::second"), nullptr);
    }
    EXPECT_TRUE(base->children.empty());  // the replaced root is unchanged
    base.reset();
    EXPECT_EQ(Py_REFCNT(winner), winner_refs + 1);  // the published entry
    logger->reset_cache();
    EXPECT_EQ(bridge::lookup(*logger->cache_root(), "race::first"), nullptr);
    EXPECT_EQ(Py_REFCNT(winner), winner_refs + 1);  // kept with the retired tree
    logger.reset();
    EXPECT_EQ(Py_REFCNT(winner), winner_refs);  // released with the Logger
    Py_DECREF(winner);
    Py_DECREF(loser);
}

TEST_F(LoggingBridge, ResetHandleEmptiesTheCacheOfAStandaloneLogger) {
    ASSERT_EQ(py("lg, h = capture('reset.case', logging.WARNING)"), "");
    PyObject* logging = PyImport_ImportModule("logging");
    ASSERT_NE(logging, nullptr);
    PyObject* python_logger = PyObject_CallMethod(logging, "getLogger", "s", "reset.case");
    ASSERT_NE(python_logger, nullptr);
    const Py_ssize_t refs = Py_REFCNT(python_logger);
    {
        std::unique_ptr<bridge::Logger> logger = bridge::Logger::create();
        bridge::ResetHandle handle(*logger);
        auto send = [&](lg::Level level, const char* text) {
            logger->log(lg::Record{level, "reset::case", text, std::nullopt, std::nullopt});
        };
        send(lg::Level::Info, "1 dropped by python, cached at warn");
        ASSERT_EQ(run("import logging\nlogging.getLogger('reset.case').setLevel(logging.DEBUG)"), "");
        send(lg::Level::Info, "2 dropped by the cache");
        EXPECT_FALSE(logger->enabled(lg::Level::Info, "reset::case"));
        handle.reset();
        EXPECT_TRUE(logger->enabled(lg::Level::Info, "reset::case"));
        send(lg::Level::Info, "3");
        send(lg::Level::Debug, "4");
        EXPECT_EQ(py("assert msgs(logging.getLogger('reset.case').handlers[0]) == ['3', '4']"), "");
        // The installed bridge knows nothing of this Logger's records.
        EXPECT_EQ(py("assert cache_info('reset::case') is None"), "");
    }
    EXPECT_EQ(Py_REFCNT(python_logger), refs);  // both cached entries released
    Py_DECREF(python_logger);
    Py_DECREF(logging);
}

// ------------------------------------------------------------- failures

struct FailureCase {
    const char* name;
    const char* setup;   // defines `target`, `h`, and breaks one call
    const char* repair;
    const char* printed;  // the last line of the printed traceback
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class LoggingBridgeFailure : public LoggingBridge, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(LoggingBridgeFailure, PythonErrorIsPrintedNothingIsCachedAndTheNextRecordRetries) {
    const FailureCase& c = GetParam();
    const std::string code = std::string(c.setup) + "\nforget_last_exception()\n" +
                             "emit('info', target, 'lost')\n" +
                             "assert cache_info(target) is None, cache_info(target)\n" +
                             "assert last_exception_recorded() == [], last_exception_recorded()\n" +
                             c.repair + "\n" + R"PY(
emit("info", target, "delivered")
assert msgs(h) == ["delivered"], msgs(h)
assert cache_info(target)[0] == "info", cache_info(target)
sys.stderr.flush()
)PY";
    ::testing::internal::CaptureStderr();
    const std::string err = py(code);
    const std::string printed = ::testing::internal::GetCapturedStderr();
    // Undo what a failed snippet may have left behind.
    run("import logging\nif hasattr(logging, '_real_getLogger'):\n"
        "    logging.getLogger = logging._real_getLogger\n    del logging._real_getLogger");
    EXPECT_EQ(err, "");
    EXPECT_NE(printed.find("Traceback (most recent call last):"), std::string::npos) << printed;
    EXPECT_NE(printed.find(std::string("\n") + c.printed + "\n"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("delivered"), std::string::npos) << printed;
}

INSTANTIATE_TEST_SUITE_P(
    Calls, LoggingBridgeFailure,
    ::testing::Values(
        FailureCase{"GetLogger", R"PY(
target = "fail::getlogger"
lg, h = capture("fail.getlogger", logging.INFO)
logging._real_getLogger = logging.getLogger
def broken(name=None):
    raise LookupError("no logger today")
logging.getLogger = broken)PY",
                    "logging.getLogger = logging._real_getLogger\ndel logging._real_getLogger",
                    "LookupError: no logger today"},
        FailureCase{"IsEnabledFor", R"PY(
target = "fail::isenabled"
class Broken(logging.Logger):
    broken = True
    def isEnabledFor(self, level):
        if Broken.broken:
            raise ValueError("threshold unknown")
        return super().isEnabledFor(level)
lg, h = capture("fail.isenabled", logging.INFO, Broken))PY",
                    "Broken.broken = False", "ValueError: threshold unknown"},
        FailureCase{"MakeRecord", R"PY(
target = "fail::makerecord"
class Broken(logging.Logger):
    broken = True
    def makeRecord(self, *args):
        if Broken.broken:
            raise TypeError("no record")
        return super().makeRecord(*args)
lg, h = capture("fail.makerecord", logging.INFO, Broken))PY",
                    "Broken.broken = False", "TypeError: no record"},
        FailureCase{"HandleRaises", R"PY(
target = "fail::handle"
class Exploding(logging.Handler):
    def handle(self, record):
        raise RuntimeError("handler exploded")
lg, h = capture("fail.handle", logging.INFO)
bad = Exploding()
lg.handlers.insert(0, bad))PY",
                    "lg.removeHandler(bad)", "RuntimeError: handler exploded"},
        FailureCase{"HandleRaisesSystemExit", R"PY(
target = "fail::exit"
class Exiting(logging.Handler):
    def handle(self, record):
        raise SystemExit(3)
lg, h = capture("fail.exit", logging.INFO)
bad = Exiting()
lg.handlers.insert(0, bad))PY",
                    "lg.removeHandler(bad)", "SystemExit: 3"},
        FailureCase{"HandleRaisesKeyboardInterrupt", R"PY(
target = "fail::interrupt"
class Interrupted(logging.Handler):
    def handle(self, record):
        raise KeyboardInterrupt
lg, h = capture("fail.interrupt", logging.INFO)
bad = Interrupted()
lg.handlers.insert(0, bad))PY",
                    "lg.removeHandler(bad)", "KeyboardInterrupt"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoggingBridge, RaisingProbeIsPrintedAndCachesTrace) {
    ::testing::internal::CaptureStderr();
    const std::string err = py(R"PY(
class ProbeFails(logging.Logger):
    def isEnabledFor(self, level):
        if level == 5:
            raise ArithmeticError("probe failed")
        return super().isEnabledFor(level)
lg, h = capture("probe.fails", logging.WARNING, ProbeFails)
emit("error", "probe::fails", "delivered")
assert msgs(h) == ["delivered"], msgs(h)
assert cache_info("probe::fails")[:2] == ("trace", lg), cache_info("probe::fails")
lg.setLevel(logging.DEBUG)   # filter trace: lowering takes effect
emit("debug", "probe::fails", "after lowering")
emit("trace", "probe::fails", "never")
assert msgs(h) == ["delivered", "after lowering"], msgs(h)
sys.stderr.flush()
)PY");
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "");
    EXPECT_NE(printed.find("\nArithmeticError: probe failed\n"), std::string::npos) << printed;
}

TEST_F(LoggingBridge, ExceptionPendingOnTheCallingThreadIsKept) {
    ASSERT_EQ(py(R"PY(
lg, h = capture("kept.ok", logging.INFO)
class Exploding(logging.Handler):
    def handle(self, record):
        raise RuntimeError("handler exploded")
bad, hbad = capture("kept.failing", logging.INFO)
bad.handlers.insert(0, Exploding())
)PY"),
              "");
    ::testing::internal::CaptureStderr();
    PyErr_SetString(PyExc_ValueError, "pending before logging");
    lg::log(lg::Level::Info, "kept::ok", "while an error is pending");
    lg::log(lg::Level::Info, "kept::failing", "fails inside");
    ASSERT_TRUE(PyErr_Occurred());
    const auto [type, text] = take_exception();
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(type, "ValueError");
    EXPECT_EQ(text, "pending before logging");
    EXPECT_NE(printed.find("RuntimeError: handler exploded"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("pending before logging"), std::string::npos) << printed;
    EXPECT_EQ(py("assert msgs(logging.getLogger('kept.ok').handlers[0]) == ['while an error is pending']"),
              "");
}

// ------------------------------------------------------- installation

TEST_F(LoggingBridge, SecondInstallationFailsAndLeavesTheFirstInPlace) {
    lg::Sink* first = lg::sink();
    ASSERT_NE(installed(), nullptr);
    EXPECT_FALSE(bridge::install(bridge::Logger::create()).has_value());
    EXPECT_EQ(lg::sink(), first);

    ::testing::internal::CaptureStderr();
    PyObject* result = rotalink::py::guard([]() -> PyObject* {
        bridge::init();
        Py_RETURN_NONE;
    });
    const std::string diag = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, nullptr);
    ASSERT_TRUE(PyErr_Occurred());
    const auto [type, text] = take_exception();
    EXPECT_NE(type.find("PanicException"), std::string::npos) << type;
    EXPECT_NE(text.find("already installed"), std::string::npos) << text;
    EXPECT_NE(diag.find("already installed"), std::string::npos) << diag;

    EXPECT_EQ(lg::sink(), first);
    EXPECT_EQ(lg::max_level(), lg::LevelFilter::Debug);
    EXPECT_EQ(py("lg, h = capture('install.twice')\nemit('info', 'install::twice', 'still here')\n"
                 "assert msgs(h) == ['still here'], msgs(h)"),
              "");
}

TEST_F(LoggingBridge, CreationFailsWithAFaultWhenLoggingCannotBeImported) {
    const char* const kPrefix = "Failed to initialize python logging: ";
    ASSERT_EQ(run("import sys\nsys.modules['_kept_logging'] = sys.modules['logging']\n"
                  "sys.modules['logging'] = None"),
              "");
    std::optional<std::string> fault;
    try {
        bridge::Logger::create();
    } catch (const rotalink::Panic& p) {
        fault = p.message;
    }
    const bool error_left = PyErr_Occurred() != nullptr;
    ::testing::internal::CaptureStderr();
    PyObject* result = rotalink::py::guard([]() -> PyObject* {
        bridge::Logger::create();
        Py_RETURN_NONE;
    });
    const std::string diag = ::testing::internal::GetCapturedStderr();
    const auto [type, text] = take_exception();
    ASSERT_EQ(run("import sys\nsys.modules['logging'] = sys.modules.pop('_kept_logging')"), "");

    ASSERT_TRUE(fault.has_value());
    EXPECT_EQ(fault->rfind(kPrefix, 0), 0u) << *fault;
    EXPECT_NE(fault->find("ModuleNotFoundError: import of logging halted"), std::string::npos) << *fault;
    EXPECT_FALSE(error_left);
    EXPECT_EQ(result, nullptr);
    EXPECT_NE(type.find("PanicException"), std::string::npos) << type;
    EXPECT_EQ(text, *fault);
    EXPECT_NE(diag.find(kPrefix), std::string::npos) << diag;
    // The installed bridge keeps its own reference to the module.
    EXPECT_EQ(py("lg, h = capture('import.restored')\nemit('info', 'import::restored', 'ok')\n"
                 "assert msgs(h) == ['ok'], msgs(h)"),
              "");
}

// ----------------------------------------------------------- concurrency

TEST_F(LoggingBridge, NativeThreadsLogWhilePythonThreadsChangeLoggers) {
    EXPECT_EQ(py(R"PY(
import collections, random
stable, hs = capture("conc.stable", logging.DEBUG)
churn, hc = capture("conc.churn", logging.DEBUG)
fresh, hf = capture("conc.fresh", logging.DEBUG)
from_python, hp = capture("conc.py", logging.DEBUG)
stop = threading.Event()

class Dummy(logging.Handler):
    def emit(self, record):
        pass

def churner(seed):
    rnd = random.Random(seed)
    levels = [logging.DEBUG, logging.INFO, logging.WARNING, logging.ERROR]
    while not stop.is_set():
        churn.setLevel(rnd.choice(levels))
        d = Dummy()
        churn.addHandler(d)
        stable.addHandler(d)
        time.sleep(0)
        churn.removeHandler(d)
        stable.removeHandler(d)
        time.sleep(0.0001)

emitted_from_python = []
def python_emitter():
    n = 0
    while not stop.is_set():
        emit("debug", "conc::py", str(n))
        n += 1
        time.sleep(0)
    emitted_from_python.append(n)

interval = sys.getswitchinterval()
sys.setswitchinterval(0.0001)
threads = [threading.Thread(target=churner, args=(i,)) for i in range(2)]
threads.append(threading.Thread(target=python_emitter))
for t in threads:
    t.start()
try:
    wrong = emit_in_threads(4, 2000)
finally:
    stop.set()
    for t in threads:
        t.join()
    sys.setswitchinterval(interval)

assert wrong == 0, wrong
assert len(hs.records) == 8000, len(hs.records)
assert all(r.levelno == 10 for r in hs.records)
per_thread = collections.Counter(r.getMessage().split(":")[0] for r in hs.records)
assert per_thread == {str(t): 2000 for t in range(4)}, per_thread
assert len(set(r.getMessage() for r in hs.records)) == 8000
assert len(hf.records) == 8000, len(hf.records)
assert {r.name for r in hf.records} == {"conc.fresh.%d" % k for k in range(64)}
assert msgs(hp) == [str(n) for n in range(emitted_from_python[0])]
assert cache_info("conc::stable")[:2] == ("debug", stable), cache_info("conc::stable")
for k in range(64):
    name = "conc.fresh.%d" % k
    assert cache_info("conc::fresh::%d" % k)[:2] == ("debug", logging.getLogger(name)), k
assert cache_info("conc::fresh") == (None, None, 0)
assert cache_info("conc::churn")[1] is churn
)PY"),
              "");
}

}  // namespace
