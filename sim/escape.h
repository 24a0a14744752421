// Bytes as C-like text, the one escaping of the simulated machine's record,
// its reports and the formatter table: \r \n \t \\ \" and \xHH for every other
// byte below 0x20 or from 0x7F up; a line break after each \n if asked.
// Header-only, so the formatter table's Windows program shares it.
#pragma once

#include <cstdio>
#include <string>

namespace sim {

inline std::string Escape(const void* data, size_t length, bool breakLines) {
    std::string out;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = p[i];
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += breakLines ? "\\n\n" : "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace sim
