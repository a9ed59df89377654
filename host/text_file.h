#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

// A UTF-8 path as the file system takes it on every platform.
std::filesystem::path Utf8Path(const std::string& path);

// The whole file; none when it cannot be read or is larger than maxBytes.
std::optional<std::string> ReadTextFile(const std::filesystem::path& file, size_t maxBytes);

// Where a chain of symbolic links that starts at the path ends (the path
// itself when it is no link; a relative link is read from its own
// directory); std::nullopt for a loop or a chain of over 40 links.
std::optional<std::string> FollowLinks(const std::string& path);

// For "<file>.tmp-<digits>", the temporary file a host writes before the
// rename over <file>: "<file>"; std::nullopt for any other name.
std::optional<std::string> TemporaryFileTarget(const std::string& name);
