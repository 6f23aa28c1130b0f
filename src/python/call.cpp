#include "python/call.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace rotalink::py {
namespace {

PyObject* g_panic_type = nullptr;

const char* short_path(const char* file) {
    if (file == nullptr) return "<unknown>";
    const char* best = file;
    for (const char* p = std::strstr(file, "/src/"); p != nullptr; p = std::strstr(p + 1, "/src/")) {
        best = p + 1;
    }
    return best;
}

void type_error(const std::string& msg) { PyErr_SetString(PyExc_TypeError, msg.c_str()); }

std::string quoted(const char* s) { return std::string("'") + s + "'"; }

bool too_many_positional(const Params& sig, Py_ssize_t given) {
    std::string msg = std::string(sig.name) + "() takes ";
    if (sig.required != sig.count) {
        msg += "from " + std::to_string(sig.required) + " to " + std::to_string(sig.count);
    } else {
        msg += std::to_string(sig.count);
    }
    msg += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
           " given";
    type_error(msg);
    return false;
}

// Binds one keyword argument; `key` is a str.
bool bind_keyword(const Params& sig, PyObject* key, PyObject* value, PyObject** out) {
    if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return false;
    }
    Py_ssize_t len = 0;
    const char* name = PyUnicode_AsUTF8AndSize(key, &len);
    if (name == nullptr) {
        // Not encodable (a lone surrogate): it names no parameter, since
        // every parameter name is ASCII. Reported as unknown, below.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
        PyErr_Clear();
        len = -1;
    }
    for (int i = 0; i < sig.count && len >= 0; ++i) {
        if (std::strlen(sig.params[i]) == static_cast<size_t>(len) &&
            std::memcmp(sig.params[i], name, static_cast<size_t>(len)) == 0) {
            if (out[i] != nullptr) {
                type_error(std::string(sig.name) + "() got multiple values for argument " +
                           quoted(sig.params[i]));
                return false;
            }
            out[i] = value;
            return true;
        }
    }
    // The key itself, not its C string: a name may hold a NUL character.
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
    return false;
}

bool check_required(const Params& sig, PyObject** out) {
    int n = 0;
    for (int i = 0; i < sig.required; ++i) n += out[i] == nullptr;
    if (n == 0) return true;
    // "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
    std::string names;
    for (int i = 0, k = 0; i < sig.required; ++i) {
        if (out[i] != nullptr) continue;
        if (k > 0) names += n == 2 ? " and " : (k == n - 1 ? ", and " : ", ");
        names += quoted(sig.params[i]);
        ++k;
    }
    type_error(std::string(sig.name) + "() missing " + std::to_string(n) + " required positional " +
               (n == 1 ? "argument" : "arguments") + ": " + names);
    return false;
}

}  // namespace

// ------------------------------------------------------------------ faults

PyObject* panic_exception_type() noexcept {
    if (g_panic_type == nullptr) {
        g_panic_type = PyErr_NewExceptionWithDoc(
            "rotalink.PanicException",
            "Raised when native code called from Python fails an internal check.\n\n"
            "It derives from BaseException, not Exception, so that it is not caught by\n"
            "ordinary handlers: it normally propagates up and ends the program.",
            PyExc_BaseException, nullptr);
    }
    return g_panic_type;
}

void raise_panic(const std::string& message, const char* file, int line) noexcept {
    std::fprintf(stderr, "rotalink: internal fault at %s:%d: %s\n", short_path(file), line,
                 message.c_str());
    std::fflush(stderr);
    PyObject* type = panic_exception_type();
    if (type == nullptr) Py_FatalError("rotalink: cannot create PanicException");
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                          "replace");
    if (text == nullptr) Py_FatalError("rotalink: cannot report an internal fault");
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

PyObject* must(PyObject* obj, const char* what) {
    if (obj == nullptr) {
        PyErr_Clear();
        ROTALINK_PANIC(std::string("failed to create ") + what);
    }
    return obj;
}

PyObject* fail_with_pending() {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
}

// ----------------------------------------------------------------- binding

bool bind_vector(const Params& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** out) {
    for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
    if (nargs > sig.count) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
        }
    }
    return check_required(sig, out);
}

bool bind_tuple(const Params& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > sig.count) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!bind_keyword(sig, key, value, out)) return false;
        }
    }
    return check_required(sig, out);
}

// -------------------------------------------------------------- conversion

const char* type_name(PyTypeObject* type) {
    const char* dot = std::strrchr(type->tp_name, '.');
    return dot != nullptr ? dot + 1 : type->tp_name;
}

