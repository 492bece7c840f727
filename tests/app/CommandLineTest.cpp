// The commands as a scheduler runs them: the real kx27 started as a process
// without a display, its exit status and its two output streams read.
#include "TempFolder.h"
#include "TestSupport.h"

#include <Cp932Text.h>
#include <TestSearch.h>

#include <IBQuery.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace {

struct TRun {
    int Status = -1;   // the exit status; -1 when the process did not exit by itself
    int Signal = 0;    // the signal that ended it, if one did
    std::string Out;
    std::string Err;
};

using TEnv = std::map<std::string, std::string>;

// This process's environment without a display or a login of its own, with
// the given variables set over it.
std::vector<std::string> ChildEnvironment(const TEnv& set)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (name != "DISPLAY" && name != "WAYLAND_DISPLAY" && name != "ISC_USER" && name != "ISC_PASSWORD"
            && !set.count(name))
            env.push_back(entry);
    }
    for (const auto& [name, value] : set)
        env.push_back(name + "=" + value);
    return env;
}

// Runs in the child just before the program starts (only calls that are
// safe after a fork); started runs here with the child's id once it exists.
using TInChild = std::function<void()>;
using TStarted = std::function<void(pid_t)>;

// Runs the program to its end (a bound of minutes keeps a hang from
// stopping the run), collecting both streams.
TRun RunProgram(const fs::path& exe, const std::vector<std::string>& args, const TEnv& set = {},
                const TInChild& inChild = {}, const TStarted& started = {})
{
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0)
        return {};
    std::vector<std::string> env = ChildEnvironment(set);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        for (int fd : {out[0], out[1], err[0], err[1]})
            ::close(fd);
        if (inChild)
            inChild();
        std::vector<char*> argv{const_cast<char*>(exe.c_str())};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    if (started)
        started(child);
    TRun run;
    pollfd fds[] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* into[] = {&run.Out, &run.Err};
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < end) {
        if (::poll(fds, 2, 1000) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                into[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& p : fds)
        if (p.fd >= 0)
            ::close(p.fd);
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= end)
            ::kill(child, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.Signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return run;
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// The five lines of a settings file naming a database.
std::string Settings(const std::string& prefix, const std::string& folder, const std::string& file)
{
    return prefix + "\r\n" + folder + "\r\n" + file + "\r\n10\r\n20\r\n";
}

// A source line (UTF-8 here, Shift-JIS in the file).
std::string SourceLine(const std::string& zip, const std::string& adk3, const std::string& adr3)
{
    return "01101,\"060  \",\"" + zip + "\",\"ﾎｯｶｲﾄﾞｳ\",\"ｻｯﾎﾟﾛｼ\",\"" + adk3 + "\",\"北海道\",\"札幌市\",\"" + adr3
        + "\",0,0,0,0,0,0\r\n";
}

// Eight records: one with the town columns empty (stored as NULL), one whose
// kanji has 0x5C as its second byte.
std::string SmallSource()
{
    std::string utf8;
    for (int i = 1; i <= 6; ++i)
        utf8 += SourceLine("060000" + std::to_string(i), "ｲｶ", "中央" + std::to_string(i));
    utf8 += SourceLine("0600007", "", "");
    utf8 += SourceLine("0640941", "ｱｻﾋｶﾞｵｶ", "旭ケ丘ソ");
    return Cp932(utf8);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1)
        lines.push_back(text.substr(from, nl - from));
    return lines;
}

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// A copy of the program in a folder of the test's own, with a KEN_ALL.CSV
// and a kx27.dat beside it naming an embedded database there.
class CommandLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::copy_file(KX27_EXECUTABLE, m_exe);
        WriteFile(m_dir / "KEN_ALL.CSV", SmallSource());
        WriteFile(m_dir / "kx27.dat", Settings("", m_dir.string() + "/", "T.FDB"));
    }

    TRun Kx27(const std::vector<std::string>& args, const TEnv& set = {}) const { return RunProgram(m_exe, args, set); }

    // The lines the window's search lists for the prefix, read here through
    // its own query and ResultLine, in UTF-8.
    std::vector<std::string> WindowLines(const std::string& database, const std::string& prefix) const
    {
        UseRealClient();
        TIBDatabase db;
        TIBTransaction transaction;
        TIBQuery query;
        db.SetDatabaseName(database);
        SetLoginParams(db);
        db.SetDefaultTransaction(&transaction);
        transaction.SetDefaultDatabase(&db);
        query.SetDatabase(&db);
        query.SetTransaction(&transaction);
        db.SetConnected(true);
        query.SQL().Add(SearchText(prefix));
        query.Open();
        std::vector<std::string> lines;
        for (query.First(); !query.Eof(); query.Next())
            lines.push_back(Utf8FromCp932(ResultLine(query)));
        query.Close();
        transaction.SetActive(false);
        db.SetConnected(false);
        return lines;
    }

    const TTempFolder m_folder{"kx27_cli"};
    const fs::path& m_dir = m_folder.Path();
    const fs::path m_exe = m_dir / "kx27";
};

} // namespace

