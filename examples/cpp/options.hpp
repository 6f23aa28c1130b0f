// What the C++ examples share: "--name value" options with --help, the
// members of a group made from a list of identifiers, and error exits. Kept
// small: an example is about rotalink, not argument parsing.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <rotalink/rotalink.hpp>
#include <string>
#include <vector>

namespace example {

struct Options {
    std::map<std::string, std::string> values;

    // Fills `values` from argv (their defaults given); prints `usage` and
    // exits 0 on --help, exits 2 on anything it does not know.
    Options(int argc, char** argv, const char* usage, std::map<std::string, std::string> defaults)
        : values(std::move(defaults)) {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg == "--help" || arg == "-h") {
                std::fputs(usage, stdout);
                std::exit(0);
            }
            if (arg.rfind("--", 0) != 0 || values.count(arg.substr(2)) == 0 || i + 1 >= argc) {
                std::fprintf(stderr, "unknown or incomplete option %s\n\n%s", arg.c_str(), usage);
                std::exit(2);
            }
            values[arg.substr(2)] = argv[++i];
        }
    }
    const std::string& text(const std::string& name) const { return values.at(name); }
    long number(const std::string& name) const { return std::strtol(text(name).c_str(), nullptr, 0); }
    double real(const std::string& name) const { return std::strtod(text(name).c_str(), nullptr); }
    std::chrono::milliseconds millis(const std::string& name) const { return std::chrono::milliseconds(number(name)); }
    // "1,2,3" as numbers.
    std::vector<long> numbers(const std::string& name) const {
        std::vector<long> out;
        const std::string& s = text(name);
        for (std::size_t at = 0; at <= s.size();) {
            const std::size_t comma = s.find(',', at);
            const std::string item = s.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
            if (!item.empty()) out.push_back(std::strtol(item.c_str(), nullptr, 0));
            if (comma == std::string::npos) break;
            at = comma + 1;
        }
        return out;
    }
};

// The members of a group on one bus: the motors with command identifiers
// `ids`, each answering from its identifier + 0x10 within `timeout`, each
// with `joint`.
inline std::vector<rotalink::Member> members_of(const std::vector<long>& ids, const rotalink::SocketCanTransport& bus,
                                                const rotalink::MitLimits& limits, std::chrono::milliseconds timeout,
                                                std::optional<rotalink::JointLimits> joint = std::nullopt) {
    std::vector<rotalink::Member> members;
    for (long id : ids) {
        members.push_back({bus,
                           rotalink::Damiao(static_cast<std::uint16_t>(id), static_cast<std::uint16_t>(id + 0x10), limits,
                                            timeout),
                           joint});
    }
    return members;
}

// Prints the error and ends the program with status 1.
template <class R>
void check(const R& result, const char* what) {
    if (!result.ok()) {
        std::fprintf(stderr, "%s: %s\n", what, result.error().message().c_str());
        std::exit(1);
    }
}

}  // namespace example
