#pragma once

#include <string>

// Undoes the percent and plus encoding of a query value. Never fails: a "%"
// without a readable number after it is kept as it is.
std::string UrlDecode(const std::string& text);

// Decodes standard Base64, leniently: padding is optional and decoding stops at
// the first "=" or at the first byte that cannot belong to Base64 text.
std::string Base64Decode(const std::string& text);
