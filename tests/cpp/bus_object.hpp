// A bus object (the Python face of a bus) around an in-memory transport, for
// the binding tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "embedded.hpp"
#include "memory_transport.hpp"
#include "python/bus.hpp"

namespace rotalink::testing {

// Publishes the bus object to later `run` calls as `name`; the transport
// stays owned by the object.
inline test::MemoryTransport* make_bus(const char* name) {
    ensure_interpreter();
    EXPECT_EQ(run("pass"), "");  // imports rotalink, creating its classes
    auto t = std::make_unique<test::MemoryTransport>();
    test::MemoryTransport* raw = t.get();
    PyObject* obj = py::new_bus_object(py::socketcan_transport_type(), std::move(t));
    EXPECT_NE(obj, nullptr);
    expose_object(name, obj);
    Py_DECREF(obj);
    return raw;
}

}  // namespace rotalink::testing
