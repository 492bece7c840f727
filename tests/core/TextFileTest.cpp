#include <SysUtils.h>
#include <TextFile.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string TempPath(const std::string& name)
{
    return (std::filesystem::temp_directory_path() / ("kx27_core_" + name)).string();
}

std::vector<std::string> ReadAll(const std::string& bytes)
{
    const std::string path = TempPath("lines.txt");
    std::ofstream(path, std::ios::binary) << bytes;
    TTextReader reader(path);
    std::vector<std::string> lines;
    while (!reader.Eof())
        lines.push_back(reader.ReadLine());
    reader.Close();
    std::filesystem::remove(path);
    return lines;
}

} // namespace

TEST(TextReader, LineEndsAndCtrlZ)
{
    const struct {
        const char* name;
        std::string bytes;
        std::vector<std::string> want;
    } cases[] = {
        {"CR LF", "a\r\nb\r\n", {"a", "b"}},
        {"LF only", "a\nb\n", {"a", "b"}},
        {"lone CR dropped", "a\rb\r\nc", {"ab", "c"}},
        {"CR CR LF", "a\r\r\nb", {"a", "b"}},
        {"no final line end", "a\r\nlast", {"a", "last"}},
        {"empty lines kept", "\r\n\r\nx", {"", "", "x"}},
        {"Ctrl-Z mid line", std::string("ab\x1A" "cd\r\nef", 8), {"ab"}},
        {"Ctrl-Z at line start", std::string("ab\r\n\x1A" "cd", 7), {"ab"}},
        {"empty file", "", {}},
        {"Ctrl-Z only", "\x1A", {}},
        {"zero byte is text", std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReadAll(c.bytes), c.want) << c.name;
}

TEST(TextReader, LongLinesCrossTheBuffer)
{
    std::string longLine(200000, 'x');
    longLine[99999] = '\r';   // dropped, not a line end
    const auto lines = ReadAll(longLine + "\r\n" + "\x83\x5C" + "\r\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), 199999u);
    EXPECT_EQ(lines[1], "\x83\x5C");
}

TEST(TextReader, ReadingPastTheEndGivesEmptyLines)
{
    const std::string path = TempPath("end.txt");
    std::ofstream(path, std::ios::binary) << "only";
    TTextReader reader(path);
    EXPECT_EQ(reader.ReadLine(), "only");
    EXPECT_TRUE(reader.Eof());
    EXPECT_EQ(reader.ReadLine(), "");
    std::filesystem::remove(path);
}

TEST(TextReader, MissingFileIsIOError2)
{
    try {
        TTextReader reader(TempPath("does-not-exist.txt"));
        FAIL() << "opened a missing file";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), 2);
    }
}

TEST(TextWriter, WritesCrLfAndReportsFailures)
{
    const std::string path = TempPath("out.txt");
    {
        TTextWriter writer(path);
        writer.WriteLine("192");
        writer.WriteLine("");
        writer.WriteLine("-20");
        writer.Close();
    }
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes, "192\r\n\r\n-20\r\n");
    std::filesystem::remove(path);

    EXPECT_THROW(TTextWriter(TempPath("no-such-dir/out.txt")), EInOutError);
    if (std::filesystem::is_character_file("/dev/full")) {
        TTextWriter full("/dev/full");
        full.WriteLine(std::string(100, 'x'));
        EXPECT_THROW(full.Close(), EInOutError);
    }
}
