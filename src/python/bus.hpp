// The Python face of a bus: a SocketCanTransport object holds a SharedBus.
#pragma once

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

// A driver error as the Python exception it becomes: RuntimeError with the
// message, except limits the encoder cannot use, which are a ValueError.
PendingError dm_err_to_py(const damiao::Error& e);

// Whether a wait for the bus ended because a signal interrupted it.
bool interrupted(const damiao::Error& e);

}  // namespace rotalink::py
