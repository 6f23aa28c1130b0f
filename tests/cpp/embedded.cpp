#include "embedded.hpp"

#include <vector>

#include "python/module.hpp"

extern "C" PyObject* PyInit_rotalink(void);

namespace rotalink::testing {
namespace {

}  // namespace

PyObject* g_exposed = nullptr;  // dict of names added with `expose`

namespace {
std::vector<PyMethodDef*> g_defs;

std::string format_pending() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    std::string out = "<unknown error>";
    PyObject* tbmod = PyImport_ImportModule("traceback");
    if (tbmod != nullptr) {
        PyObject* lines = PyObject_CallMethod(tbmod, "format_exception", "OOO", type ? type : Py_None,
                                              value ? value : Py_None, tb ? tb : Py_None);
        if (lines != nullptr) {
            PyObject* empty = PyUnicode_FromString("");
            PyObject* joined = PyUnicode_Join(empty, lines);
            if (joined != nullptr) out = PyUnicode_AsUTF8(joined);
            Py_XDECREF(joined);
            Py_XDECREF(empty);
            Py_DECREF(lines);
        }
        Py_DECREF(tbmod);
    }
    PyErr_Clear();
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return out;
}

}  // namespace

void ensure_interpreter() {
    if (Py_IsInitialized()) return;
    PyImport_AppendInittab("rotalink", PyInit_rotalink);
    // The interpreter finds its standard library from the program name. Left
    // to itself it would take the first python3 on PATH, which may be another
    // installation of the same version (a system Python beside a pyenv one)
    // whose library does not fit the libpython linked here; the build names
    // the interpreter it was configured with.
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.install_signal_handlers = 0;
    PyStatus status = PyConfig_SetBytesString(&config, &config.program_name, ROTALINK_TEST_PYTHON);
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
    g_exposed = PyDict_New();
}

// Defined in every namespace `run` gives the code.
const char* const kHelpers = R"PY(
def check_raises(cases):
    """Each case, (call, exception type, message or None), must raise that
    type, with exactly that message when one is given."""
    for call, kind, text in cases:
        try:
            call()
        except kind as e:
            assert text is None or str(e) == text, (str(e), text)
        else:
            raise AssertionError(text)

# {key: message} of the refusals the module and the C++ library share.
with open(")PY" ROTALINK_REFUSALS R"PY(", encoding="utf-8") as rows:
    REFUSALS = dict(line.split("\t", 1) for line in rows.read().splitlines() if line and not line.startswith("#"))
)PY";

std::string run(const std::string& code) {
    ensure_interpreter();
    PyObject* globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyDict_Update(globals, g_exposed);
    PyObject* mod = PyImport_ImportModule("rotalink");
    if (mod == nullptr) {
        Py_DECREF(globals);
        return format_pending();
    }
    PyDict_SetItemString(globals, "rotalink", mod);
    Py_DECREF(mod);
    PyObject* helpers = PyRun_String(kHelpers, Py_file_input, globals, globals);
    if (helpers == nullptr) {
        Py_DECREF(globals);
        return format_pending();
    }
    Py_DECREF(helpers);
    PyObject* res = PyRun_String(code.c_str(), Py_file_input, globals, globals);
    std::string out;
    if (res == nullptr) out = format_pending();
    Py_XDECREF(res);
    Py_DECREF(globals);
    return out;
}

void expose(const char* name, PyCFunction fn, int flags) {
    ensure_interpreter();
    auto* def = new PyMethodDef{name, fn, flags, nullptr};
    g_defs.push_back(def);
    PyObject* f = PyCFunction_New(def, nullptr);
    PyDict_SetItemString(g_exposed, name, f);
    Py_DECREF(f);
}

}  // namespace rotalink::testing

namespace rotalink::testing {

void expose_object(const char* name, PyObject* obj) {
    ensure_interpreter();
    PyDict_SetItemString(g_exposed, name, obj);
}

}  // namespace rotalink::testing
