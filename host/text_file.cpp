#include "text_file.h"

#include <fstream>
#include <iterator>
#include <system_error>

std::filesystem::path Utf8Path(const std::string& path)
{
    return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

std::optional<std::string> ReadTextFile(const std::filesystem::path& file, size_t maxBytes)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error) || std::filesystem::file_size(file, error) > maxBytes || error) {
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (text.size() > maxBytes) {
        return std::nullopt;
    }
    return text;
}