TEST_F(CommandLine, UsageErrorsExitOneAndHelpExitsZero)
{
    const struct {
        std::vector<std::string> args;
        TEnv env;
        int status;
        std::string out;   // part of standard output
        std::string err;   // part of standard error
    } cases[] = {
        {{"--help"}, {}, 0, "Exit status:", ""},
        {{"refresh", "--help"}, {}, 0, "refresh [OPTIONS] [FILE]", ""},
        {{"--version"}, {}, 0, "kx27 ", ""},
        {{"frobnicate"}, {}, 1, "", "--help"},
        {{"search"}, {}, 1, "", "PREFIX"},
        {{"search", " "}, {}, 1, "", "PREFIX is blank"},
        {{"search", "\xFF"}, {}, 1, "", "Shift-JIS"},
        {{"refresh", "a.csv", "b.csv"}, {}, 1, "", ""},
        {{"--settings", (m_dir / "none.dat").string(), "search", "060"}, {}, 1, "", "none.dat"},
        {{"search", "060"}, {{"ISC_USER", "SYSDBA"}}, 1, "", "ISC_PASSWORD"},
        {{"search", "060"}, {{"ISC_PASSWORD", "x"}}, 1, "", "ISC_USER"},
    };
    for (const auto& c : cases) {
        const TRun run = Kx27(c.args, c.env);
        const std::string name = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
        EXPECT_EQ(run.Status, c.status) << name << "\n" << run.Err;
        EXPECT_TRUE(Has(run.Out, c.out)) << name << "\n" << run.Out;
        EXPECT_TRUE(Has(run.Err, c.err)) << name << "\n" << run.Err;
        if (c.status != 0) {
            EXPECT_EQ(run.Out, "") << name;
        }
    }
    // Nothing was tried: no database was made.
    EXPECT_FALSE(fs::exists(m_dir / "T.FDB"));
}

TEST_F(CommandLine, FilesThatCannotMakeATableExitTwoAndChangeNothing)
{
    const TRun built = Kx27({"build", "--quiet"});
    ASSERT_EQ(built.Status, 0) << built.Err;
    EXPECT_EQ(built.Out + built.Err, "");   // quiet: nothing on success
    const std::string database = (m_dir / "T.FDB").string();
    const std::vector<std::string> before = WindowLines(database, "0");
    ASSERT_EQ(before.size(), 8u);

    WriteFile(m_dir / "none.csv", "");
    const fs::path bad = m_dir / "bad.csv";
    WriteFile(bad, SmallSource() + "no,records\r\n");
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"build", (m_dir / "missing.csv").string()}, "missing.csv: no such file"},
        {{"refresh", (m_dir / "missing.csv").string()}, "missing.csv: no such file"},
        {{"build", (m_dir / "none.csv").string()}, "ZIPDIC was not changed"},
        {{"refresh", (m_dir / "none.csv").string()}, "none.csv: no line gives a record; nothing changed"},
        {{"apply", "--add", (m_dir / "none.csv").string()}, "none.csv: no line gives a record"},
        {{"build", bad.string()}, bad.string() + " line 9: 2 columns, not 15; ZIPDIC was not changed"},
        {{"refresh", bad.string()}, bad.string() + " line 9: 2 columns, not 15; nothing changed"},
        {{"apply", "--del", bad.string()}, bad.string() + " line 9: 2 columns, not 15"},
    };
    for (const auto& c : cases) {
        const TRun run = Kx27(c.args);
        EXPECT_EQ(run.Status, 2) << c.args[0] << " " << c.args[1] << "\n" << run.Err;
        EXPECT_TRUE(Has(run.Err, c.err)) << run.Err;
        EXPECT_EQ(WindowLines(database, "0"), before) << c.args[0] << " " << c.args[1];
    }
}

