#include "hwmon/kernel_tree.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <tuple>

namespace {

std::string Trim(std::string text)
{
    const char* blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Names ordered by the text before their trailing number, then by that
// number's value: "card2" before "card10".
auto NaturalKey(const std::string& name)
{
    const size_t digits = name.find_last_not_of("0123456789") + 1;
    const auto number = TrailingNumber(name);
    return std::tuple(name.substr(0, digits), number.has_value(), number.value_or(0), name);
}

}  // namespace

std::optional<std::string> KernelTree::ReadText(const std::string& relative, size_t limit) const
{
    std::ifstream in(Path(relative), std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<size_t>(in.gcount()));
        if (text.size() > limit) {
            return std::nullopt;
        }
    }
    // sysfs answers a failed sensor read (EIO, ENODATA) with a failed read.
    if (in.bad()) {
        return std::nullopt;
    }
    return text;
}

std::optional<std::string> KernelTree::ReadLine(const std::string& relative) const
{
    auto text = ReadText(relative, 64 * 1024);
    if (!text) {
        return std::nullopt;
    }
    return Trim(text->substr(0, text->find('\n')));
}

std::optional<int64_t> KernelTree::ReadNumber(const std::string& relative) const
{
    const auto line = ReadLine(relative);
    if (!line || line->empty()) {
        return std::nullopt;
    }
    int base = 10;
    size_t start = 0;
    if (line->rfind("0x", 0) == 0) {
        base = 16;
        start = 2;
    }
    int64_t value = 0;
    const char* end = line->data() + line->size();
    const auto [stop, error] = std::from_chars(line->data() + start, end, value, base);
    if (error != std::errc{} || stop != end) {
        return std::nullopt;
    }
    return value;
}

std::vector<std::string> KernelTree::List(const std::string& relative) const
{
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(Path(relative), error), end; !error && it != end;
         it.increment(error)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return NaturalKey(a) < NaturalKey(b); });
    return names;
}

std::optional<uint32_t> TrailingNumber(const std::string& name)
{
    const size_t start = name.find_last_not_of("0123456789") + 1;
    uint32_t value = 0;
    const char* end = name.data() + name.size();
    if (start >= name.size() || std::from_chars(name.data() + start, end, value).ec != std::errc{}) {
        return std::nullopt;
    }
    return value;
}

std::vector<HwmonTemperature> ReadHwmonTemperatures(const KernelTree& tree, const std::string& hwmonDir)
{
    std::vector<std::pair<uint32_t, std::string>> inputs;
    for (const std::string& file : tree.List(hwmonDir)) {
        const std::string suffix = "_input";
        if (file.rfind("temp", 0) == 0 && file.size() > suffix.size() &&
            file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0) {
            const std::string stem = file.substr(0, file.size() - suffix.size());
            if (const auto index = TrailingNumber(stem); index && stem == "temp" + std::to_string(*index)) {
                inputs.emplace_back(*index, stem);
            }
        }
    }
    std::sort(inputs.begin(), inputs.end());
    std::vector<HwmonTemperature> temperatures;
    for (const auto& [index, stem] : inputs) {
        if (const auto milli = tree.ReadNumber(hwmonDir + "/" + stem + "_input")) {
            temperatures.push_back({tree.ReadLine(hwmonDir + "/" + stem + "_label").value_or(""),
                                    static_cast<double>(*milli) / 1000.0});
        }
    }
    return temperatures;
}
