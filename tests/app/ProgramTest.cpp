// The real program, seen from outside: started as a process with a settings
// file beside a copy of it, connected to the embedded engine.
#include "TempFolder.h"

#include <IBDatabase.h>
#include <IBQuery.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Waits for a condition without judging how long it took: the bound only
// keeps a broken program from hanging the run.
template <typename Condition>
bool WaitFor(Condition condition, std::chrono::seconds bound = std::chrono::seconds(60))
{
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Output(const std::string& command)
{
    std::string out;
    if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, const fs::path& dir = {})
{
    const pid_t child = ::fork();
    if (child == 0) {
        if (!dir.empty() && ::chdir(dir.c_str()) != 0)
            ::_exit(126);
        // A run started in the background ignores SIGINT, and an ignored
        // signal stays ignored across exec: the program would keep it so.
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        for (const std::string& e : env)
            ::putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return child;
}

class Program : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::copy_file(KX27_EXECUTABLE, m_dir / "kx27");   // the settings file lies beside the executable
        m_written = "\r\n" + m_dir.string() + "/\r\nT.FDB\r\n50\r\n60\r\n";
    }
    void TearDown() override
    {
        const struct { pid_t pid; int signal; } children[] = {
            {m_pid, SIGKILL},
            {m_server, SIGTERM},   // Xvfb removes its lock and socket
        };
        for (const auto& child : children) {
            if (child.pid > 0) {
                ::kill(child.pid, child.signal);
                ::waitpid(child.pid, nullptr, 0);
            }
        }
    }

    // Line 4 in hex and a sixth line: a file the program wrote differs.
    void Start(const std::vector<std::string>& env)
    {
        std::ofstream(m_dir / "kx27.dat", std::ios::binary)
            << "\r\n" + m_dir.string() + "/\r\nT.FDB\r\n$32\r\n60\r\nextra\r\n";
        std::vector<std::string> all = env;
        all.push_back("XDG_RUNTIME_DIR=" + m_dir.string());
        // In the sanitizer build the window tests check for leaks; here only
        // the way the program ends counts.
        const char* asan = std::getenv("ASAN_OPTIONS");
        all.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0");
        m_pid = Spawn({(m_dir / "kx27").string()}, all, m_dir);
        ASSERT_GT(m_pid, 0);
    }

    bool DatabaseOpen() const
    {
        std::error_code ec;
        for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(m_pid) + "/fd", ec))
            if (fs::read_symlink(fd.path(), ec) == m_dir / "T.FDB")
                return true;
        return false;
    }

    // The main thread sleeps in the event loop's poll.
    bool Idle() const
    {
        return ReadFile("/proc/" + std::to_string(m_pid) + "/wchan").find("poll") != std::string::npos;
    }

    // Sends the signal and waits for the program to end; true when it ended
    // by itself with status 0.
    ::testing::AssertionResult EndsOn(int signal)
    {
        ::kill(m_pid, signal);
        int status = 0;
        const bool ended = WaitFor([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; });
        if (!ended) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        m_pid = 0;
        if (!ended)
            return ::testing::AssertionFailure() << "still running after signal " << signal;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return ::testing::AssertionFailure() << "ended with wait status " << status;
        return ::testing::AssertionSuccess();
    }

    bool SourceOpen() const
    {
        std::error_code ec;
        for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(m_pid) + "/fd", ec))
            if (fs::read_symlink(fd.path(), ec) == m_dir / "KEN_ALL.CSV")
                return true;
        return false;
    }

    static bool XTools() { return std::system("command -v Xvfb xdotool xprop >/dev/null 2>&1") == 0; }

    // Starts Xvfb on a display of its own and returns "DISPLAY=:n" for the
    // program's environment; empty when Xvfb named no display.
    std::string StartX()
    {
        int displayPipe[2];
        if (::pipe(displayPipe) != 0)
            return {};
        m_server = Spawn({"Xvfb", "-displayfd", std::to_string(displayPipe[1]), "-nolisten", "tcp"}, {});
        ::close(displayPipe[1]);
        std::string number;
        char c;
        while (::read(displayPipe[0], &c, 1) == 1 && c != '\n')
            number += c;
        ::close(displayPipe[0]);
        return number.empty() ? std::string() : "DISPLAY=:" + number;
    }

    // The program's main window, once it is visible.
    std::string WindowId(const std::string& display) const
    {
        const std::string ids =
            Output(display + " timeout 60 xdotool search --sync --onlyvisible --pid " + std::to_string(m_pid) + " | head -1");
        return ids.substr(0, ids.find('\n'));
    }

    int VisibleWindows(const std::string& display) const
    {
        const std::string ids = Output(display + " xdotool search --onlyvisible --pid " + std::to_string(m_pid));
        return static_cast<int>(std::count(ids.begin(), ids.end(), '\n'));
    }

    const TTempFolder m_folder{"kx27_program"};
    const fs::path& m_dir = m_folder.Path();
    std::string m_written;
    pid_t m_pid = 0;      // the program
    pid_t m_server = 0;   // Xvfb
};

} // namespace