// --settings names the database; the kx27.dat beside the program, naming a
// closed port, is not read, and neither file is written.
TEST_F(CommandLine, SearchListsTheWindowsLinesForTheSettingsNamed)
{
    const fs::path elsewhere = m_dir / "elsewhere.dat";
    WriteFile(elsewhere, Settings("", m_dir.string() + "/", "S.FDB"));
    WriteFile(m_dir / "kx27.dat", Settings("127.0.0.1/1:", "/nowhere/", "N.FDB"));
    const std::string beside = ReadFile(m_dir / "kx27.dat");
    const std::string named = ReadFile(elsewhere);

    const TRun unreachable = Kx27({"search", "060"});
    EXPECT_EQ(unreachable.Status, 3);
    EXPECT_TRUE(Has(unreachable.Err, "cannot connect to the database \"127.0.0.1/1:/nowhere/N.FDB\"")) << unreachable.Err;
    EXPECT_TRUE(Has(unreachable.Err, "nothing was changed")) << unreachable.Err;

    const TRun built = Kx27({"build", "--settings", elsewhere.string()});
    ASSERT_EQ(built.Status, 0) << built.Err;
    EXPECT_TRUE(Has(built.Out, "8 records; no table before, 8 rows after; 0 refused")) << built.Out;
    EXPECT_EQ(Lines(built.Out).size(), 1u) << built.Out;

    for (const std::string prefix : {"060", "0640941", "9"}) {
        const TRun search = Kx27({"--settings", elsewhere.string(), "search", prefix, "--quiet"});
        EXPECT_EQ(search.Status, 0) << search.Err;
        EXPECT_EQ(search.Err, "");
        const std::vector<std::string> want = WindowLines((m_dir / "S.FDB").string(), prefix);
        EXPECT_EQ(Lines(search.Out), want) << prefix;
        EXPECT_EQ(want.size(), prefix == "060" ? 7u : prefix == "9" ? 0u : 1u) << prefix;
    }
    EXPECT_EQ(ReadFile(m_dir / "kx27.dat"), beside);
    EXPECT_EQ(ReadFile(elsewhere), named);
}

// The rows replaced through the process by a file of other records; the
// summary counts what the table held. A file of fewer than half as many
// records as the table has rows needs --allow-shrink.
TEST_F(CommandLine, RefreshReplacesTheRows)
{
    const std::string database = (m_dir / "T.FDB").string();
    const TRun first = Kx27({"refresh"});
    ASSERT_EQ(first.Status, 0) << first.Err;
    EXPECT_TRUE(Has(first.Out, "8 records; no table before, 8 rows after")) << first.Out;

    const fs::path other = m_dir / "other.csv";
    WriteFile(other, Cp932(SourceLine("0010000", "ｷﾀ", "北") + SourceLine("0010001", "ﾐﾅﾐ", "南")));
    const TRun refused = Kx27({"refresh", "--quiet", other.string()});
    EXPECT_EQ(refused.Status, 2);
    EXPECT_EQ(refused.Err, "kx27: " + other.string() + ": 2 records, fewer than half of the 8 rows ZIPDIC holds (a cut file?); "
                           "nothing changed; if the file is meant to be that small: kx27 refresh --allow-shrink\n");
    EXPECT_EQ(WindowLines(database, "0").size(), 8u);
    const TRun second = Kx27({"refresh", other.string(), "--allow-shrink"});
    ASSERT_EQ(second.Status, 0) << second.Err;
    EXPECT_TRUE(Has(second.Out, "2 records; 8 rows before, 2 after")) << second.Out;
    EXPECT_EQ(WindowLines(database, "0").size(), 2u);
    EXPECT_TRUE(WindowLines(database, "060").empty());
}

