// register_reply: the register rule of the protocol for Python code that
// reads its own raw CAN socket (the bus scanner).
#include "damiao/protocol.hpp"
#include "python/classes.hpp"
#include "python/method_def.hpp"
#include "transport/socketcan_backend/socketcan.hpp"

namespace rotalink::py {
namespace {

ROTALINK_SIGNATURE(kRegisterReply, 1, "register_reply", ROTALINK_DOC("register_reply", "(record)")
                   "The register read reply in `record`, one record as a raw CAN socket\n"
                   "delivers it (16 or 72 bytes): (motor_id, register, value), value being\n"
                   "the 4 value bytes; None for any other frame.", 1, "record");

PyObject* register_reply_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<1>::Args bound;
        std::uint8_t record[transport::kCanFdMtu];
        std::size_t size = 0;
        if (!bind_vector(kRegisterReply, args, nargs, kwnames, bound) ||
            !to_bytes(bound[0], "record", record, sizeof record, size)) {
            return nullptr;
        }
        // A record of another size is refused before any of it is read.
        const Result<transport::CanFrame, transport::TransportError> frame =
            transport::decode_record(record, size);
        if (!frame.ok()) {
            PyErr_Format(PyExc_ValueError,
                         "a record of %zu bytes is neither a CAN frame (%zu) nor a CAN FD frame (%zu)", size,
                         transport::kCanMtu, transport::kCanFdMtu);
            return nullptr;
        }
        const std::optional<damiao::RegisterFrame> reply = damiao::register_reply(frame.value());
        if (!reply) Py_RETURN_NONE;
        const char value[4] = {static_cast<char>(reply->bits & 0xFF), static_cast<char>((reply->bits >> 8) & 0xFF),
                               static_cast<char>((reply->bits >> 16) & 0xFF), static_cast<char>(reply->bits >> 24)};
        return must(Py_BuildValue("(HBy#)", reply->motor, reply->reg, value, Py_ssize_t{4}), "a tuple");
    });
}

}  // namespace

PyMethodDef register_reply_def = method<&kRegisterReply>(register_reply_fn);

}  // namespace rotalink::py