void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject* text = value != nullptr ? PyObject_Str(value) : nullptr;
    PyObject* cause = value != nullptr ? PyException_GetCause(value) : nullptr;
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    if (text == nullptr) {
        Py_XDECREF(cause);
        return;  // str() itself failed: that error stays pending
    }
    PyObject* msg = PyUnicode_FromFormat("argument '%s': %U", name, text);
    Py_DECREF(text);
    if (msg == nullptr) {
        Py_XDECREF(cause);
        return;
    }
    PyObject* exc = PyObject_CallFunctionObjArgs(PyExc_TypeError, msg, nullptr);
    Py_DECREF(msg);
    if (exc == nullptr) {
        Py_XDECREF(cause);
        return;
    }
    if (cause != nullptr) PyException_SetCause(exc, cause);  // steals `cause`
    PyErr_SetObject(PyExc_TypeError, exc);
    Py_DECREF(exc);
}

bool to_f32(PyObject* obj, const char* name, float& out) {
    double d;
    if (PyFloat_CheckExact(obj)) {
        d = PyFloat_AS_DOUBLE(obj);
    } else {
        d = PyFloat_AsDouble(obj);
        if (d == -1.0 && PyErr_Occurred()) {
            prefix_type_error(name);
            return false;
        }
    }
    // Nearest 32-bit float; magnitudes from FLT_MAX plus half an ulp up round
    // to infinity (the double-to-float cast is only defined within range).
    if (std::isfinite(d) && std::fabs(d) >= 0x1.ffffffp+127) {
        out = d > 0 ? HUGE_VALF : -HUGE_VALF;
    } else {
        out = static_cast<float>(d);
    }
    return true;
}

bool to_f64(PyObject* obj, const char* name, double& out) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        prefix_type_error(name);
        return false;
    }
    out = v;
    return true;
}

bool to_u16(PyObject* obj, const char* name, std::uint16_t& out) {
    PyObject* index = PyNumber_Index(obj);
    if (index == nullptr) {
        prefix_type_error(name);
        return false;
    }
    const long v = PyLong_AsLong(index);
    Py_DECREF(index);
    if (v == -1 && PyErr_Occurred()) return false;  // OverflowError, no prefix
    if (v < 0 || v > 0xFFFF) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint16_t>(v);
    return true;
}

bool to_u64(PyObject* obj, const char* name, std::uint64_t& out) {
    unsigned long long v;
    if (PyLong_CheckExact(obj)) {
        v = PyLong_AsUnsignedLongLong(obj);
    } else {
        PyObject* index = PyNumber_Index(obj);
        if (index == nullptr) {
            prefix_type_error(name);
            return false;
        }
        v = PyLong_AsUnsignedLongLong(index);
        Py_DECREF(index);
    }
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool to_text(PyObject* obj, const char* name, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'str'",
                     name, type_name(Py_TYPE(obj)));
        return false;
    }
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
    if (s == nullptr) {
        prefix_type_error(name);
        return false;
    }
    out.assign(s, static_cast<size_t>(len));
    return true;
}

bool to_bytes(PyObject* obj, const char* name, std::uint8_t* out, std::size_t cap, std::size_t& len) {
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) < 0) {
        prefix_type_error(name);
        return false;
    }
    len = static_cast<std::size_t>(view.len);
    if (len > 0) std::memcpy(out, view.buf, len < cap ? len : cap);
    PyBuffer_Release(&view);
    return true;
}

bool check_instance(PyObject* obj, PyTypeObject* type, const char* name) {
    if (PyObject_TypeCheck(obj, type)) return true;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'", name,
                 type_name(Py_TYPE(obj)), type_name(type));
    return false;
}

// ----------------------------------------------------------------- results

PyObject* new_float(float v) { return must(PyFloat_FromDouble(static_cast<double>(v)), "a float"); }

PyObject* new_int(unsigned long v) { return must(PyLong_FromUnsignedLong(v), "an int"); }

PyObject* new_text(const std::string& s) {
    return must(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())), "a str");
}

PyObject* raise(const PendingError& e) {
    PyObject* text = PyUnicode_DecodeUTF8(e.message.data(),
                                          static_cast<Py_ssize_t>(e.message.size()), "replace");
    if (text == nullptr) return nullptr;
    PyErr_SetObject(e.type, text);
    Py_DECREF(text);
    return nullptr;
}

}  // namespace rotalink::py