// The offices' file through the commands: search --offices lists JIGYOSYO's
// eleven columns in UTF-8 and waits for the table; the search without it and
// the address table are untouched; an apply of one file of each table is a
// usage error told before any connection is tried.
TEST_F(CommandLine, OfficesRefreshedSearchedAndKeptApart)
{
    ASSERT_EQ(Kx27({"refresh", "--quiet"}).Status, 0);
    const TRun missing = Kx27({"search", "--offices", "100"});
    EXPECT_EQ(missing.Status, 3);
    EXPECT_TRUE(Has(missing.Err, "no table JIGYOSYO to search; run \"kx27 refresh jigyosyo.zip\" first")) << missing.Err;
    const fs::path offices = m_dir / "JIGYOSYO.CSV";
    const std::string office = "13101,\"ﾆﾂﾎﾟﾝﾕｳｾｲ\",\"日本郵政\",\"東京都\",\"千代田区\",\"大手町\",\"２－３－１\","
                               "\"1008791\",\"100  \",\"銀座\",0,0,0\r\n";
    WriteFile(offices, Cp932(office + "13101,\"ﾃｽﾄ\",\"試験\",\"東京都\",\"千代田区\",\"\",\"\",\"1008798\","
                                      "\"100  \",\"銀座\",1,0,0\r\n"));
    const TRun refresh = Kx27({"refresh", offices.string()});
    ASSERT_EQ(refresh.Status, 0) << refresh.Err;
    EXPECT_TRUE(Has(refresh.Out, "refreshed JIGYOSYO from " + offices.string() + ": 2 records; no table before"))
        << refresh.Out;
    const TRun search = Kx27({"search", "--offices", "100879", "--quiet"});
    EXPECT_EQ(search.Status, 0) << search.Err;
    EXPECT_EQ(search.Out, "1008791,13101,ﾆﾂﾎﾟﾝﾕｳｾｲ,日本郵政,東京都,千代田区,大手町,２－３－１,銀座,0,0,\n"
                          "1008798,13101,ﾃｽﾄ,試験,東京都,千代田区,,,銀座,1,0,\n");
    EXPECT_EQ(Lines(Kx27({"search", "0"}).Out).size(), 8u);

    const fs::path unreachable = m_dir / "unreachable.dat";
    WriteFile(unreachable, Settings("127.0.0.1/1:", "/nowhere/", "N.FDB"));
    const TRun mixed = Kx27({"apply", "--settings", unreachable.string(), "--del", offices.string(), "--add",
                             (m_dir / "KEN_ALL.CSV").string()});
    EXPECT_EQ(mixed.Status, 1);
    EXPECT_TRUE(Has(mixed.Err, "holds JIGYOSYO records and")) << mixed.Err;
    EXPECT_EQ(Lines(Kx27({"search", "--offices", "1"}).Out).size(), 2u);
}

