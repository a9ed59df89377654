// UrlDecode on any bytes: never longer than its input, the identity on text
// without "%" or "+", and the inverse of full percent encoding.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/decode.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);

    const std::string decoded = UrlDecode(input);
    Require(decoded.size() <= input.size(), "decoding made the text longer");
    if (input.find_first_of("%+") == std::string::npos) {
        Require(decoded == input, "text without escapes changed");
    }

    Require(UrlDecode(PercentEncode(input)) == input, "percent-encoded bytes did not come back");
    return 0;
}
