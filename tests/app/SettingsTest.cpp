#include "FakeWindowPosition.h"
#include "TempFolder.h"

#include <Settings.h>
#include <UnitV.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ServerPrefix = DataFolder = DatabaseFileName = "stale";
    }

    std::string PathOf(const std::string& name) const { return (m_dir / name).string(); }

    std::string Write(const std::string& bytes, const std::string& name = "kx27.dat") const
    {
        const std::string path = PathOf(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    static std::string Read(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // Saves to path in a child process, as nobody when the tests run as root
    // (root writes anything), once ready() agrees with the set-up from there.
    // The child's exit status: 0 saved, 2 or 3 the set-up did not hold.
    static int SaveAsUser(const std::string& path, const std::function<bool()>& ready)
    {
        const pid_t child = ::fork();
        if (child == 0) {
            if (::geteuid() == 0 && ::setuid(65534) != 0)
                ::_exit(2);
            if (!ready())
                ::_exit(3);
            FakeWindowPosition window;
            SaveSettings(path, window);
            ::_exit(0);
        }
        int status = 0;
        if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
            return -1;
        return WEXITSTATUS(status);
    }

    const TTempFolder m_folder{"kx27_settings"};
    const fs::path& m_dir = m_folder.Path();
};

struct Loaded {
    std::string prefix, folder, name;
    int left, top;
};

bool operator==(const Loaded& a, const Loaded& b)
{
    return a.prefix == b.prefix && a.folder == b.folder && a.name == b.name && a.left == b.left && a.top == b.top;
}

std::ostream& operator<<(std::ostream& out, const Loaded& l)
{
    return out << '[' << l.prefix << "|" << l.folder << "|" << l.name << "|" << l.left << "," << l.top << ']';
}

} // namespace

TEST_F(SettingsFile, LoadsLineByLine)
{
    const std::string defaults = "C:\\data\\";
    const struct {
        const char* name;
        std::string bytes;
        Loaded want;
    } cases[] = {
        {"as written", "srv:\r\nC:\\data\\\r\nADDRESS.FDB\r\n192\r\n107\r\n", {"srv:", defaults, "ADDRESS.FDB", 192, 107}},
        {"signed and hex", "a\r\nb\r\nc\r\n-20\r\n$40\r\n", {"a", "b", "c", -20, 64}},
        {"hex forms", "a\r\nb\r\nc\r\n0x1F\r\n-$10\r\n", {"a", "b", "c", 31, -16}},
        {"hex any bit pattern", "a\r\nb\r\nc\r\n$FFFFFFFF\r\nX7fffffff\r\n", {"a", "b", "c", -1, 2147483647}},
        {"decimal range", "a\r\nb\r\nc\r\n-2147483648\r\n2147483648\r\n", {"a", "b", "c", INT32_MIN, 0}},
        {"trailing blank", "a\r\nb\r\nc\r\n12 \r\n 7\r\n", {"a", "b", "c", 0, 7}},
        {"letters", "a\r\nb\r\nc\r\ntwelve\r\n+\r\n", {"a", "b", "c", 0, 0}},
        {"three lines", "a\r\nb\r\nc\r\n", {"a", "b", "c", 0, 0}},
        {"one line", "srv:\r\n", {"srv:", "", "", 0, 0}},
        {"empty file", "", {"", "", "", 0, 0}},
        {"empty first line", "\r\n/db/\r\nX.FDB\r\n1\r\n2\r\n", {"", "/db/", "X.FDB", 1, 2}},
        {"Ctrl-Z in line 3", std::string("a\r\nb\r\nADD\x1A" "RESS.FDB\r\n5\r\n6\r\n"), {"a", "b", "ADD", 0, 0}},
        {"LF only", "a\nb\nc\n3\n4\n", {"a", "b", "c", 3, 4}},
        {"lone CR dropped", "a\rz\r\nb\r\r\nc\n3\r4\r\n", {"az", "b", "c", 34, 0}},
        {"no final line end", "a\r\nb\r\nc\r\n3\r\n4", {"a", "b", "c", 3, 4}},
        {"lines after the fifth", "a\r\nb\r\nc\r\n3\r\n4\r\n99\r\nextra\r\n", {"a", "b", "c", 3, 4}},
        {"bytes kept", " a \r\n\x83\x5C\\\r\n'x\"\r\n3\r\n4\r\n", {" a ", "\x83\x5C\\", "'x\"", 3, 4}},
    };
    for (const auto& c : cases) {
        FakeWindowPosition window;
        LoadSettings(Write(c.bytes), window);
        EXPECT_EQ((Loaded{ServerPrefix, DataFolder, DatabaseFileName, window.left, window.top}), c.want) << c.name;
    }
}

TEST_F(SettingsFile, MissingFileGivesDefaultsAndKeepsTheWindow)
{
    for (const std::string& path : {PathOf("none.dat"), m_dir.string()}) {   // no file; a folder
        FakeWindowPosition window;
        LoadSettings(path, window);
        EXPECT_EQ(ServerPrefix, "127.0.0.1:") << path;
        EXPECT_EQ(DataFolder, "C:\\data\\") << path;
        EXPECT_EQ(DatabaseFileName, "ADDRESS.FDB") << path;
        EXPECT_EQ(window.moves, 0) << path;
    }
}

TEST_F(SettingsFile, RoundTripKeepsEveryByte)
{
    ServerPrefix = "";
    DataFolder = "/var/\x83\x5C lib/ ";   // ソ: second byte 0x5C
    DatabaseFileName = "A'\"B.FDB";
    FakeWindowPosition window;
    window.left = -20;
    window.top = 64;
    const std::string path = PathOf("kx27.dat");
    SaveSettings(path, window);
    EXPECT_EQ(Read(path), "\r\n/var/\x83\x5C lib/ \r\nA'\"B.FDB\r\n-20\r\n64\r\n");

    ServerPrefix = DataFolder = DatabaseFileName = "stale";
    FakeWindowPosition reread;
    LoadSettings(path, reread);
    EXPECT_EQ((Loaded{ServerPrefix, DataFolder, DatabaseFileName, reread.left, reread.top}),
              (Loaded{"", "/var/\x83\x5C lib/ ", "A'\"B.FDB", -20, 64}));
}

TEST_F(SettingsFile, SaveReplacesAnOlderLongerFile)
{
    const std::string path = Write(std::string(500, 'x') + "\r\n");
    ServerPrefix = "s:";
    DataFolder = "d/";
    DatabaseFileName = "n";
    FakeWindowPosition window;
    SaveSettings(path, window);
    EXPECT_EQ(Read(path), "s:\r\nd/\r\nn\r\n192\r\n107\r\n");
}

TEST_F(SettingsFile, UnwritablePathLeavesNoFileAndRaisesNothing)
{
    FakeWindowPosition window;
    const std::string noFolder = PathOf("missing/kx27.dat");
    EXPECT_NO_THROW(SaveSettings(noFolder, window));
    EXPECT_FALSE(fs::exists(noFolder));

    const std::string folder = PathOf("folder.dat");
    fs::create_directory(folder);
    EXPECT_NO_THROW(SaveSettings(folder, window));
    EXPECT_TRUE(fs::is_directory(folder));

    EXPECT_NO_THROW(SaveSettings("/dev/full", window));   // every write fails: disk full
    EXPECT_TRUE(fs::is_character_file("/dev/full")) << "a device must be written, never replaced";
}

// A save that fails while it writes (the file size limit stands in for a full
// disk) leaves the old file as it was, or none where there was none, and no
// temporary file beside it.
TEST_F(SettingsFile, FailedWriteRemovesThePartialFile)
{
    const std::string old = "old:\r\n/srv/db/\r\nMINE.FDB\r\n1\r\n2\r\n";   // longer than the limit
    for (bool oldFile : {false, true}) {
        const std::string path = PathOf("kx27.dat");
        if (oldFile)
            Write(old);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::signal(SIGXFSZ, SIG_IGN);   // the write then fails with EFBIG
            rlimit limit{8, 8};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            ServerPrefix = "127.0.0.1:";
            DataFolder = "C:\\data\\";
            DatabaseFileName = "ADDRESS.FDB";
            FakeWindowPosition window;
            SaveSettings(path, window);
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "SaveSettings must not raise";
        EXPECT_EQ(WEXITSTATUS(status), 0);
        if (oldFile)
            EXPECT_EQ(Read(path), old);
        else
            EXPECT_FALSE(fs::exists(path)) << Read(path).size() << " bytes left";
        EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), oldFile ? 1 : 0)
            << "old file: " << oldFile;
    }
}

