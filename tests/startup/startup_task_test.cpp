#include "startup/startup_task.h"

#include <gtest/gtest.h>

namespace {

TEST(LauncherPath, SitsBesideTheExecutableWithExactlyOneBackslash)
{
    EXPECT_EQ(LauncherPathFor(L"C:\\Program Files\\Tonvik\\Tonvik.exe"), L"C:\\Program Files\\Tonvik\\TonvikPlug.exe");
    // A drive root keeps its one backslash; none is added or lost.
    EXPECT_EQ(LauncherPathFor(L"C:\\Tonvik.exe"), L"C:\\TonvikPlug.exe");
    EXPECT_EQ(LauncherPathFor(L"\\\\server\\share\\Tonvik.exe"), L"\\\\server\\share\\TonvikPlug.exe");
    EXPECT_EQ(LauncherPathFor(L"\\\\?\\D:\\very\\deep\\folder\\Tonvik.exe"), L"\\\\?\\D:\\very\\deep\\folder\\TonvikPlug.exe");
}

TEST(LauncherPath, OnlyTheLastComponentIsReplaced)
{
    // Dots and spaces in folder names are not file names.
    EXPECT_EQ(LauncherPathFor(L"E:\\a.b\\c d\\Tonvik.exe"), L"E:\\a.b\\c d\\TonvikPlug.exe");
    // Whatever the executable is called.
    EXPECT_EQ(LauncherPathFor(L"C:\\x\\renamed copy.exe"), L"C:\\x\\TonvikPlug.exe");
    // Without any folder there is only the name.
    EXPECT_EQ(LauncherPathFor(L"Tonvik.exe"), L"TonvikPlug.exe");
    EXPECT_EQ(LauncherPathFor(L""), L"TonvikPlug.exe");
}

}  // namespace
