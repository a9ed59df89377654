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

std::optional<std::string> FollowLinks(const std::string& path)
{
    constexpr int kMaxLinks = 40;
    std::filesystem::path current = Utf8Path(path);
    for (int links = 0; links <= kMaxLinks; ++links) {
        std::error_code error;
        if (!std::filesystem::is_symlink(current, error)) {
            const std::u8string text = current.u8string();
            return std::string(text.begin(), text.end());
        }
        const std::filesystem::path next = std::filesystem::read_symlink(current, error);
        if (error) {
            return std::nullopt;
        }
        current = next.is_absolute() ? next : current.parent_path() / next;
    }
    return std::nullopt;
}

std::optional<std::string> TemporaryFileTarget(const std::string& name)
{
    const size_t mark = name.rfind(".tmp-");
    if (mark == std::string::npos || mark == 0 || mark + 5 == name.size() ||
        name.find_first_not_of("0123456789", mark + 5) != std::string::npos) {
        return std::nullopt;
    }
    return name.substr(0, mark);
}
