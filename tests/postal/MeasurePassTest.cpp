#include <MeasurePass.h>
#include <SourceFile.h>

#include <SysUtils.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string CheckingLengths = "\x95\xB6\x8E\x9A\x90\x94\x83\x60\x83\x46\x83\x62\x83\x4E\x92\x86\x82\xC5\x82\xB7";   // 文字数チェック中です
const std::string EscPressed = "[ESC]\x83\x4C\x81\x5B\x82\xF0\x89\x9F\x82\xB5\x82\xDC\x82\xB5\x82\xBD";             // [ESC]キーを押しました
const std::string Interrupted = "\x81\x83\x92\x86\x92\x66\x81\x84";                                                  // ＜中断＞

std::string Reading(int n)
{
    return "\x93\xC7\x8E\xE6\x92\x86\x81\x46" + std::to_string(n) + "\x8D\x73\x96\xDA";   // 読取中：n行目
}

// Records what the pass shows; Escape goes down at the given poll (1-based, 0 never).
class FakeView : public BuildView {
public:
    explicit FakeView(int escapeAtPoll = 0) : m_escapeAtPoll(escapeAtPoll) {}

    void SetPhaseLine(const std::string& text) override { Shown.push_back("phase:" + text); }
    void SetProgressLine(const std::string& text) override { Shown.push_back("progress:" + text); }
    void ShowMessage(const std::string& text) override { Shown.push_back("message:" + text); }
    bool EscapeDown() override { return ++Polls == m_escapeAtPoll; }
    void EnableBuildButton(bool on) override { Shown.push_back(on ? "enable" : "disable"); }

    std::vector<std::string> Shown;
    int Polls = 0;

private:
    int m_escapeAtPoll;
};

