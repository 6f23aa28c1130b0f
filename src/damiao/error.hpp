// The one error type of the motor layer.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "damiao/mit.hpp"
#include "damiao/registers.hpp"
#include "transport/can.hpp"

namespace rotalink::damiao {

class Error {
public:
    enum class Kind : std::uint8_t {
        Transport,
        UnknownRegister,
        ReadOnlyRegister,
        RegisterTypeMismatch,
        UnexpectedReply,
        ControlModeMismatch,
        ShortReply,
        LimitDomain,
        InvalidCommand,
        Failure,
    };

    static Error transport(transport::TransportError e) { return Error(Kind::Transport, std::move(e)); }
    static Error unknown_register(std::uint64_t reg);
    static Error read_only_register(std::uint8_t reg);
    static Error register_type_mismatch(std::uint8_t reg, RegisterKind expected, RegisterKind got);
    static Error unexpected_reply(std::vector<std::uint8_t> data);
    static Error control_mode_mismatch(std::uint8_t wrote, std::uint8_t reports);
    // A reply too short to decode as feedback (fewer than 8 data bytes).
    static Error short_reply(std::size_t len);
    // The encoder's limit-domain failure: nothing was sent.
    static Error limit_domain(mit::LimitDomainError e);
    // A command that cannot be sent as asked (an identifier past the
    // standard range, a field that is not finite): nothing was sent.
    static Error invalid_command(std::string message);
    // A failure its message describes: feedback from another motor, a
    // register that reads back another value than was written, a bus that
    // can no longer be used.
    static Error failure(std::string message);

    Kind kind() const { return kind_; }
    const transport::TransportError& transport_error() const { return transport_; }
    std::string message() const;

private:
    explicit Error(Kind k, transport::TransportError t = transport::TransportError::timeout())
        : kind_(k), transport_(std::move(t)) {}

    Kind kind_;
    transport::TransportError transport_;
    std::uint64_t reg_ = 0;
    RegisterKind expected_ = RegisterKind::Uint32;
    RegisterKind got_ = RegisterKind::Uint32;
    std::vector<std::uint8_t> data_;
    std::uint8_t wrote_ = 0;
    std::uint8_t reports_ = 0;
    std::size_t len_ = 0;
    mit::LimitDomainError limit_{0.0f, 0.0f};
    std::string text_;
};

}  // namespace rotalink::damiao
