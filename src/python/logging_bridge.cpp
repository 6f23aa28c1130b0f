#include "python/logging_bridge.hpp"

#include <atomic>
#include <exception>
#include <initializer_list>
#include <utility>

#include "support/panic.hpp"

namespace rotalink::py::logging_bridge {
namespace {

// An owned reference, released (GIL held) when it goes out of scope.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}  // takes the reference
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    static Ref borrowed(PyObject* obj) noexcept {
        Py_INCREF(obj);
        return Ref(obj);
    }
    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

// Keeps an exception that is pending on the calling thread aside while the
// bridge makes its own Python calls, and puts it back afterwards.
class KeptError {
public:
    KeptError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &value_, &tb_);
#endif
    }
    ~KeptError() {
        PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
        if (exc_ != nullptr) PyErr_SetRaisedException(exc_);
#else
        if (type_ != nullptr) PyErr_Restore(type_, value_, tb_);
#endif
    }
    KeptError(const KeptError&) = delete;
    KeptError& operator=(const KeptError&) = delete;

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc_ = nullptr;
#else
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
};

// Prints the pending exception to sys.stderr in the usual traceback form,
// without recording it as the last exception, and clears it. SystemExit is
// displayed the same way rather than handled: a log call never ends the
// process.
void print_and_clear() noexcept {
    if (!PyErr_Occurred()) return;
    if (!PyErr_ExceptionMatches(PyExc_SystemExit)) {
        PyErr_PrintEx(0);
        PyErr_Clear();
        return;
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    PyErr_DisplayException(exc);
    Py_XDECREF(exc);
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
    PyErr_Display(type, value, tb);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
#endif
    PyErr_Clear();
}

// "TypeName: text" (or just the type name) of the pending exception, which
// is cleared.
std::string describe_and_clear() {
    std::string out = "unknown error";
#if PY_VERSION_HEX >= 0x030C0000
    Ref value(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *raw_value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &raw_value, &tb);
    PyErr_NormalizeException(&type, &raw_value, &tb);
    Ref type_ref(type), value(raw_value), tb_ref(tb);
#endif
    if (value) {
        out = Py_TYPE(value.get())->tp_name;
        Ref text(PyObject_Str(value.get()));
        const char* s = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (s != nullptr && *s != '\0') out += std::string(": ") + s;
    }
    PyErr_Clear();
    return out;
}

Ref decode_text(std::string_view text) noexcept {
    return Ref(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// isEnabledFor(level number) of a Python logger: 1, 0, or -1 with an
// exception set.
int is_enabled_for(PyObject* logger, PyObject* method, log::Level level) noexcept {
    Ref number(PyLong_FromLong(python_level(level)));
    if (!number) return -1;
    Ref result(PyObject_CallMethodObjArgs(logger, method, number.get(), nullptr));
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}

constexpr std::string_view kSeparator = "::";

std::shared_ptr<const CacheNode> store_recursive(const CacheNode* node, std::string_view target,
                                                 std::size_t start,
                                                 const std::shared_ptr<const CacheEntry>& entry) {
    auto copy = node != nullptr ? std::make_shared<CacheNode>(*node) : std::make_shared<CacheNode>();
    if (start == std::string_view::npos) {
        copy->entry = entry;
        return copy;
    }
    const std::size_t end = target.find(kSeparator, start);
    const std::string_view segment =
        target.substr(start, end == std::string_view::npos ? end : end - start);
    const std::size_t next = end == std::string_view::npos ? end : end + kSeparator.size();
    auto it = copy->children.find(segment);
    if (it != copy->children.end()) {
        // The old child stays alive through `node`, which the caller holds.
        it->second = store_recursive(it->second.get(), target, next, entry);
    } else {
        copy->children.emplace(std::string(segment), store_recursive(nullptr, target, next, entry));
    }
    return copy;
}

}  // namespace

int python_level(log::Level level) noexcept {
    switch (level) {
        case log::Level::Error: return 40;
        case log::Level::Warn: return 30;
        case log::Level::Info: return 20;
        case log::Level::Debug: return 10;
        case log::Level::Trace: return 5;
    }
    return 0;
}

std::string logger_name(std::string_view target) {
    std::string out;
    out.reserve(target.size());
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = target.find(kSeparator, start);
        if (end == std::string_view::npos) break;
        out.append(target.substr(start, end - start));
        out.push_back('.');
        start = end + kSeparator.size();
    }
    out.append(target.substr(start));
    return out;
}

CacheEntry::CacheEntry(PyObject* logger_object, log::LevelFilter level_filter) noexcept
    : logger(logger_object), filter(level_filter) {
    Py_INCREF(logger);
}

CacheEntry::~CacheEntry() { Py_DECREF(logger); }

const CacheNode* lookup(const CacheNode& root, std::string_view target) noexcept {
    const CacheNode* node = &root;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = target.find(kSeparator, start);
        const std::string_view segment =
            target.substr(start, end == std::string_view::npos ? end : end - start);
        auto it = node->children.find(segment);
        if (it == node->children.end()) return nullptr;
        node = it->second.get();
        if (end == std::string_view::npos) return node;
        start = end + kSeparator.size();
    }
}

