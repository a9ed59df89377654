#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

// A broken expectation is a finding: say which, and abort so that libFuzzer
// keeps the input.
inline void Require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

// What a host client sends: every byte outside letters, digits and "-_." as %XX.
inline std::string PercentEncode(const std::string& bytes)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '_' || c == '.';
        if (plain) {
            out.push_back(static_cast<char>(c));
        } else {
            out += {'%', hex[c >> 4], hex[c & 15]};
        }
    }
    return out;
}

// Standard Base64 with padding: the reference the decoder must invert.
inline std::string Base64Encode(const std::string& bytes)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned value = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                               static_cast<unsigned char>(bytes[i + 2]);
        out += {alphabet[value >> 18], alphabet[(value >> 12) & 63], alphabet[(value >> 6) & 63], alphabet[value & 63]};
    }
    if (const size_t left = bytes.size() - i; left > 0) {
        const unsigned value = static_cast<unsigned char>(bytes[i]) << 16 |
                               (left == 2 ? static_cast<unsigned char>(bytes[i + 1]) << 8 : 0u);
        out += {alphabet[value >> 18], alphabet[(value >> 12) & 63], left == 2 ? alphabet[(value >> 6) & 63] : '=', '='};
    }
    return out;
}
