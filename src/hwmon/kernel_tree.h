#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Files of the kernel (/proc, /sys) and of the system, read below a root
// directory that tests point at a fake tree. Every read may fail: a file that
// is missing, unreadable or malformed gives nothing, never an error.
class KernelTree {
public:
    explicit KernelTree(std::filesystem::path root) : m_root(std::move(root)) {}

    std::filesystem::path Path(const std::string& relative) const { return m_root / relative; }
    // The whole file, when it is at most `limit` bytes.
    std::optional<std::string> ReadText(const std::string& relative, size_t limit = 1 << 20) const;
    // The first line, without surrounding blanks.
    std::optional<std::string> ReadLine(const std::string& relative) const;
    // The first line as a number: decimal, or hexadecimal with a 0x prefix.
    std::optional<int64_t> ReadNumber(const std::string& relative) const;
    // The names in a directory, in natural order (hwmon2 before hwmon10).
    std::vector<std::string> List(const std::string& relative) const;

private:
    std::filesystem::path m_root;
};

// The number at the end of a name ("temp12" gives 12), or none.
std::optional<uint32_t> TrailingNumber(const std::string& name);

// One temperature of a hwmon chip: its label (empty when the chip gives none)
// and its value in degrees Celsius.
struct HwmonTemperature {
    std::string label;
    double celsius = 0;
};

// The temperatures of the hwmon directory (temp<N>_input, in N order); inputs
// that cannot be read are left out.
std::vector<HwmonTemperature> ReadHwmonTemperatures(const KernelTree& tree, const std::string& hwmonDir);
