#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

// A UTF-8 path as the file system takes it on every platform.
std::filesystem::path Utf8Path(const std::string& path);

// The whole file; none when it cannot be read or is larger than maxBytes.
std::optional<std::string> ReadTextFile(const std::filesystem::path& file, size_t maxBytes);
