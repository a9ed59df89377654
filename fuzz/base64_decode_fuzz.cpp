// Base64Decode on any bytes: at most three bytes for four characters, and the
// inverse of standard encoding with and without its padding.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/decode.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);

    Require(Base64Decode(input).size() <= input.size() * 3 / 4, "more bytes than the text can hold");

    std::string encoded = Base64Encode(input);
    Require(Base64Decode(encoded) == input, "encoded bytes did not come back");
    encoded.erase(encoded.find_last_not_of('=') + 1);
    Require(Base64Decode(encoded) == input, "encoded bytes without padding did not come back");
    return 0;
}
