#include <ErrorText.h>

#include <SysUtils.h>
#include <TextFile.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <string>

namespace {

template <typename E>
std::string BoxTextOf(const E& error)
{
    return ErrorBoxText(std::make_exception_ptr(error));
}

template <typename Body>
std::string BoxTextOfCall(Body body)
{
    try {
        body();
    } catch (...) {
        return ErrorBoxText(std::current_exception());
    }
    return "(nothing raised)";
}

const std::string NotFound = "\x83t\x83@\x83\x43\x83\x8B\x82\xAA\x8C\xA9\x82\xC2\x82\xA9\x82\xE8\x82\xDC\x82\xB9\x82\xF1.";   // ファイルが見つかりません
const std::string AccessDenied = "\x83t\x83@\x83\x43\x83\x8B\x82\xD6\x82\xCC\x83\x41\x83N\x83Z\x83X\x82\xAA\x8B\x91\x94\xDB\x82\xB3\x82\xEA\x82\xDC\x82\xB5\x82\xBD.";   // ファイルへのアクセスが拒否されました
const std::string TooManyFiles = "\x83I\x81[\x83v\x83\x93\x82\xB5\x82\xBD\x83t\x83@\x83\x43\x83\x8B\x82\xAA\x91\xBD\x82\xB7\x82\xAC\x82\xDC\x82\xB7.";   // オープンしたファイルが多すぎます
const std::string DiskFull = "\x83\x66\x83\x42\x83X\x83N\x82\xAA\x82\xA2\x82\xC1\x82\xCF\x82\xA2\x82\xC5\x82\xB7.";   // ディスクがいっぱいです
const std::string BadName = "\x95s\x90\xB3\x82\xC8\x83t\x83@\x83\x43\x83\x8B\x96\xBC\x82\xC5\x82\xB7.";   // 不正なファイル名です

std::string GeneralText(int code)
{
    return "I/O \x83G\x83\x89\x81[ (" + std::to_string(code) + ")";   // I/O エラー (%d)
}

} // namespace

