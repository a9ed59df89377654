// host.conf and stored layouts are replaced whole or not at all.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "host_platform.h"

namespace {

std::string Contents(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A disk that fills up half-way through the write, as the file size limit
// makes it: the old file stays as it was, and no temporary file is left.
TEST(AtomicWrite, AFullDiskMidWriteLeavesTheOldFileWhole)
{
    char pattern[] = "/tmp/tonvik-atomic-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const std::string path = dir + "/tonvik/host.conf";
    ASSERT_EQ(WriteFileAtomically(path, "# mine\nmode = 3\n"), WriteOutcome::Written) << "the directory is made as needed";
    EXPECT_EQ(Contents(path), "# mine\nmode = 3\n");

    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = before;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const WriteOutcome written = WriteFileAtomically(path, std::string(65536, '#'));
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, previous);

    EXPECT_EQ(written, WriteOutcome::Failed);
    EXPECT_EQ(Contents(path), "# mine\nmode = 3\n");
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir + "/tonvik")) {
        ++files;
    }
    EXPECT_EQ(files, 1u) << "a temporary file was left behind";
    std::filesystem::remove_all(dir);
}

}  // namespace
