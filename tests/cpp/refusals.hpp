// The refusals both faces share (tests/refusals.tsv): the message of each
// refusal by its key, read once.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>

namespace rotalink::testing {

inline const std::map<std::string, std::string>& refusals() {
    static const std::map<std::string, std::string> table = [] {
        std::map<std::string, std::string> rows;
        std::ifstream in(ROTALINK_REFUSALS);
        std::string line;
        while (std::getline(in, line)) {
            const std::size_t tab = line.find('\t');
            if (line.empty() || line[0] == '#' || tab == std::string::npos) continue;
            rows.emplace(line.substr(0, tab), line.substr(tab + 1));
        }
        return rows;
    }();
    return table;
}

// The message of refusal `key`; a key not in the table fails the test.
inline std::string refusal(const std::string& key) {
    const auto it = refusals().find(key);
    if (it == refusals().end()) {
        ADD_FAILURE() << "no refusal \"" << key << "\" in " << ROTALINK_REFUSALS;
        return {};
    }
    return it->second;
}

}  // namespace rotalink::testing