std::shared_ptr<const CacheNode> store_to_cache(const CacheNode* root, std::string_view target,
                                                std::shared_ptr<const CacheEntry> entry) {
    return store_recursive(root, target, 0, entry);
}

// ------------------------------------------------------------------ Logger

std::unique_ptr<Logger> Logger::create() {
    std::unique_ptr<Logger> logger(new Logger());
    logger->logging_ = PyImport_ImportModule("logging");
    bool ok = logger->logging_ != nullptr;
    for (auto [slot, name] : {std::pair<PyObject**, const char*>{&logger->get_logger_, "getLogger"},
                              {&logger->is_enabled_for_, "isEnabledFor"},
                              {&logger->make_record_, "makeRecord"},
                              {&logger->handle_, "handle"}}) {
        if (ok) {
            *slot = PyUnicode_InternFromString(name);
            ok = *slot != nullptr;
        }
    }
    if (!ok) {
        std::string message = "Failed to initialize python logging: " + describe_and_clear();
        logger.reset();
        ROTALINK_PANIC(std::move(message));
    }
    return logger;
}

Logger::~Logger() {
    root_.reset();
    retired_.clear();
    Py_XDECREF(handle_);
    Py_XDECREF(make_record_);
    Py_XDECREF(is_enabled_for_);
    Py_XDECREF(get_logger_);
    Py_XDECREF(logging_);
}

std::shared_ptr<const CacheNode> Logger::cache_root() const noexcept {
    return std::atomic_load(&root_);
}

bool Logger::enabled_inner(log::Level level, const CacheNode* node) const noexcept {
    if (node != nullptr && node->entry != nullptr && !log::passes(level, node->entry->filter)) {
        return false;
    }
    return log::passes(level, top_filter_);
}

bool Logger::enabled(log::Level level, std::string_view target) const noexcept {
    const auto root = cache_root();
    return enabled_inner(level, lookup(*root, target));
}

void Logger::log(const log::Record& record) noexcept {
    // The snapshot keeps `node` alive until the record is done.
    const auto root = cache_root();
    const CacheNode* node = lookup(*root, record.target);
    if (!enabled_inner(record.level, node)) return;
    // A native thread may outlive the interpreter: nothing to forward to.
    if (!Py_IsInitialized()) return;
    const PyGILState_STATE gil = PyGILState_Ensure();
    {
        KeptError kept;
        try {
            forward(record, node);
        } catch (const Panic&) {
            std::terminate();  // an internal fault, as it was before Panic was a std::exception
        } catch (const std::exception&) {
            // Out of memory while updating the cache: the record was
            // handled, the logger is fetched again next time.
            PyErr_Clear();
        }
    }
    PyGILState_Release(gil);
}

