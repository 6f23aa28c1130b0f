// The wire table for Python code that reads and writes its own raw CAN
// socket (the bus scanner, the emergency stop): register_reply, the register
// rule of the protocol; the protocol's identifiers, command bytes and codes
// as module attributes; and a maker for each frame the driver sends outside
// the control commands, built on the protocol's own make functions.
#include <optional>

#include "damiao/protocol.hpp"
#include "python/bus.hpp"
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

// A frame the driver would send, as (identifier, data): a classic frame of
// a standard identifier, its 8 data bytes.
PyObject* frame_tuple(const transport::CanFrame& frame) {
    return must(Py_BuildValue("(Iy#)", static_cast<unsigned>(frame.id.value),
                              reinterpret_cast<const char*>(frame.data.data()),
                              static_cast<Py_ssize_t>(frame.data.size())),
                "a tuple");
}

// Binds a frame maker's arguments and converts the first, motor_id.
template <int N>
bool bind_motor(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                typename Signature<N>::Args& a, std::uint16_t& motor_id) {
    return bind_vector(sig, args, nargs, kwnames, a) && to_u16(a[0], "motor_id", motor_id);
}

// The special commands' frame makers, one per entry of the command list:
// enable_frame(motor_id, mode=ControlMode.MIT) and the like.
#define ROTALINK_SPECIAL_FRAME_SIGNATURE(name, constant, byte)                                                 \
    ROTALINK_SIGNATURE(k_##name##_frame, 2, #name "_frame",                                                  \
                       ROTALINK_DOC(#name "_frame", "(motor_id, mode=ControlMode.MIT)")                        \
                       "The frame of Damiao." #name " as (identifier, data): seven 0xFF bytes\n"             \
                       "then " #byte ", to (motor_id & 0x7FF) + mode.id_offset. Older firmware in a\n"       \
                       "mode other than MIT takes it only on its mode's identifier. ValueError\n"            \
                       "when that identifier would be 0x7FF or above.",                                        \
                       1, "motor_id", "mode");
ROTALINK_SPECIAL_COMMANDS(ROTALINK_SPECIAL_FRAME_SIGNATURE)
#undef ROTALINK_SPECIAL_FRAME_SIGNATURE

template <std::uint8_t Command, const Signature<2>* Sig>
PyObject* special_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<2>::Args a;
        std::uint16_t motor_id = 0;
        std::uint8_t mode = damiao::kMitMode;
        if (!bind_motor(*Sig, args, nargs, kwnames, a, motor_id) || (a[1] != nullptr && !mode_arg(a[1], "mode", mode))) {
            return nullptr;
        }
        const std::size_t kind = damiao::kind_of_mode(mode);
        const std::optional<transport::CanFrame> frame = damiao::make_special_for(motor_id, Command, kind);
        if (!frame) return raise({PyExc_ValueError, damiao::control_id_fault(motor_id, kind)});
        return frame_tuple(*frame);
    });
}

ROTALINK_SIGNATURE(kRefreshFrame, 1, "refresh_frame", ROTALINK_DOC("refresh_frame", "(motor_id)")
                   "The refresh of Damiao.refresh as (identifier, data): to 0x7FF,\n"
                   "[id lo, id hi, 0xCC, 0, 0, 0, 0, 0], the id being motor_id & 0x7FF.", 1, "motor_id");
ROTALINK_SIGNATURE(kSaveParametersFrame, 1, "save_parameters_frame",
                   ROTALINK_DOC("save_parameters_frame", "(motor_id)")
                   "The frame of Damiao.save_parameters as (identifier, data): to 0x7FF,\n"
                   "[id lo, id hi, 0xAA, 0x01, 0, 0, 0, 0], the id being motor_id & 0x7FF.",
                   1, "motor_id");

template <transport::CanFrame (*Make)(std::uint16_t), const Signature<1>* Sig>
PyObject* motor_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<1>::Args a;
        std::uint16_t motor_id = 0;
        if (!bind_motor(*Sig, args, nargs, kwnames, a, motor_id)) return nullptr;
        return frame_tuple(Make(motor_id));
    });
}

ROTALINK_SIGNATURE(kReadRegisterFrame, 2, "read_register_frame",
                   ROTALINK_DOC("read_register_frame", "(motor_id, register)")
                   "The request of Damiao.read_register as (identifier, data): to 0x7FF,\n"
                   "[id lo, id hi, 0x33, register, 0, 0, 0, 0], the id all 16 bits of\n"
                   "motor_id.", 2, "motor_id", "register");

