// Internal faults and the module entry, driven from an embedded interpreter.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "bus_object.hpp"
#include "embedded.hpp"

namespace {

using rotalink::testing::expose;
using rotalink::testing::run;

PyObject* fault_with_text(PyObject*, PyObject*) {
    return rotalink::py::guard([]() -> PyObject* { ROTALINK_PANIC("bus lock invariant broken"); });
}

PyObject* fault_without_text(PyObject*, PyObject*) {
    return rotalink::py::guard([]() -> PyObject* { throw 42; });
}

PyObject* error_without_exception(PyObject*, PyObject*) {
    return rotalink::py::guard([] { return rotalink::py::fail_with_pending(); });
}

class Faults : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        expose("fault_with_text", fault_with_text, METH_NOARGS);
        expose("fault_without_text", fault_without_text, METH_NOARGS);
        expose("error_without_exception", error_without_exception, METH_NOARGS);
    }
};

TEST_F(Faults, PanicIsABaseExceptionCarryingTheMessage) {
    ::testing::internal::CaptureStderr();
    const std::string err = run(R"(
caught = None
try:
    try:
        fault_with_text()
    except Exception:
        raise AssertionError("an Exception handler caught an internal fault")
except BaseException as e:
    caught = e
t = type(caught)
assert t.__name__ == "PanicException", t
assert t.__bases__ == (BaseException,), t.__bases__
assert caught.args == ("bus lock invariant broken",), caught.args
assert not hasattr(rotalink, "PanicException")
assert "BaseException" in t.__doc__ and "internal check" in t.__doc__
)");
    const std::string diag = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "");
    EXPECT_NE(diag.find("bus lock invariant broken"), std::string::npos) << diag;
    EXPECT_NE(diag.find("tests/cpp/test_faults.cpp:"), std::string::npos) << diag;
}

TEST_F(Faults, OnePanicTypePerProcessAndGenericMessage) {
    ::testing::internal::CaptureStderr();
    const std::string err = run(R"(
def catch(f):
    try:
        f()
    except BaseException as e:
        return e
a, b = catch(fault_with_text), catch(fault_without_text)
assert type(a) is type(b)
assert len(b.args) == 1 and b.args[0], b.args
)");
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "");
}

TEST_F(Faults, FailureWithoutPendingExceptionIsSystemError) {
    const std::string err = run(R"(
try:
    error_without_exception()
except SystemError as e:
    assert str(e) == "attempted to fetch exception but none was set", e
else:
    raise AssertionError("no SystemError")
)");
    EXPECT_EQ(err, "");
}

// In a child process: a daemon thread loops group commands whose wait runs
// with the interpreter lock released, and the interpreter finalizes under
// it. When the wait ends, CPython ends the thread with a forced unwind as it
// asks for the interpreter lock back; that must leave the process quietly.
int finalize_under_a_cycling_daemon(int run_index) {
    rotalink::testing::make_bus("exit_bus");  // nothing ever answers on it
    const std::string code = R"PY(
import threading, time
g = rotalink.MotorGroup([(exit_bus, rotalink.Damiao(1, 0x11))], timeout_ms=)PY" +
                             std::to_string(5 + run_index % 4 * 10) + R"PY()
def loop():
    while True:
        for command in (g.enable, lambda: g.mit_control([rotalink.MitSetpoint()])):
            try:
                command()
            except rotalink.GroupError:
                pass
threading.Thread(target=loop, daemon=True).start()
time.sleep(0.02)
)PY";
    if (!run(code).empty()) return 3;
    if (Py_FinalizeEx() != 0) return 4;
    usleep(100000);  // the daemon's wait ends meanwhile
    return 0;
}

TEST(Finalization, DaemonThreadInAGroupCycleEndsWithoutAnAbort) {
    rotalink::testing::ensure_interpreter();
    for (int i = 0; i < 20; ++i) {
        std::fflush(stdout);
        std::fflush(stderr);
        PyOS_BeforeFork();
        const pid_t pid = fork();
        if (pid == 0) {
            PyOS_AfterFork_Child();
            _exit(finalize_under_a_cycling_daemon(i));
        }
        PyOS_AfterFork_Parent();
        ASSERT_GT(pid, 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "run " << i << ": " << (WIFSIGNALED(status) ? "killed by signal " : "exit status ")
            << (WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
    }
}

TEST(ModuleEntry, SecondInterpreterIsRefused) {
    rotalink::testing::ensure_interpreter();
    ASSERT_EQ(run("import rotalink"), "");
    PyThreadState* main = PyThreadState_Get();
    PyThreadState* sub = Py_NewInterpreter();
    ASSERT_NE(sub, nullptr);
    PyObject* mod = PyImport_ImportModule("rotalink");
    EXPECT_EQ(mod, nullptr);
    ASSERT_TRUE(PyErr_Occurred());
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_ImportError));
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyObject* s = v ? PyObject_Str(v) : nullptr;
    const std::string msg = s ? PyUnicode_AsUTF8(s) : "";
    EXPECT_NE(msg.find("sub-interpreters"), std::string::npos) << msg;
    Py_XDECREF(s);
    Py_XDECREF(t);
    Py_XDECREF(v);
    Py_XDECREF(tb);
    Py_EndInterpreter(sub);
    PyThreadState_Swap(main);
    // The first interpreter's module is unaffected.
    EXPECT_EQ(run("assert rotalink.MitLimits().p_max == 12.5"), "");
}

}  // namespace