// A UTF-8 file stores the rows of its Shift-JIS twin. A character that CP932
// lacks is named on standard error, also with --quiet, and counted in the
// summary; a file that mixes encodings changes nothing (status 2).
TEST_F(CommandLine, Utf8FileStoresWhatItsShiftJisTwinStores)
{
    const std::string database = (m_dir / "T.FDB").string();
    ASSERT_EQ(Kx27({"refresh", "--quiet"}).Status, 0);
    const std::vector<std::string> shiftJis = WindowLines(database, "0");
    const auto utf8Line = [](const std::string& zip, const std::string& adk3, const std::string& adr3) {
        std::string line = SourceLine(zip, adk3, adr3);
        line.replace(line.find("ﾎｯｶｲﾄﾞｳ"), std::string("ﾎｯｶｲﾄﾞｳ").size(), "ホッカイドウ");
        line.replace(line.find("ｻｯﾎﾟﾛｼ"), std::string("ｻｯﾎﾟﾛｼ").size(), "サッポロシ");
        return line;
    };
    std::string twin;   // SmallSource in UTF-8, readings full-width
    for (int i = 1; i <= 6; ++i)
        twin += utf8Line("060000" + std::to_string(i), "イカ", "中央" + std::to_string(i));
    twin += utf8Line("0600007", "", "") + utf8Line("0640941", "アサヒガオカ", "旭ケ丘ソ");
    const fs::path utf = m_dir / "utf_ken_all.csv";
    WriteFile(utf, twin);
    const TRun same = Kx27({"refresh", utf.string()});
    ASSERT_EQ(same.Status, 0) << same.Err;
    EXPECT_EQ(same.Err, "");
    EXPECT_TRUE(Has(same.Out, "8 records; 8 rows before, 8 after; 0 refused; ")) << same.Out;
    EXPECT_EQ(WindowLines(database, "0"), shiftJis);

    WriteFile(utf, twin + utf8Line("0600009", "ヨシノ", "𠮷野"));
    const std::string told = "kx27: " + utf.string() + " line 9 column 9: U+20BB7 has no Shift-JIS form; stored as 〓\n";
    const TRun quiet = Kx27({"refresh", "--quiet", utf.string()});
    EXPECT_EQ(quiet.Status, 0) << quiet.Err;
    EXPECT_EQ(quiet.Err, told);
    EXPECT_EQ(quiet.Out, "");
    for (const std::string command : {"refresh", "build"}) {
        const TRun run = Kx27({command, utf.string()});
        EXPECT_EQ(run.Status, 0) << command << "\n" << run.Err;
        EXPECT_EQ(run.Err, told) << command;
        EXPECT_TRUE(Has(run.Out, "9 records; 9 rows before, 9 after; 0 refused; 1 character stored as 〓; ")) << run.Out;
        EXPECT_EQ(WindowLines(database, "0600009"),
                  std::vector<std::string>{"0600009,ﾎｯｶｲﾄﾞｳ,ｻｯﾎﾟﾛｼ,ﾖｼﾉ,北海道,札幌市,〓野,"}) << command;
    }

    const fs::path mixed = m_dir / "mixed.csv";
    WriteFile(mixed, twin + SmallSource());
    const std::vector<std::string> before = WindowLines(database, "0");
    for (const std::string command : {"refresh", "build"}) {
        const TRun run = Kx27({command, mixed.string()});
        EXPECT_EQ(run.Status, 2) << command << "\n" << run.Err;
        EXPECT_TRUE(Has(run.Err, mixed.string() + " line 9 is not UTF-8 although the lines before it are UTF-8"))
            << run.Err;
        EXPECT_EQ(WindowLines(database, "0"), before) << command;
    }
}

