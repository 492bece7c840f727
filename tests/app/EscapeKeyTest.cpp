#include <EscapeKey.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

// Without an X server there is no key to read: never down, and no crash.
TEST(SystemEscapeKey, NoDisplayMeansNotDown)
{
    const char* display = std::getenv("DISPLAY");
    const std::string saved = display ? display : "";
    ::unsetenv("DISPLAY");
    auto key = CreateSystemEscapeKey();
    EXPECT_FALSE(key->EscapeDown());
    EXPECT_FALSE(key->EscapeDown());
    if (display)
        ::setenv("DISPLAY", saved.c_str(), 1);
}

// The physical state as the X server has it, without any event loop: only
// where a display and xdotool are at hand (under xvfb-run).
TEST(SystemEscapeKey, ReadsThePhysicalKeyState)
{
    if (!std::getenv("DISPLAY") || std::system("command -v xdotool >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs an X display and xdotool";
    auto key = CreateSystemEscapeKey();
    EXPECT_FALSE(key->EscapeDown());
    ASSERT_EQ(std::system("xdotool keydown Escape"), 0);
    EXPECT_TRUE(key->EscapeDown());
    ASSERT_EQ(std::system("xdotool keyup Escape"), 0);
    EXPECT_FALSE(key->EscapeDown());
}
