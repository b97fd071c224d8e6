// The little JSON the simulator writes: strings and numbers.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace kelvex::sim {

inline std::string json_string(const std::string& s)
{
    std::string out = "\"";
    for (const unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// The shortest of %.15g and %.17g that reads back as the same double.
inline std::string json_number(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", v);
    if (std::strtod(text, nullptr) != v) {
        std::snprintf(text, sizeof text, "%.17g", v);
    }
    return text;
}

inline std::string json_array(const std::vector<std::string>& items)
{
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        out += (i ? ", " : "") + json_string(items[i]);
    }
    return out + "]";
}

}  // namespace kelvex::sim
