// The Python face of the command kinds (damiao/control.hpp): each kind's
// value class and Damiao method are declared from its table entry, their
// names, docs and text signatures written out at compile time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "damiao/control.hpp"
#include "python/call.hpp"

namespace rotalink::py {

// The value class of command kind `kind` (MitSetpoint, PosVelSetpoint, ...).
PyTypeObject* setpoint_type(std::size_t kind);
inline PyTypeObject* mit_setpoint_type() { return setpoint_type(damiao::kMitKind); }
// The command kind of `obj`'s class, or kCommandKindCount when `obj` is no
// setpoint.
std::size_t setpoint_kind(PyObject* obj);
// What `obj`, an instance of a value class, holds.
const damiao::Setpoint& setpoint_of(PyObject* obj);
// ControlMode, an enum.IntEnum of the modes by name; nullptr with an
// exception set if it cannot be created (it is created once and kept).
PyObject* control_mode_enum();
// The mode argument `name`: a ControlMode or its number; false with
// ValueError for a number no mode has.
bool mode_arg(PyObject* obj, const char* name, std::uint8_t& mode);
// "MitSetpoint, PosVelSetpoint, VelSetpoint or ForcePosSetpoint".
const char* setpoint_class_names();
// "MIT (1), POS_VEL (2), VEL (3) or FORCE_POS (4)".
const char* mode_names();

namespace kind_text {

// Counts (and, given somewhere to write, writes) the characters of a text.
class Out {
public:
    constexpr explicit Out(char* out) : out_(out) {}
    constexpr Out& operator<<(const char* s) {
        for (; *s != '\0'; ++s, ++n_) {
            if (out_ != nullptr) out_[n_] = *s;
        }
        return *this;
    }
    constexpr std::size_t size() const { return n_; }

private:
    char* out_;
    std::size_t n_ = 0;
};

enum class Which { QualifiedName, NewName, ClassDoc, MethodName, MethodDoc };

constexpr std::size_t compose(std::size_t k, Which which, char* out) {
    Out o(out);
    const damiao::CommandKind& c = damiao::kCommandKinds[k];
    switch (which) {
        case Which::QualifiedName:
            o << "rotalink." << c.value_class;
            break;
        case Which::NewName:
            o << c.value_class << ".__new__";
            break;
        case Which::ClassDoc:
            o << c.value_class << "(";
            for (std::size_t i = 0; i < c.field_count; ++i) o << (i > 0 ? ", " : "") << c.fields[i].name << "=0.0";
            o << ")\n--\n\n";
            break;
        case Which::MethodName:
            o << "Damiao." << c.method;
            break;
        case Which::MethodDoc:
            o << c.method << "($self, bus, setpoint)\n--\n\n";
            break;
    }
    return o.size();
}

// The text `Which` of kind K, NUL-terminated, of static storage.
template <std::size_t K, Which W>
struct Text {
    static constexpr std::size_t size = compose(K, W, nullptr);
    static constexpr std::array<char, size + 1> make() {
        std::array<char, size + 1> a{};
        compose(K, W, a.data());
        return a;
    }
    static constexpr std::array<char, size + 1> text = make();
    static constexpr const char* c_str() { return text.data(); }
};

template <std::size_t K, std::size_t... I>
constexpr std::array<const char*, sizeof...(I)> field_names(std::index_sequence<I...>) {
    return {{damiao::kCommandKinds[K].fields[I].name...}};
}

}  // namespace kind_text

inline constexpr const char* kControlMethodParams[] = {"bus", "setpoint"};

// The signatures of kind K: its value class's constructor (every field a
// float with default 0.0) and its Damiao method (bus, setpoint).
template <std::size_t K>
struct KindSignatures {
    static constexpr std::size_t N = damiao::kCommandKinds[K].field_count;
    static constexpr std::array<const char*, N> params = kind_text::field_names<K>(std::make_index_sequence<N>{});
    static constexpr Signature<static_cast<int>(N)> ctor{
        {kind_text::Text<K, kind_text::Which::NewName>::c_str(),
         kind_text::Text<K, kind_text::Which::ClassDoc>::c_str(), params.data(), static_cast<int>(N), 0}};
    static constexpr Signature<2> method{{kind_text::Text<K, kind_text::Which::MethodName>::c_str(),
                                          kind_text::Text<K, kind_text::Which::MethodDoc>::c_str(),
                                          kControlMethodParams, 2, 2}};
    static_assert(ctor.doc_matches() && method.doc_matches(), "a command kind's text signature is malformed");
};

}  // namespace rotalink::py
