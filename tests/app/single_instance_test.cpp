// The Linux single-instance lock when the session has no runtime directory.
#include "app/single_instance.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace {

TEST(SingleInstance, WithoutARuntimeDirectoryTheLockIsTheUsersOwnAndPrivate)
{
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    const std::optional<std::string> saved = runtimeDir != nullptr ? std::optional<std::string>(runtimeDir) : std::nullopt;
    ::unsetenv("XDG_RUNTIME_DIR");
    const std::string path = "/tmp/Kolvex-20250418-" + std::to_string(::geteuid()) + ".lock";
    {
        const SingleInstance first;
        ASSERT_FALSE(first.AnotherIsRunning()) << path << " is held by pid " << first.OtherPid();
        struct stat status {};
        ASSERT_EQ(::stat(path.c_str(), &status), 0) << path;
        EXPECT_EQ(status.st_uid, ::geteuid());
        EXPECT_EQ(status.st_mode & 0777, 0600u);
        std::ostringstream text;
        text << std::ifstream(path).rdbuf();
        EXPECT_EQ(text.str(), std::to_string(::getpid()) + "\n");

        const SingleInstance second;
        EXPECT_TRUE(second.AnotherIsRunning());
        EXPECT_EQ(second.OtherPid(), ::getpid());
    }
    if (saved) {
        ::setenv("XDG_RUNTIME_DIR", saved->c_str(), 1);
    }
}

}  // namespace
