// The Python face of a bus: a SocketCanTransport object holds a SharedBus.
#pragma once

#include <functional>
#include <memory>

#include "damiao/error.hpp"
#include "python/types.hpp"
#include "transport/shared_bus.hpp"

namespace rotalink::py {

PyTypeObject* socketcan_transport_type();

// A new bus object of `type` around `transport`; nullptr with MemoryError
// set if the object cannot be allocated (the transport is then closed).
PyObject* new_bus_object(PyTypeObject* type, std::unique_ptr<transport::CanTransport> transport);

inline transport::SharedBus& shared_bus(PyObject* obj) { return native<transport::SharedBus>(obj); }

// Runs `wait` with the interpreter lock released: what a single command does
// while another thread (a group cycle) holds its bus, so that every other
// Python thread runs meanwhile. The lock rules of the module:
//  - no thread waits for a bus lock while it holds the interpreter lock;
//  - the interpreter lock is never taken back while a bus lock is held;
//  - nothing that runs under a bus lock without the interpreter lock needs
//    it (no Python call, no log record through the bridge).
// A thread that CPython ends at exit is unwound from PyEval_RestoreThread;
// it holds no bus lock there.
ROTALINK_FORCED_UNWIND_HANDLER inline void without_interpreter(const std::function<void()>& wait) {
    PyThreadState* thread = PyEval_SaveThread();
    try {
        wait();
    }
    ROTALINK_PASS_FORCED_UNWIND
    catch (...) {
        PyEval_RestoreThread(thread);
        throw;
    }
    PyEval_RestoreThread(thread);
}

// A driver error as the Python exception it becomes: RuntimeError with the
// message, except limits the encoder cannot use, which are a ValueError.
PendingError dm_err_to_py(const damiao::Error& e);

// Whether a wait for the bus ended because a signal interrupted it.
bool interrupted(const damiao::Error& e);

}  // namespace rotalink::py
