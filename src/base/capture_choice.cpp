#include "base/capture_choice.h"

#include <algorithm>
#include <utility>

namespace {

constexpr std::string_view kDefaultId = "default";
constexpr std::string_view kOutputPrefix = "output:";
constexpr std::string_view kAppPrefix = "app:";
constexpr std::string_view kAutoDelay = "auto";

}  // namespace

std::string CaptureSource::Id() const
{
    switch (kind) {
    case Kind::Output:
        return std::string(kOutputPrefix) + name;
    case Kind::App:
        return std::string(kAppPrefix) + name;
    case Kind::Default:
        break;
    }
    return std::string(kDefaultId);
}

std::optional<CaptureSource> ParseCaptureSource(std::string_view id)
{
    if (id == kDefaultId) {
        return CaptureSource{};
    }
    for (const auto& [prefix, kind] : {std::pair{kOutputPrefix, CaptureSource::Kind::Output},
                                       std::pair{kAppPrefix, CaptureSource::Kind::App}}) {
        if (id.starts_with(prefix) && id.size() > prefix.size()) {
            return CaptureSource{kind, std::string(id.substr(prefix.size()))};
        }
    }
    return std::nullopt;
}

std::string CaptureDelay::Text() const
{
    return automatic ? std::string(kAutoDelay) : std::to_string(fixedMs);
}

std::optional<CaptureDelay> ParseCaptureDelay(std::string_view text)
{
    if (text == kAutoDelay) {
        return CaptureDelay{};
    }
    // At most three digits: no sign, no blank, no overflow to think about.
    if (text.empty() || text.size() > 3 || !std::all_of(text.begin(), text.end(), [](char c) {
            return c >= '0' && c <= '9';
        })) {
        return std::nullopt;
    }
    int ms = 0;
    for (const char c : text) {
        ms = ms * 10 + (c - '0');
    }
    if (ms > kMaxCaptureDelayMs) {
        return std::nullopt;
    }
    return CaptureDelay{false, ms};
}