// Once connected, the client library has handlers of its own for these
// signals; the program must still end on them the way Alt+X ends it.
TEST_F(Program, EndsOnTerminationSignalsAndSavesTheSettings)
{
    for (int signal : {SIGTERM, SIGINT}) {
        Start({"QT_QPA_PLATFORM=offscreen"});
        ASSERT_TRUE(WaitFor([&] { return DatabaseOpen(); })) << "never connected";
        WaitFor([&] { return Idle(); }, std::chrono::seconds(10));   // not every kernel tells
        EXPECT_TRUE(EndsOn(signal));
        EXPECT_EQ(ReadFile(m_dir / "kx27.dat"), m_written) << signal;
    }
}

// Under a real X server: the caption the window manager gets is the window's
// own, nothing appended, and the window carries its own icon.
TEST_F(Program, CaptionAndIconUnderX)
{
    if (!XTools())
        GTEST_SKIP() << "needs Xvfb, xdotool and xprop";
    const std::string display = StartX();
    ASSERT_FALSE(display.empty()) << "Xvfb gave no display";
    Start({display, "QT_QPA_PLATFORM=xcb"});
    const std::string window = WindowId(display);
    ASSERT_FALSE(window.empty()) << "no window";
    const std::string props = Output(display + " xprop -id " + window + " _NET_WM_NAME _NET_WM_ICON");
    EXPECT_NE(props.find("_NET_WM_NAME(UTF8_STRING) = \"\xE9\x83\xB5\xE4\xBE\xBF\xE7\x95\xAA\xE5\x8F\xB7\xE8\xBE\x9E\xE6\x9B\xB8\xE4\xBD\x9C\xE6\x88\x90\"\n"),  // 郵便番号辞書作成
              std::string::npos)
        << props.substr(0, 200);
    EXPECT_NE(props.find("Icon (32 x 32)"), std::string::npos) << props.substr(0, 200);
    EXPECT_TRUE(EndsOn(SIGTERM));
    EXPECT_EQ(ReadFile(m_dir / "kx27.dat"), m_written);
}

// A box that waits for its OK (here: KEN_ALL.CSV is missing) does not hold
// up a logout: the signal presses the OK, and the window closes as Alt+X
// closes it.
TEST_F(Program, TerminationSignalsCloseAnOpenBoxUnderX)
{
    if (!XTools())
        GTEST_SKIP() << "needs Xvfb, xdotool and xprop";
    const std::string display = StartX();
    ASSERT_FALSE(display.empty()) << "Xvfb gave no display";
    for (int signal : {SIGTERM, SIGINT}) {
        Start({display, "QT_QPA_PLATFORM=xcb"});
        const std::string window = WindowId(display);
        ASSERT_FALSE(window.empty()) << "no window";
        ASSERT_TRUE(WaitFor([&] { return DatabaseOpen(); })) << "never connected";
        Output(display + " xdotool windowfocus --sync " + window + " key alt+m");
        ASSERT_TRUE(WaitFor([&] { return VisibleWindows(display) == 2; })) << "no box";
        EXPECT_TRUE(EndsOn(signal));
        EXPECT_EQ(ReadFile(m_dir / "kx27.dat"), m_written) << signal;
    }
}

