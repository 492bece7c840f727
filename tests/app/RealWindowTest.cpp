// The real kx27, seen from outside: started under Xvfb with a settings file
// that points at a database of the private test server and a small
// KEN_ALL.CSV beside it; Alt+M builds, Alt+T searches, Alt+X closes. The
// server is asked directly for the rows.
//
// Needs KX27_TEST_SERVER (the connection prefix, e.g. "127.0.0.1:") and
// KX27_TEST_SERVER_DIR (the server's folder for test databases), Xvfb and
// xdotool; skipped with a message otherwise. With KX27_SCREENSHOT set, the
// screen after the search is saved there as PNG; with KX27_SOURCE_FILE set,
// that file is built instead of the small one.
#include "TempFolder.h"
#include "TestSupport.h"

#include <IBDatabase.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

bool OnPath(const char* program)
{
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

// Output of a shell command, trailing line end removed.
std::string Shell(const std::string& command)
{
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe))
            out += buffer;
        ::pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

// A child process we started, ended (by its id) when the test ends.
class TChild {
public:
    TChild() = default;
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;
    ~TChild() { Stop(); }

    void Start(pid_t pid) { m_pid = pid; }
    pid_t Pid() const noexcept { return m_pid; }
    // Whether it ended within the time; its exit status is kept.
    bool WaitFor(std::chrono::seconds limit)
    {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (m_pid > 0) {
            if (::waitpid(m_pid, &m_status, WNOHANG) == m_pid) {
                m_pid = 0;
                return true;
            }
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return true;
    }
    int Status() const noexcept { return m_status; }
    void Stop()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &m_status, 0);
            m_pid = 0;
        }
    }

private:
    pid_t m_pid = 0;
    int m_status = 0;
};

// Rows in ZIPDIC, asked on an attachment of its own; -1 while there is no
// table (or the server refuses).
long long ServerRows(const std::string& database)
{
    try {
        TIBDatabase db;
        db.SetDatabaseName(database);
        SetLoginParams(db);
        db.SetConnected(true);
        TIBTransaction transaction;
        transaction.SetDefaultDatabase(&db);
        transaction.StartTransaction();
        const long long rows = CountRows(db, transaction, "ZIPDIC");
        transaction.Commit();
        return rows;
    } catch (const Exception&) {
        return -1;
    }
}

std::string SmallSourceFile(int records)
{
    std::string bytes;
    for (int i = 0; i < records; ++i) {
        char zip[16];
        std::snprintf(zip, sizeof zip, "%07d", 600000 + i);
        bytes += "01101,\"060  \",\"" + std::string(zip) +
                 "\",\"\xCE\xAF\xB6\xB2\xC4\xDE\xB3\",\"\xBB\xAF\xCE\xDF\xDB\xBC\",\"\xB2\xB6\",\"\x96\x6B\x8A\x43\x93\xB9\","
                 "\"\x8E\x44\x96\x79\x8E\x73\",\"\x92\x86\x89\x9B\",0,0,0,0,0,0\r\n";   // ﾎｯｶｲﾄﾞｳ ｻｯﾎﾟﾛｼ ｲｶ 北海道 札幌市 中央
    }
    return bytes;
}

} // namespace

