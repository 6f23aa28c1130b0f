// The Python face of a bus: a SocketCanTransport object holds a SharedBus.
#pragma once

#include <memory>

#include "python/types.hpp"
#include "transport/shared_bus.hpp"

namespace rotalink::py {

PyTypeObject* socketcan_transport_type();

// A new bus object of `type` around `transport`; nullptr with MemoryError
// set if the object cannot be allocated (the transport is then closed).
PyObject* new_bus_object(PyTypeObject* type, std::unique_ptr<transport::CanTransport> transport);

inline transport::SharedBus& shared_bus(PyObject* obj) { return native<transport::SharedBus>(obj); }

}  // namespace rotalink::py
