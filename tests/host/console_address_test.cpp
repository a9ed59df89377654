// What `tonvik-host --open` takes from the published file: only an address
// the host itself writes, never another place for xdg-open to open.
#include "console_address.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

TEST(ConsoleAddress, OnlyTheHostsOwnLoopbackAddressGivesAPort)
{
    const struct {
        std::string text;
        std::optional<uint16_t> port;
    } cases[] = {
        {"http://127.0.0.1:9190/\n", 9190},
        {"http://127.0.0.1:65535/", 65535},
        {"http://127.0.0.1:1/\n", 1},
        {"http://127.0.0.1:0/\n", std::nullopt},
        {"http://127.0.0.1:65536/\n", std::nullopt},
        {"http://127.0.0.1:09190/\n", std::nullopt},
        {"http://127.0.0.1:/\n", std::nullopt},
        {"http://127.0.0.1:9190\n", std::nullopt},
        {"http://127.0.0.1:9190/x\n", std::nullopt},
        {"http://127.0.0.1:9190/\n\n", std::nullopt},
        {"http://127.0.0.1:+9190/\n", std::nullopt},
        {"http://localhost:9190/\n", std::nullopt},
        {"https://127.0.0.1:9190/\n", std::nullopt},
        {"file:///etc/passwd\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ConsolePortOf(c.text), c.port) << c.text;
    }
}

}  // namespace