class TempFile {
public:
    explicit TempFile(const std::string& bytes)
        : m_path((fs::temp_directory_path() / ("kx27_postal_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed())
                                                + "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".csv"))
                     .string())
    {
        std::ofstream(m_path, std::ios::binary) << bytes;
    }
    ~TempFile() { fs::remove(m_path); }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

std::string RecordLine(int i)
{
    return "13101,\"100  \",\"" + std::to_string(1000000 + i) + "\",\"\xC4\xB3\",\"\xC1\",\"\xCF\xD9\",\"\x93\x8C\",\"\x90\xE7\",\"\x8A\xDB\",0,0,0,0,0,0\r\n";
}

int OpenFiles()
{
    int n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

} // namespace

TEST(MeasurePass, WidthsAreTheLongestCleanedValues)
{
    const TempFile file(
        // longest ADK1 (8: quotes removed), ADR2 (6)
        "1,2,3,\"\xC4\xB3\xB7\xAE\"\"\xB3\xC4'\xB7\xAE\",\xC1,\xCF\xD9,\x93\x8C,\x90\xE7\x91\xE3\x93\x63,\x8A\xDB\r\n"
        // ADK3 and ADR3 of this line are suppressed and so do not count
        "1,2,3,\xB1,\xB1,\xB1\xB1\xB1\xB1\xB1\xB1\xB1\xB1\xB1\xB1,\x93\x8C,\x93\x8C,\x8A\xDB\x82\xCC\x8E\x9F\x82\xC9\r\n"
        // eight fields: no record, though its values are the longest
        "1,2,3,\xB1\xB1\xB1\xB1\xB1\xB1\xB1\xB1\xB1\xB1\xB1\xB1,x,x,x,x\r\n"
        "\r\n"
        // ADK2 (3), ADK3 (2), ADR1 (4), ADR3 (5: the lone lead byte at the line end dropped)
        "1,2,3,\xB1,\xB1\xB2\xB3,\xB1\xB2,\x93\x8C\x8B\x9E,\x93\x8C,abcde\x93\r\n"
        // a blank shifts the fields: every width 1
        "1,2,3,a b,c,d,e,f,y,\r\n"
        // a comma as the last byte makes a ninth field; with a blank after it, none
        "1,2,3,4,5,6,7,8,\r\n"
        "1,2,3,4,5,6,7,8, \r\n"
        // the line ends before Ctrl-Z; nothing after it is read
        "1,2,3,4,5,6,7,8,9\x1A" "1,2,3,4444444444444,5,6,7,8,9\r\n");
    FakeView view;
    TColumnWidths widths{9, 9, 9, 9, 9, 9};
    int readCount = -1;
    EXPECT_EQ(MeasurePass(file.Path(), widths, readCount, view).Outcome, moComplete);
    EXPECT_EQ(readCount, 6);
    EXPECT_EQ(widths, (TColumnWidths{8, 3, 2, 4, 6, 5}));
    EXPECT_EQ(view.Shown, (std::vector<std::string>{"phase:" + CheckingLengths, "progress:"}));
}

TEST(MeasurePass, ShowsEvery500thRecord)
{
    std::string bytes;
    for (int i = 0; i < 1234; ++i) {
        bytes += RecordLine(i);
        if (i % 100 == 0)
            bytes += "short,line\r\n";   // not counted
    }
    bytes.resize(bytes.size() - 2);      // no line end after the last line
    const TempFile file(bytes);
    FakeView view;
    TColumnWidths widths{};
    int readCount = 0;
    EXPECT_EQ(MeasurePass(file.Path(), widths, readCount, view).Outcome, moComplete);
    EXPECT_EQ(readCount, 1234);
    EXPECT_EQ(view.Shown, (std::vector<std::string>{"phase:" + CheckingLengths, "progress:", "progress:" + Reading(500),
                                                    "progress:" + Reading(1000)}));
    EXPECT_EQ(widths, (TColumnWidths{2, 1, 2, 2, 2, 2}));
}

TEST(MeasurePass, EscapeStopsAndClosesTheFile)
{
    std::string bytes;
    for (int i = 0; i < 800; ++i)
        bytes += RecordLine(i);
    const TempFile file(bytes);
    const struct {
        const char* name;
        int escapeAtPoll;
        int wantCount;
        std::vector<std::string> wantShown;
    } cases[] = {
        {"at the first line", 1, 0,
         {"phase:" + CheckingLengths, "progress:", "phase:" + EscPressed, "progress:" + Interrupted}},
        // the line polled at is read but not counted
        {"mid-way", 701, 700,
         {"phase:" + CheckingLengths, "progress:", "progress:" + Reading(500), "phase:" + EscPressed,
          "progress:" + Interrupted}},
    };
    for (const auto& c : cases) {
        const int openBefore = OpenFiles();
        FakeView view(c.escapeAtPoll);
        TColumnWidths widths{};
        int readCount = -1;
        EXPECT_EQ(MeasurePass(file.Path(), widths, readCount, view).Outcome, moEscaped) << c.name;
        EXPECT_EQ(view.Polls, c.escapeAtPoll) << c.name;
        EXPECT_EQ(readCount, c.wantCount) << c.name;
        EXPECT_EQ(view.Shown, c.wantShown) << c.name;
        EXPECT_EQ(OpenFiles(), openBefore) << c.name << ": file left open";
    }
}

TEST(MeasurePass, MissingFileRaisesWithNothingMeasured)
{
    FakeView view;
    TColumnWidths widths{5, 5, 5, 5, 5, 5};
    int readCount = 7;
    const std::string path = (fs::temp_directory_path() / "kx27_postal_no_such_file.csv").string();
    try {
        MeasurePass(path, widths, readCount, view);
        FAIL() << "no error";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), 2);
    }
    EXPECT_EQ(readCount, 0);
    EXPECT_EQ(widths, TColumnWidths{});
}

TEST(MeasurePass, ReadErrorAfterOpenEndsThePassQuietly)
{
    // A directory opens as a file on Linux, and its first read fails.
    const fs::path dir = fs::temp_directory_path() / "kx27_postal_dir.csv";
    fs::create_directories(dir);
    const int openBefore = OpenFiles();
    FakeView view;
    TColumnWidths widths{5, 5, 5, 5, 5, 5};
    int readCount = 7;
    TMeasureResult result;
    try {
        result = MeasurePass(dir.string(), widths, readCount, view);
    } catch (const EInOutError&) {
        fs::remove(dir);
        GTEST_SKIP() << "this system does not open a directory for reading";
    }
    fs::remove(dir);
    EXPECT_EQ(result.Outcome, moReadError);
    EXPECT_THROW(std::rethrow_exception(result.ReadError), EInOutError);
    EXPECT_EQ(readCount, 0);
    EXPECT_EQ(widths, TColumnWidths{});
    EXPECT_EQ(OpenFiles(), openBefore);
}

TEST(SourceFile, ReadsLinesByTheTextFileRules)
{
    const struct {
        const char* name;
        std::string bytes;
        std::vector<std::string> wantLines;
    } cases[] = {
        {"no line end after the last line", "1,2,3,4,5,6,7,8,9\r\nlast,2,3,4,5,6,7,8,9",
         {"1,2,3,4,5,6,7,8,9", "last,2,3,4,5,6,7,8,9"}},
        {"Ctrl-Z mid-file", "a\r\nb\x1A" "c\r\nd\r\n", {"a", "b"}},
        {"Ctrl-Z at a line start", "a\r\n\x1A" "b\r\n", {"a"}},
        {"lone CR dropped", "a\rb\r\nc\n", {"ab", "c"}},
        {"0x0A as a second byte still ends the line", "\x83\n\x41\r\n", {"\x83", "A"}},
    };
    for (const auto& c : cases) {
        const TempFile file(c.bytes);
        TSourceFile source;
        source.Open(file.Path());
        std::vector<std::string> lines;
        while (!source.Eof()) {
            source.ReadLine();
            lines.push_back(source.Line());
        }
        source.Close();
        EXPECT_EQ(lines, c.wantLines) << c.name;
    }
}