// A replaced file keeps its permissions, and a link to it stays a link.
TEST_F(SettingsFile, SaveReplacesTheFileWhereItIs)
{
    const std::string target = Write("old\r\n", "real.dat");
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    const std::string link = PathOf("kx27.dat");
    fs::create_symlink(target, link);
    ServerPrefix = "s:";
    DataFolder = "d/";
    DatabaseFileName = "n";
    FakeWindowPosition window;
    SaveSettings(link, window);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(Read(target), "s:\r\nd/\r\nn\r\n192\r\n107\r\n");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

// A settings file that cannot be replaced (read-only) was never touched, so
// there is nothing partial to remove: it stays as it is.
TEST_F(SettingsFile, ReadOnlyFileIsKept)
{
    const std::string old = "old:\r\nC:\\data\\\r\nADDRESS.FDB\r\n1\r\n2\r\n";
    const std::string path = Write(old);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    ASSERT_EQ(::chmod(m_dir.c_str(), 0777), 0);   // the folder stays writable, so removal would succeed
    ASSERT_EQ(SaveAsUser(path, [&] { return ::access(path.c_str(), W_OK) != 0; }), 0)
        << "could not set up an unwritable file";
    EXPECT_EQ(Read(path), old);
}

// A program folder the user may not write can still hold a settings file the
// user may write. Rewriting it in place would truncate the only copy before
// writes that may fail, so it is kept as it is.
TEST_F(SettingsFile, WritableFileInAFolderThatTakesNoNewFileIsKept)
{
    const std::string old = "old:\r\nC:\\data\\\r\nADDRESS.FDB\r\n1\r\n2\r\n";
    const std::string path = Write(old);
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(m_dir.c_str(), 0555), 0);
    ServerPrefix = "s:";
    DataFolder = "d/";
    DatabaseFileName = "n";
    const int saved = SaveAsUser(
        path, [&] { return ::access(m_dir.c_str(), W_OK) != 0 && ::access(path.c_str(), W_OK) == 0; });
    ::chmod(m_dir.c_str(), 0755);
    ASSERT_EQ(saved, 0) << "could not set up the folder";
    EXPECT_EQ(Read(path), old);
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), 1);
}