// Keys and clicks that reach the window while a build runs (its button is
// disabled then) are not meant for what comes after it: a second Alt+M and
// a click on the button give no second build. The database counts every
// CREATE TABLE; the program is held still while the build has the source
// file open, so that the input surely arrives during the build.
TEST_F(Program, InputDuringABuildIsDroppedUnderX)
{
    if (!XTools())
        GTEST_SKIP() << "needs Xvfb, xdotool and xprop";
    const std::string display = StartX();
    ASSERT_FALSE(display.empty()) << "Xvfb gave no display";
    {
        TIBDatabase database;
        database.SetDatabaseName((m_dir / "T.FDB").string());
        database.Params().Add("USER \"SYSDBA\"");
        database.Params().Add("PAGE_SIZE 4096");
        database.CreateNewDatabase();
        database.SetConnected(false);
        database.Params().Clear();
        database.Params().Add("USER_NAME=SYSDBA");
        database.Params().Add("force_write=0");   // a commit per row need not wait for the disk
        database.SetConnected(true);
        TIBTransaction transaction;
        transaction.SetDefaultDatabase(&database);
        TIBQuery query;
        query.SetDatabase(&database);
        query.SetTransaction(&transaction);
        for (const char* sql : {"CREATE SEQUENCE BUILDS",
                                "CREATE TRIGGER COUNT_BUILDS AFTER CREATE TABLE AS DECLARE N BIGINT; BEGIN N = GEN_ID(BUILDS, 1); END"}) {
            transaction.StartTransaction();
            query.SQL().Clear();
            query.SQL().Add(sql);
            query.Execute();
            transaction.Commit();
        }
    }
    {
        std::ofstream source(m_dir / "KEN_ALL.CSV", std::ios::binary);
        for (int i = 0; i < 3000; ++i)
            source << "01101,\"060  \",\"" << 6000000 + i << "\",\"\xCE\xAF\xB6\xB2\xC4\xDE\xB3\",\"\xBB\xAF\xCE\xDF\xDB\xBC\",\"\xB2\xB6\","
                      "\"\x96\x6B\x8A\x43\x93\xB9\",\"\x8E\x44\x96\x79\x8E\x73\",\"\x92\x86\x89\x9B\",0,0,0,0,0,0\r\n";
    }
    Start({display, "QT_QPA_PLATFORM=xcb"});
    const std::string window = WindowId(display);
    ASSERT_FALSE(window.empty()) << "no window";
    Output(display + " xdotool windowfocus --sync " + window + " key alt+m");
    ASSERT_TRUE(WaitFor([&] {
        if (!SourceOpen())
            return false;
        ::kill(m_pid, SIGSTOP);
        if (SourceOpen())
            return true;
        ::kill(m_pid, SIGCONT);
        return false;
    })) << "never saw the build";
    Output(display + " xdotool key alt+m mousemove --window " + window + " 248 96 click 1");   // Button1's middle
    ::kill(m_pid, SIGCONT);

    // An Alt+X that arrives before the build has ended is dropped as well.
    int status = 0;
    const bool ended = WaitFor([&] {
        Output(display + " xdotool key alt+x");
        return WaitFor([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, std::chrono::seconds(2));
    });
    ASSERT_TRUE(ended) << "Alt+X never ended the program";
    m_pid = 0;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    TIBDatabase database;
    database.SetDatabaseName((m_dir / "T.FDB").string());
    database.Params().Add("USER_NAME=SYSDBA");
    database.SetConnected(true);
    TIBTransaction transaction;
    transaction.SetDefaultDatabase(&database);
    TIBQuery query;
    query.SetDatabase(&database);
    query.SetTransaction(&transaction);
    query.SQL().Add("SELECT GEN_ID(BUILDS, 0) FROM RDB$DATABASE");
    query.Open();
    EXPECT_EQ(query.Fields()[0].AsString(), "1") << "builds";
    query.SetActive(false);
    transaction.SetActive(false);
}