// The test server checks passwords (the embedded engine does not): a login
// from the environment replaces the built-in one, for the commands and the
// window, and its password is never shown.
TEST_F(CommandLine, LoginFromTheEnvironment)
{
    SKIP_WITHOUT_TEST_SERVER();
    const std::string prefix = std::getenv("KX27_TEST_SERVER");
    const std::string folder = std::getenv("KX27_TEST_SERVER_DIR");
    const std::string file = "kx27-cli-" + std::to_string(::getpid()) + ".fdb";
    const TDroppedAtEnd dropped{prefix + folder + file};
    WriteFile(m_dir / "kx27.dat", Settings(prefix, folder, file));
    const std::string secret = "not-the-password-4711";
    const TEnv wrong{{"ISC_USER", "SYSDBA"}, {"ISC_PASSWORD", secret}};

    for (const char* command : {"refresh", "search"}) {
        const TRun run = Kx27({command, command == std::string("search") ? "060" : "--quiet"}, wrong);
        EXPECT_EQ(run.Status, 3) << command << "\n" << run.Err;
        EXPECT_TRUE(Has(run.Err, "cannot connect to the database \"" + prefix + folder + file + "\" as \"SYSDBA\": "))
            << run.Err;
        EXPECT_FALSE(Has(run.Out + run.Err, secret)) << run.Err;
    }

    const TRun right = Kx27({"build"}, {{"ISC_USER", "SYSDBA"}, {"ISC_PASSWORD", "copperjam"}});
    EXPECT_EQ(right.Status, 0) << right.Err;

#ifndef KX27_WITHOUT_WINDOW
    // The window: connecting fails with the same environment, and one line
    // on standard error says why; closed at once with SIGTERM.
    int err[2];
    ASSERT_EQ(::pipe(err), 0);
    std::vector<std::string> env = ChildEnvironment({{"ISC_USER", "SYSDBA"}, {"ISC_PASSWORD", secret},
                                                     {"QT_QPA_PLATFORM", "offscreen"},
                                                     {"XDG_RUNTIME_DIR", m_dir.string()}});
    const pid_t window = ::fork();
    if (window == 0) {
        ::dup2(err[1], STDERR_FILENO);
        ::close(err[0]);
        ::close(err[1]);
        std::signal(SIGTERM, SIG_DFL);
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        char* argv[] = {const_cast<char*>(m_exe.c_str()), nullptr};
        ::execve(argv[0], argv, envp.data());
        ::_exit(127);
    }
    ::close(err[1]);
    std::string said;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    pollfd p{err[0], POLLIN, 0};
    while (!Has(said, "\n") && std::chrono::steady_clock::now() < end) {
        char buffer[1024];
        if (::poll(&p, 1, 500) > 0) {
            const ssize_t n = ::read(err[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            said.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::kill(window, SIGTERM);
    ::waitpid(window, nullptr, 0);
    ::close(err[0]);
    EXPECT_TRUE(Has(said, "kx27: cannot connect to the database \"" + prefix + folder + file + "\" as \"SYSDBA\": "))
        << said;
    EXPECT_FALSE(Has(said, secret));
#endif
}

// A month's pair through the process: what each outcome exits with, and the
// table as the window reads it after each.
TEST_F(CommandLine, ApplyAMonthsPair)
{
    const std::string database = (m_dir / "T.FDB").string();
    const fs::path del = m_dir / "del.csv", add = m_dir / "add.csv", unreadable = m_dir / "unreadable.csv";
    WriteFile(del, Cp932(SourceLine("0600001", "ｲｶ", "中央1") + SourceLine("0600009", "ｲｶ", "中央9")));
    WriteFile(add, Cp932(SourceLine("0600010", "ｲｶ", "中央10") + SourceLine("06000111", "ｲｶ", "中央11")));
    fs::create_symlink("/proc/self/mem", unreadable);   // opens, then fails its first read

    EXPECT_EQ(Kx27({"apply"}).Status, 1);
    EXPECT_EQ(Kx27({"apply", "--del", (m_dir / "missing.csv").string()}).Status, 2);
    {
        UseRealClient();
        TIBDatabase db;
        db.SetDatabaseName(database);
        SetCreateParams(db);
        db.CreateNewDatabase();
    }
    const TRun noTable = Kx27({"apply", "--add", add.string()});
    EXPECT_EQ(noTable.Status, 3);
    EXPECT_TRUE(Has(noTable.Err, "run \"kx27 refresh\"")) << noTable.Err;
    ASSERT_EQ(Kx27({"build", "--quiet"}).Status, 0);
    const std::vector<std::string> before = WindowLines(database, "0");

    const struct {
        const char* name;
        std::vector<std::string> args;
        int status;
        std::string out, err;
        int rowsAfter;
    } cases[] = {
        {"dry run", {"--dry-run"}, 0, "dry run, nothing changed: would apply", "del.csv line 2: matches no row", 8},
        {"unreadable", {"--add", unreadable.string()}, 2, "", "unreadable.csv", 8},
        {"applied", {}, 0, "1 row deleted, 1 delete records matching none (line 2); 1 row inserted, 1 refused (line 2)",
         "add.csv line 2: ", 8},
        {"again", {}, 0, "ZIPDIC already holds", "", 8},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"apply", "--del", del.string()};
        if (c.args.empty() || c.args[0] != "--add")
            args.insert(args.end(), {"--add", add.string()});
        args.insert(args.end(), c.args.begin(), c.args.end());
        const TRun run = Kx27(args);
        EXPECT_EQ(run.Status, c.status) << c.name << "\n" << run.Err;
        EXPECT_TRUE(Has(run.Out, c.out)) << c.name << "\n" << run.Out;
        EXPECT_TRUE(Has(run.Err, c.err)) << c.name << "\n" << run.Err;
        const std::vector<std::string> rows = WindowLines(database, "0");
        EXPECT_EQ(rows.size(), static_cast<std::size_t>(c.rowsAfter)) << c.name;
        if (c.status != 0 || c.name == std::string("dry run")) {
            EXPECT_EQ(rows, before) << c.name;
        }
    }
    EXPECT_TRUE(WindowLines(database, "0600001").empty());
    EXPECT_EQ(WindowLines(database, "0600010").size(), 1u);
}

#ifdef KX27_WITHOUT_WINDOW
// Built without the window, the program started without a command says so
// and names its commands instead of opening anything.
TEST_F(CommandLine, WithoutTheWindowNoCommandNamesTheCommands)
{
    const TRun run = Kx27({});
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Out, "");
    for (const char* part : {"has no window", "refresh", "build", "apply", "search"})
        EXPECT_TRUE(Has(run.Err, part)) << part << "\n" << run.Err;
}
#endif

// A signal pending when the program starts (blocked in the child, as a
// launcher may leave it; the commands unblock it) is taken before anything is
// done: each command stops at its first line or row, says so and exits with
// 128 + the signal, and the rows are as they were.
TEST_F(CommandLine, StopSignalEndsEachCommandBeforeItChangesAnything)
{
    ASSERT_EQ(Kx27({"build", "--quiet"}).Status, 0);
    const std::string database = (m_dir / "T.FDB").string();
    const std::vector<std::string> before = WindowLines(database, "0");
    const std::string other = (m_dir / "other.csv").string();
    WriteFile(other, Cp932(SourceLine("0010000", "ｷﾀ", "北")));
    // Stopped before the file told its table: nothing names one.
    const std::string keeps = " before the commit; nothing changed\n";
    const struct {
        std::vector<std::string> args;
        int signal;
        int status;
        std::string err;
    } cases[] = {
        {{"refresh", other}, SIGTERM, 143, "kx27: stopped by SIGTERM" + keeps},
        {{"apply", "--add", other}, SIGINT, 130, "kx27: stopped by SIGINT" + keeps},
        {{"build", other}, SIGTERM, 143, "kx27: stopped by SIGTERM; ZIPDIC was not changed\n"},
        {{"search", "060"}, SIGINT, 130, "kx27: stopped by SIGINT after 0 rows\n"},
    };
    for (const auto& c : cases) {
        const int signal = c.signal;
        const TRun run = RunProgram(m_exe, c.args, {}, [signal] {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, signal);
            ::sigprocmask(SIG_BLOCK, &set, nullptr);
            ::kill(::getpid(), signal);
        });
        EXPECT_EQ(run.Status, c.status) << c.args[0] << "\n" << run.Err;
        EXPECT_EQ(run.Err, c.err) << c.args[0];
        EXPECT_EQ(run.Out, "") << c.args[0];
        EXPECT_EQ(WindowLines(database, "0"), before) << c.args[0];
    }
}

// A signal that arrives after the commit: the refresh is complete and says
// so, with 143. Standard output is a pipe filled before the program starts,
// so that the program waits in its summary's write, after the commit, until
// the signal has been sent and the pipe is read. The test server lets the
// test see the commit while the program still runs.
TEST_F(CommandLine, StopSignalAfterTheCommit)
{
    SKIP_WITHOUT_TEST_SERVER();
    const std::string prefix = std::getenv("KX27_TEST_SERVER");
    const std::string folder = std::getenv("KX27_TEST_SERVER_DIR");
    const std::string file = "kx27-stop-" + std::to_string(::getpid()) + ".fdb";
    const std::string database = prefix + folder + file;
    const TDroppedAtEnd dropped{database};
    WriteFile(m_dir / "kx27.dat", Settings(prefix, folder, file));
    ASSERT_EQ(Kx27({"refresh", "--quiet"}).Status, 0);
    const std::string other = (m_dir / "other.csv").string();
    WriteFile(other, Cp932(SourceLine("0010000", "ｷﾀ", "北") + SourceLine("0010001", "ﾐﾅﾐ", "南")));

    int held[2];
    ASSERT_EQ(::pipe(held), 0);
    ::fcntl(held[1], F_SETFL, O_NONBLOCK);
    const std::string filler(4096, 'x');
    for (std::size_t size : {filler.size(), std::size_t{1}})   // to its last byte
        while (::write(held[1], filler.data(), size) > 0) {
        }
    ::fcntl(held[1], F_SETFL, 0);
    std::thread signaller;
    const TRun run = RunProgram(
        m_exe, {"refresh", "--allow-shrink", other}, {},
        [&held] {
            ::dup2(held[1], STDOUT_FILENO);
            ::close(held[0]);
            ::close(held[1]);
        },
        [&](pid_t child) {
            ::close(held[1]);
            signaller = std::thread([&, child] {
                const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(5);
                while (WindowLines(database, "0").size() != 2u && std::chrono::steady_clock::now() < end)
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                ::kill(child, SIGTERM);
                char buffer[4096];
                while (::read(held[0], buffer, sizeof buffer) > 0) {
                }
                ::close(held[0]);
            });
        });
    signaller.join();
    EXPECT_EQ(run.Status, 143) << run.Err;
    EXPECT_EQ(run.Err, "kx27: stopped by SIGTERM after the work was complete; ZIPDIC was refreshed from " + other
                           + ": 2 rows\n");
    EXPECT_EQ(WindowLines(database, "0").size(), 2u);
}

// Started with standard output and error closed, as some launchers start
// jobs: the refresh completes on the embedded engine, and none of its text
// ends up in the engine's lock files.
TEST_F(CommandLine, ClosedOutputAndErrorTakeNoFileOfTheEngine)
{
    const fs::path locks = m_dir / "locks";
    fs::create_directory(locks);
    const TRun run = RunProgram(m_exe, {"refresh"}, {{"FIREBIRD_LOCK", locks.string()}}, [] {
        ::close(STDOUT_FILENO);
        ::close(STDERR_FILENO);
    });
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(WindowLines((m_dir / "T.FDB").string(), "0").size(), 8u);
    int files = 0;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(locks))
        if (entry.is_regular_file()) {
            ++files;
            EXPECT_FALSE(Has(ReadFile(entry.path()), "ZIPDIC")) << entry.path();
        }
    EXPECT_GT(files, 0);
}