TEST(RealWindow, BuildsSearchesAndClosesUnderX)
{
    const char* server = std::getenv("KX27_TEST_SERVER");
    const char* serverDir = std::getenv("KX27_TEST_SERVER_DIR");
    if (!server || !serverDir)
        GTEST_SKIP() << "KX27_TEST_SERVER and KX27_TEST_SERVER_DIR name the private test server; not set";
    if (!OnPath("Xvfb") || !OnPath("xdotool"))
        GTEST_SKIP() << "Xvfb or xdotool is missing";

    UseRealClient();
    const TTempFolder folder("kx27_realwindow");
    const fs::path& dir = folder.Path();
    const fs::path exe = dir / "kx27";
    fs::copy_file(KX27_BINARY, exe);
    const char* source = std::getenv("KX27_SOURCE_FILE");
    int records = 30;
    if (source) {
        fs::copy_file(source, dir / "KEN_ALL.CSV");
        records = -1;
    } else {
        std::ofstream(dir / "KEN_ALL.CSV", std::ios::binary) << SmallSourceFile(records);
    }
    const std::string fileName = "kx27-realwindow-" + std::to_string(getpid()) + ".fdb";
    const std::string database = std::string(server) + serverDir + fileName;
    std::ofstream(dir / "kx27.dat", std::ios::binary)
        << server << "\r\n" << serverDir << "\r\n" << fileName << "\r\n" << "10\r\n20\r\n";
    const TDroppedAtEnd dropped{database};
    {
        // Created here with forced writes off, so that a commit per row does
        // not wait for the disk; the window's create attempt then finds it.
        TIBDatabase db;
        db.SetDatabaseName(database);
        SetCreateParams(db);
        db.CreateNewDatabase();
        db.SetConnected(false);
        SetLoginParams(db);
        db.Params().Add("force_write=0");
        db.SetConnected(true);
        db.SetConnected(false);
    }

    // Xvfb on a free display, which it names on the pipe.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    TChild xvfb;
    if (const pid_t pid = ::fork(); pid == 0) {
        ::close(fds[0]);
        const std::string fd = std::to_string(fds[1]);
        ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "640x400x24", "-nolisten", "tcp",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    } else {
        xvfb.Start(pid);
    }
    ::close(fds[1]);
    // It writes the number and then a line end; the pipe stays open for both.
    std::string number;
    char c = 0;
    while (::read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    ::close(fds[0]);
    ASSERT_FALSE(number.empty()) << "Xvfb named no display";
    const std::string display = ":" + number;
    const std::string x = "DISPLAY=" + display + " ";

    TChild window;
    if (const pid_t pid = ::fork(); pid == 0) {
        ::setenv("DISPLAY", display.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
#ifdef KX27_SANITIZE
        // Qt's X11 platform and its font and input libraries keep what they
        // allocated until exit; the window's own code is checked for leaks
        // in the offscreen tests.
        const char* asan = std::getenv("ASAN_OPTIONS");
        ::setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":detect_leaks=0").c_str(), 1);
#endif
        ::execl(exe.c_str(), "kx27", static_cast<char*>(nullptr));
        ::_exit(127);
    } else {
        window.Start(pid);
    }
    const std::string id = Shell(x + "timeout 30 xdotool search --sync --onlyvisible --pid " +
                               std::to_string(window.Pid()) + " 2>/dev/null | head -1");
    ASSERT_FALSE(id.empty()) << "the window did not appear";
    Shell(x + "xdotool windowfocus --sync " + id + " key alt+m");

    long long rows = -1;
    const long long want = records > 0 ? records : 124825;
    const int polls = records > 0 ? 240 : 2400;   // a minute; ten for the whole file
    for (int i = 0; i < polls && rows != want; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        rows = ServerRows(database);
    }
    EXPECT_EQ(rows, want) << "the table never held the file's rows";

    // A search: the postal-code edit is clicked, the digits typed, Alt+T.
    Shell(x + "xdotool mousemove --window " + id + " 120 138 click 1 type 060");
    Shell(x + "xdotool key alt+t");
    std::this_thread::sleep_for(std::chrono::seconds(1));
    if (const char* shot = std::getenv("KX27_SCREENSHOT")) {
        // The window stands where kx27.dat puts it: there is no window manager.
        EXPECT_EQ(std::system((x + "QT_QPA_PLATFORM=xcb " KX27_SCREEN_GRAB " '" + shot + "' 10 20 420 270").c_str()), 0)
            << shot;
    }

    Shell(x + "xdotool key alt+x");
    EXPECT_TRUE(window.WaitFor(std::chrono::seconds(30))) << "Alt+X did not end the program";
    EXPECT_TRUE(WIFEXITED(window.Status()) && WEXITSTATUS(window.Status()) == 0);
    EXPECT_EQ(ServerRows(database), want);

    xvfb.Stop();
}
