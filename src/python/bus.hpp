// The Python face of a bus: a SocketCanTransport object holds a SharedBus.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "damiao/driver.hpp"
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

// One driver exchange, `op(transport)`, with the bus lock held, as every
// command takes it: the interpreter lock is held throughout, and released
// only while another thread holds the bus (`locked_releasing`).
template <class T, class Op>
Result<T, damiao::Error> bus_exchange(transport::SharedBus& bus, Op&& op) {
    std::optional<Result<T, damiao::Error>> result;
    bus.locked_releasing(without_interpreter, [&](transport::CanTransport& t) { result.emplace(op(t)); });
    return std::move(*result);
}

// Puts `motor` on `bus` in control mode `mode` as the module's commands do:
// the reading (and refresh and writing) and the verification are two
// exchanges (`bus_exchange`), and the pause between them holds neither the
// bus lock nor the interpreter lock, so that other threads (a control loop
// on the same bus) run meanwhile. Signal handlers run during the pause, in
// slices of kSignalCheck: nullopt when one raised (its exception is set,
// and the mode may have been written but not verified); otherwise the
// outcome of the switch.
std::optional<Result<Unit, damiao::Error>> switch_mode(transport::SharedBus& bus, const damiao::Damiao& motor,
                                                       std::uint8_t mode);

// How long a native wait of the module lasts at most before the handlers of
// the signals that arrived meanwhile run.
inline constexpr transport::Duration kSignalCheck = transport::Duration::from_millis(20);

// A driver error as the Python exception it becomes: RuntimeError with the
// message, except limits the encoder cannot use, which are a ValueError.
PendingError dm_err_to_py(const damiao::Error& e);

// Whether a wait for the bus ended because a signal interrupted it.
bool interrupted(const damiao::Error& e);

// Raises what a failed command raises: when a signal interrupted its wait,
// the pending handlers run first, and an exception one of them raises is
// the call's; otherwise the driver's error (`dm_err_to_py`). nullptr.
PyObject* raise_driver_error(const damiao::Error& e);

}  // namespace rotalink::py
