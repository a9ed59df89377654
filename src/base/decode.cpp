#include "base/decode.h"

#include <cctype>
#include <sstream>

namespace {

// Reads the two bytes after a "%" the way a standard hexadecimal stream
// extraction does (leading blanks, an optional sign, then hex digits).
bool ReadHexPair(const std::string& pair, int& value)
{
    std::istringstream stream(pair);
    stream >> std::hex >> value;
    return !stream.fail();
}

int Base64Value(unsigned char c)
{
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    return c == '+' ? 62 : 63;
}

bool IsBase64Char(unsigned char c)
{
    return std::isalnum(c) != 0 || c == '+' || c == '/';
}

void EmitGroup(const int (&values)[4], int count, std::string& out)
{
    const unsigned char bytes[3] = {
        static_cast<unsigned char>((values[0] << 2) + (values[1] >> 4)),
        static_cast<unsigned char>(((values[1] & 0x0F) << 4) + (values[2] >> 2)),
        static_cast<unsigned char>(((values[2] & 0x03) << 6) + values[3]),
    };
    out.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(count));
}

}  // namespace

std::string UrlDecode(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%' && i + 2 < text.size()) {
            int value = 0;
            if (ReadHexPair(text.substr(i + 1, 2), value)) {
                out.push_back(static_cast<char>(value & 0xFF));
                i += 2;
            } else {
                out.push_back('%');
            }
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string Base64Decode(const std::string& text)
{
    std::string out;
    out.reserve(text.size() * 3 / 4);
    int group[4] = {0, 0, 0, 0};
    int count = 0;
    for (unsigned char c : text) {
        if (c == '=' || !IsBase64Char(c)) {
            break;
        }
        group[count++] = Base64Value(c);
        if (count == 4) {
            EmitGroup(group, 3, out);
            count = 0;
        }
    }
    if (count > 0) {
        for (int i = count; i < 4; ++i) {
            group[i] = 0;
        }
        EmitGroup(group, count - 1, out);
    }
    return out;
}