// Root's save of a user's file leaves it the user's, so that the user's own
// later saves still succeed.
TEST_F(SettingsFile, SaveAsRootKeepsTheOwnerAndGroup)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root gives a file to another user";
    const uid_t user = 65534;   // nobody
    const gid_t group = 65534;
    const std::string path = Write("old\r\n");
    ASSERT_EQ(::chown(path.c_str(), user, group), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_EQ(::chmod(m_dir.c_str(), 0777), 0);   // the user may replace it too
    ServerPrefix = "root:";
    FakeWindowPosition window;
    SaveSettings(path, window);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(Read(path).substr(0, 7), "root:\r\n");
    EXPECT_EQ(st.st_uid, user);
    EXPECT_EQ(st.st_gid, group);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    ServerPrefix = "user:";
    EXPECT_EQ(SaveAsUser(path, [&] { return ::access(path.c_str(), W_OK) == 0; }), 0);
    EXPECT_EQ(Read(path).substr(0, 7), "user:\r\n");
}

TEST(SettingsPath, FromTheExecutablePath)
{
    const struct {
        const char* exe;
        const char* folder;
        const char* settings;
    } cases[] = {
        {"/opt/kx27/kx27", "/opt/kx27/", "/opt/kx27/kx27.dat"},
        {"/opt/kx27/kx27.exe", "/opt/kx27/", "/opt/kx27/kx27.dat"},
        {"/opt/kx.27/kx27", "/opt/kx.27/", "/opt/kx.27/kx27.dat"},
        {"/a/b/app.tar.gz", "/a/b/", "/a/b/app.tar.dat"},
        {"/a/kx27.", "/a/", "/a/kx27.dat"},
        {"kx27", "", "kx27.dat"},
        {"/kx27", "/", "/kx27.dat"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ExecutableFolderOf(c.exe), c.folder) << c.exe;
        EXPECT_EQ(SettingsPathOf(c.exe), c.settings) << c.exe;
    }
}

TEST(SettingsPath, RunningExecutable)
{
    const std::string exe = ExecutablePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_TRUE(fs::equivalent(exe, "/proc/self/exe"));
}
