// SocketCanTransport: an open raw CAN socket behind the bus lock.
#include "python/bus.hpp"
#include "python/classes.hpp"
#include "transport/socketcan_backend/socketcan.hpp"

namespace rotalink::py {
namespace {

PyTypeObject* g_bus = nullptr;

ROTALINK_SIGNATURE(kBusNew, 1, "SocketCanTransport.__new__", ROTALINK_DOC("SocketCanTransport", "(iface)"), 1,
                   "iface");

PyObject* bus_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        Signature<1>::Args bound;
        std::string iface;
        if (!bind_tuple(kBusNew, args, kwargs, bound) || !to_text(bound[0], "iface", iface)) {
            return nullptr;
        }
        auto opened = transport::SocketCanTransport::open(iface);
        if (!opened.ok()) return raise({PyExc_OSError, opened.error().text()});
        // If the object cannot be made, the transport (and its socket) is
        // closed as `opened` goes out of scope.
        return new_bus_object(type, std::move(opened).value());
    });
}

}  // namespace

PyObject* new_bus_object(PyTypeObject* type, std::unique_ptr<transport::CanTransport> transport) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    new (&native<transport::SharedBus>(obj)) transport::SharedBus(std::move(transport));
    return obj;
}

PyTypeObject* socketcan_transport_type() {
    return class_object(g_bus, {"rotalink.SocketCanTransport", kBusNew.doc, sizeof(Box<transport::SharedBus>),
                                bus_new, dealloc_box<transport::SharedBus>, nullptr, nullptr,
                                nullptr});
}

}  // namespace rotalink::py
