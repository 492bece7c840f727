// The window tests run under the offscreen platform: no display needed.
#include <Application.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace {

int g_argc = 1;
char g_name[] = "app_window_tests";
char* g_argv[] = {g_name, nullptr};

// Created only when tests run, so that listing them needs no window system.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        PrepareWindowSystem();
        m_application = std::make_unique<TApplication>(g_argc, g_argv);
        ApplicationTitle = ApplicationTitleText;
    }
    void TearDown() override { m_application.reset(); }

private:
    std::unique_ptr<TApplication> m_application;
};

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);
    return RUN_ALL_TESTS();
}