PyObject* read_register_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<2>::Args a;
        std::uint16_t motor_id = 0;
        const damiao::RegisterInfo* info = nullptr;
        if (!bind_motor(kReadRegisterFrame, args, nargs, kwnames, a, motor_id) ||
            (info = register_arg(a[1])) == nullptr) {
            return nullptr;
        }
        return frame_tuple(damiao::make_register_read(motor_id, info->number));
    });
}

ROTALINK_SIGNATURE(kWriteRegisterFrame, 3, "write_register_frame",
                   ROTALINK_DOC("write_register_frame", "(motor_id, register, value)")
                   "The request of Damiao.write_register as (identifier, data): to 0x7FF,\n"
                   "[id lo, id hi, 0x55, register, value (4 bytes, little-endian)], the\n"
                   "id all 16 bits of motor_id; `value` as Damiao.write_register takes it.",
                   3, "motor_id", "register", "value");

PyObject* write_register_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<3>::Args a;
        std::uint16_t motor_id = 0;
        const damiao::RegisterInfo* info = nullptr;
        std::uint32_t bits = 0;
        if (!bind_motor(kWriteRegisterFrame, args, nargs, kwnames, a, motor_id) ||
            (info = register_arg(a[1])) == nullptr || !register_bits(*info, a[2], bits)) {
            return nullptr;
        }
        if (!info->writable) return raise(dm_err_to_py(damiao::Error::read_only_register(info->number)));
        return frame_tuple(damiao::make_register_write(motor_id, info->number, bits));
    });
}

// A read-only view of `dict`, which it takes.
PyObject* read_only(PyObject* dict) {
    PyObject* proxy = PyDictProxy_New(dict);
    Py_DECREF(dict);
    return must(proxy, "a mapping proxy");
}

PyObject* special_commands() {
    PyObject* dict = must(PyDict_New(), "a dict");
#define ROTALINK_SPECIAL_ITEM(name, constant, byte)                                                  \
    {                                                                                                \
        PyObject* value = new_int(damiao::constant);                                                 \
        if (PyDict_SetItemString(dict, #name, value) < 0) ROTALINK_PANIC("could not fill a dict");   \
        Py_DECREF(value);                                                                            \
    }
    ROTALINK_SPECIAL_COMMANDS(ROTALINK_SPECIAL_ITEM)
#undef ROTALINK_SPECIAL_ITEM
    return read_only(dict);
}

PyObject* can_bit_rates() {
    PyObject* dict = must(PyDict_New(), "a dict");
    for (const damiao::CanBitRate& r : damiao::kCanBitRates) {
        PyObject* key = new_int(r.code);
        PyObject* data = r.data_bitrate == 0 ? (Py_INCREF(Py_None), Py_None) : new_int(r.data_bitrate);
        PyObject* value = must(Py_BuildValue("(kN)", static_cast<unsigned long>(r.bitrate), data), "a tuple");
        if (PyDict_SetItem(dict, key, value) < 0) ROTALINK_PANIC("could not fill a dict");
        Py_DECREF(key);
        Py_DECREF(value);
    }
    return read_only(dict);
}

}  // namespace

PyMethodDef register_reply_def = method<&kRegisterReply>(register_reply_fn);

WireFunctions wire_functions() {
    return {{
#define ROTALINK_SPECIAL_FRAME_DEF(name, constant, byte) \
    method<&k_##name##_frame>(special_frame<damiao::constant, &k_##name##_frame>),
        ROTALINK_SPECIAL_COMMANDS(ROTALINK_SPECIAL_FRAME_DEF)
#undef ROTALINK_SPECIAL_FRAME_DEF
        method<&kRefreshFrame>(motor_frame<damiao::make_refresh, &kRefreshFrame>),
        method<&kReadRegisterFrame>(read_register_frame),
        method<&kWriteRegisterFrame>(write_register_frame),
        method<&kSaveParametersFrame>(motor_frame<damiao::make_save_parameters, &kSaveParametersFrame>),
    }};
}

std::vector<WireValue> wire_values() {
    return {
        {"REGISTER_ID", new_int(damiao::kRegisterId)},
        {"REGISTER_READ_OP", new_int(damiao::kReadRegister)},
        {"REGISTER_WRITE_OP", new_int(damiao::kWriteRegister)},
        {"SPECIAL_COMMANDS", special_commands()},
        {"CAN_BIT_RATES", can_bit_rates()},
        {"TIMEOUT_UNIT_US", new_int(damiao::kTimeoutUnitMicros)},
    };
}

}  // namespace rotalink::py
