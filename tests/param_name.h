// Names of parametrised GoogleTest cases, so that a failure (and ctest's
// list) names the case: the text that tells the case apart, as a valid name
// (letters, digits, '_'), then its index, which keeps every name unique.
#pragma once

#include <cctype>
#include <string>

namespace qntest {

inline std::string param_name(const std::string &what, size_t index)
{
    std::string n;
    for (unsigned char c : what) {
        if (std::isalnum(c))
            n += char(c);
        else if (!n.empty() && n.back() != '_')
            n += '_';
    }
    while (!n.empty() && n.back() == '_')
        n.pop_back();
    return (n.empty() ? "empty" : n) + "_" + std::to_string(index);
}

} // namespace qntest