TEST(ErrorBox, FullStopAfterTheLastWholeCharacter)
{
    const struct {
        const char* name;
        std::string message;
        std::string want;
    } cases[] = {
        {"letter", "Unknown table", "Unknown table."},
        {"digit", "code 42", "code 42."},
        {"full stop already", "Done.", "Done."},
        {"exclamation is below '.'", "Stop!", "Stop!"},
        {"closing parenthesis below '.'", "(x)", "(x)"},
        {"comma below '.'", "a,", "a,"},
        {"slash above '.'", "C:/", "C:/."},
        {"two-byte, second byte above '.'", "\x82\xF1", "\x82\xF1."},                       // ん
        {"ideographic full stop", "\x82\xC5\x82\xB7\x81\x42", "\x82\xC5\x82\xB7\x81\x42."},  // です。
        // A lead byte followed by "." is one character, which is above ".".
        {"lead byte takes the '.'", "a\x81.", "a\x81.."},
        // The same "." after a complete two-byte character stands alone.
        {"'.' after a whole character", "\x82\xF1.", "\x82\xF1."},
        {"lone lead byte at the end", "ab\x82", "ab\x82."},
        {"empty", "", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(WithFullStop(c.message), c.want) << c.name;
}

TEST(ErrorBox, InOutErrorTexts)
{
    const struct {
        int code;
        std::string want;
    } cases[] = {
        {2, "\x83t\x83@\x83\x43\x83\x8B\x82\xAA\x8C\xA9\x82\xC2\x82\xA9\x82\xE8\x82\xDC\x82\xB9\x82\xF1."},   // ファイルが見つかりません
        {3, "\x95s\x90\xB3\x82\xC8\x83t\x83@\x83\x43\x83\x8B\x96\xBC\x82\xC5\x82\xB7."},   // 不正なファイル名です
        {4, "\x83I\x81[\x83v\x83\x93\x82\xB5\x82\xBD\x83t\x83@\x83\x43\x83\x8B\x82\xAA\x91\xBD\x82\xB7\x82\xAC\x82\xDC\x82\xB7."},   // オープンしたファイルが多すぎます
        {5, "\x83t\x83@\x83\x43\x83\x8B\x82\xD6\x82\xCC\x83\x41\x83N\x83Z\x83X\x82\xAA\x8B\x91\x94\xDB\x82\xB3\x82\xEA\x82\xDC\x82\xB5\x82\xBD."},   // ファイルへのアクセスが拒否されました
        {100, "\x83t\x83@\x83\x43\x83\x8B\x82\xCC\x96\x96\x94\xF6\x88\xC8\x8D~\x82\xF0\x93\xC7\x82\xDD\x8D\x9E\x82\xDD\x82\xDC\x82\xB5\x82\xBD."},   // ファイルの末尾以降を読み込みました
        {101, "\x83\x66\x83\x42\x83X\x83N\x82\xAA\x82\xA2\x82\xC1\x82\xCF\x82\xA2\x82\xC5\x82\xB7."},   // ディスクがいっぱいです
        {106, "\x93\xFC\x97\xCD\x92l\x82\xAA\x90\x94\x92l\x82\xC5\x82\xCD\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1."},   // 入力値が数値ではありません
        // The number's text ends in ")", below ".": no full stop.
        {21, "I/O \x83G\x83\x89\x81[ (21)"},     // I/O エラー (21)
        {-1, "I/O \x83G\x83\x89\x81[ (-1)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BoxTextOf(EInOutError("system text", c.code)), c.want) << c.code;
}

TEST(ErrorBox, ShowsTheMessageOfAnyError)
{
    EXPECT_EQ(BoxTextOf(EConvertError("'x' is no number")), "'x' is no number.");
    EXPECT_EQ(BoxTextOf(EOSError("dlopen failed", 2)), "dlopen failed.");   // its code is no I/O number
    EXPECT_EQ(BoxTextOf(std::runtime_error("plain")), "plain.");
    EXPECT_EQ(ErrorBoxText(std::make_exception_ptr(42)),
              "\x95s\x96\xBE\x82\xC8\x97\xE1\x8AO\x82\xAA\x94\xAD\x90\xB6\x82\xB5\x82\xDC\x82\xB5\x82\xBD.");   // 不明な例外が発生しました
    EXPECT_EQ(ErrorBoxText(nullptr), "");
}

// errno values overlap the runtime's numbers: only the ones that mean a case
// of the runtime read as it; every other shows its own number in the general
// text.
TEST(ErrorBox, SystemErrorsByMeaningNotByNumber)
{
    const struct {
        int err;
        std::string want;
    } cases[] = {
        {ENOENT, NotFound},         {EACCES, AccessDenied}, {EPERM, AccessDenied},
        {EROFS, AccessDenied},      {EMFILE, TooManyFiles}, {ENFILE, TooManyFiles},
        {ENOSPC, DiskFull},         {EDQUOT, DiskFull},     {ENOTDIR, BadName},
        {EIO, GeneralText(EIO)},    {EINTR, GeneralText(EINTR)},
        {ENETDOWN, GeneralText(ENETDOWN)}, {ENETUNREACH, GeneralText(ENETUNREACH)},
        {EFBIG, GeneralText(EFBIG)}, {ESRCH, GeneralText(ESRCH)},   // 27, 3
        {ENOTTY, GeneralText(ENOTTY)},   // 25
    };
    for (const auto& c : cases)
        EXPECT_EQ(BoxTextOfCall([&] { RaiseInOutError(c.err); }), c.want) << c.err;
}

// What the text-file code raises reaches the box with the right text.
TEST(ErrorBox, TextFileFailures)
{
    EXPECT_EQ(BoxTextOfCall([] { TTextReader("/nonexistent-kx27/KEN_ALL.CSV"); }), NotFound);
    EXPECT_EQ(BoxTextOfCall([] {
                  TTextWriter full("/dev/full");
                  full.WriteLine(std::string(100, 'x'));
                  full.Close();
              }),
              DiskFull);
    EXPECT_EQ(BoxTextOfCall([] { TTextWriter().WriteLine("x"); }), GeneralText(103));   // never opened
    EXPECT_EQ(BoxTextOfCall([] { TTextReader reader; reader.ReadLine(); }), GeneralText(103));
}