void Logger::forward(const log::Record& record, const CacheNode* node) {
    Ref name = decode_text(logger_name(record.target));
    Ref message = name ? decode_text(record.message) : Ref();
    if (!message) return print_and_clear();

    const bool from_cache = node != nullptr && node->entry != nullptr;
    Ref logger = from_cache
                     ? Ref::borrowed(node->entry->logger)
                     : Ref(PyObject_CallMethodObjArgs(logging_, get_logger_, name.get(), nullptr));
    if (!logger) return print_and_clear();

    const int on = is_enabled_for(logger.get(), is_enabled_for_, record.level);
    if (on < 0) return print_and_clear();
    if (on == 1) {
        Ref level(PyLong_FromLong(python_level(record.level)));
        Ref path = record.file ? Ref(PyUnicode_DecodeFSDefaultAndSize(
                                     record.file->data(), static_cast<Py_ssize_t>(record.file->size())))
                               : Ref::borrowed(Py_None);
        Ref line(PyLong_FromUnsignedLong(record.line.value_or(0)));
        Ref args(PyTuple_New(0));
        if (!level || !path || !line || !args) return print_and_clear();
        Ref log_record(PyObject_CallMethodObjArgs(logger.get(), make_record_, name.get(), level.get(),
                                                  path.get(), line.get(), message.get(), args.get(),
                                                  Py_None, nullptr));
        if (!log_record) return print_and_clear();
        Ref handled(PyObject_CallMethodObjArgs(logger.get(), handle_, log_record.get(), nullptr));
        if (!handled) return print_and_clear();
    }
    if (!from_cache) cache(record.target, logger.get());
}

void Logger::cache(std::string_view target, PyObject* logger) {
    log::LevelFilter filter = log::LevelFilter::Off;
    for (log::Level level : {log::Level::Trace, log::Level::Debug, log::Level::Info, log::Level::Warn,
                             log::Level::Error}) {
        const int on = is_enabled_for(logger, is_enabled_for_, level);
        if (on < 0) {
            print_and_clear();
            filter = log::LevelFilter::Trace;
            break;
        }
        if (on == 1) {
            filter = log::as_filter(level);
            break;
        }
    }
    std::shared_ptr<const CacheEntry> entry = std::make_shared<CacheEntry>(logger, filter);
    const auto base = cache_root();
    // On a lost race the new tree, with its entry, is dropped here, with the
    // GIL held; the logger is fetched again next time.
    publish(base, store_to_cache(base.get(), target, std::move(entry)));
}

bool Logger::publish(const std::shared_ptr<const CacheNode>& expected,
                     std::shared_ptr<const CacheNode> desired) {
    {
        std::lock_guard<std::mutex> lock(retired_lock_);
        retired_.reserve(retired_.size() + 1);  // so that retiring cannot fail
        std::shared_ptr<const CacheNode> current = expected;
        if (std::atomic_compare_exchange_strong(&root_, &current, desired)) {
            retire_locked(std::move(current));
            return true;
        }
    }
    // Lost the race: `desired` is released here, outside the lock (releasing
    // its entry's logger may run Python code).
    return false;
}

void Logger::reset_cache() {
    std::shared_ptr<const CacheNode> empty = std::make_shared<CacheNode>();
    std::lock_guard<std::mutex> lock(retired_lock_);
    retired_.reserve(retired_.size() + 1);
    retire_locked(std::atomic_exchange(&root_, std::move(empty)));
}

void Logger::retire_locked(std::shared_ptr<const CacheNode> root) noexcept {
    // Readers may still walk the old tree without the GIL; it is kept until
    // the Logger is destroyed, so its Python references are never released
    // on a thread that does not hold the GIL. Capacity was reserved.
    retired_.push_back(std::move(root));
}

// ----------------------------------------------------------- installation

std::optional<ResetHandle> install(std::unique_ptr<Logger> logger) {
    if (!log::set_sink(*logger)) return std::nullopt;
    log::set_max_level(logger->top_filter());
    // Owned by the facade from now on, for the life of the process.
    return ResetHandle(*logger.release());
}

ResetHandle init() {
    std::optional<ResetHandle> handle = install(Logger::create());
    if (!handle) {
        ROTALINK_PANIC("a native log sink is already installed: it can be set once per process");
    }
    return *handle;
}

}  // namespace rotalink::py::logging_bridge