// Standard output that cannot be written: 4 once the work is done, and
// standard error says what the work did. A reader that has gone away ends
// the program quietly by SIGPIPE, as it ends any Unix tool.
TEST_F(CommandLine, StandardOutputThatCannotBeWritten)
{
    const TInChild full = [] {
        const int fd = ::open("/dev/full", O_WRONLY);
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
    };
    const TInChild noReader = [] {
        int p[2];
        if (::pipe(p) == 0) {
            ::dup2(p[1], STDOUT_FILENO);
            ::close(p[0]);
            ::close(p[1]);
        }
    };
    const std::string lost = "kx27: standard output could not be written (No space left on device)";
    const struct {
        std::vector<std::string> args;
        const TInChild& inChild;
        int status;
        int signal;
        std::string err;
    } cases[] = {
        {{"refresh"}, full, 4, 0, lost + "; ZIPDIC was refreshed from " + (m_dir / "KEN_ALL.CSV").string() + ": 8 rows\n"},
        {{"search", "060"}, full, 4, 0, lost + "\n"},
        {{"--help"}, full, 4, 0, "kx27: standard output could not be written\n"},
        {{"search", "060"}, noReader, -1, SIGPIPE, ""},
    };
    for (const auto& c : cases) {
        const TRun run = RunProgram(m_exe, c.args, {}, c.inChild);
        EXPECT_EQ(run.Status, c.status) << c.args[0] << "\n" << run.Err;
        EXPECT_EQ(run.Signal, c.signal) << c.args[0];
        EXPECT_EQ(run.Err, c.err) << c.args[0];
    }
    EXPECT_EQ(WindowLines((m_dir / "T.FDB").string(), "0").size(), 8u);
}
