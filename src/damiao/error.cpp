#include "damiao/error.hpp"

namespace rotalink::damiao {

Error Error::unknown_register(std::uint64_t reg) {
    Error e(Kind::UnknownRegister);
    e.reg_ = reg;
    return e;
}

Error Error::read_only_register(std::uint8_t reg) {
    Error e(Kind::ReadOnlyRegister);
    e.reg_ = reg;
    return e;
}

Error Error::register_type_mismatch(std::uint8_t reg, RegisterKind expected, RegisterKind got) {
    Error e(Kind::RegisterTypeMismatch);
    e.reg_ = reg;
    e.expected_ = expected;
    e.got_ = got;
    return e;
}

Error Error::unexpected_reply(std::vector<std::uint8_t> data) {
    Error e(Kind::UnexpectedReply);
    e.data_ = std::move(data);
    return e;
}

Error Error::control_mode_mismatch(std::uint8_t wrote, std::uint8_t reports) {
    Error e(Kind::ControlModeMismatch);
    e.wrote_ = wrote;
    e.reports_ = reports;
    return e;
}

Error Error::short_reply(std::size_t len) {
    Error e(Kind::ShortReply);
    e.len_ = len;
    return e;
}

Error Error::limit_domain(mit::LimitDomainError err) {
    Error e(Kind::LimitDomain);
    e.limit_ = err;
    return e;
}

Error Error::invalid_command(std::string message) {
    Error e(Kind::InvalidCommand);
    e.text_ = std::move(message);
    return e;
}

Error Error::failure(std::string message) {
    Error e(Kind::Failure);
    e.text_ = std::move(message);
    return e;
}

std::string Error::message() const {
    switch (kind_) {
        case Kind::Transport:
            return "transport error: " + transport_.message();
        case Kind::UnknownRegister:
            return "register " + std::to_string(reg_) + " is not in the Damiao register table";
        case Kind::ReadOnlyRegister:
            return "register " + std::to_string(reg_) + " is read-only";
        case Kind::RegisterTypeMismatch:
            return "register " + std::to_string(reg_) + ": expected " + kind_name(expected_) +
                   ", got " + kind_name(got_);
        case Kind::UnexpectedReply: {
            std::string out = "unexpected reply (data did not match register-reply pattern): [";
            for (std::size_t i = 0; i < data_.size(); ++i) {
                if (i > 0) out += ", ";
                out += std::to_string(data_[i]);
            }
            return out + "]";
        }
        case Kind::ControlModeMismatch:
            return "control mode verification failed: wrote " + std::to_string(wrote_) +
                   ", motor reports " + std::to_string(reports_);
        case Kind::ShortReply:
            return "feedback reply too short: " + std::to_string(len_) + " data bytes, expected 8";
        case Kind::LimitDomain:
            return limit_.message();
        case Kind::InvalidCommand:
        case Kind::Failure:
            return text_;
    }
    ROTALINK_PANIC("unknown driver error kind");
}

}  // namespace rotalink::damiao
