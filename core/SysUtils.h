// The runtime's exceptions, number and text routines shared by every folder.
// Every std::string here holds CP932 bytes; lengths are byte counts.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <variant>
#include <vector>

// Root of every error the system raises; carries the message text.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : m_message(std::move(message)) {}
    const std::string& Message() const noexcept { return m_message; }
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    std::string m_message;
};

// A failing call into the operating system (dlopen, dlsym, ...).
class EOSError : public Exception {
public:
    EOSError(std::string message, int errorCode) : Exception(std::move(message)), m_errorCode(errorCode) {}
    int ErrorCode() const noexcept { return m_errorCode; }

private:
    int m_errorCode;
};

// A text that is not the number (or format) it should be.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// An index outside a list.
class EListError : public Exception {
public:
    using Exception::Exception;
};

// A failing text-file operation. ErrorCode is the number the user is shown.
// Normally it is one of the runtime's own I/O error numbers (2 not found,
// 3 bad name, 4 too many files, 5 access denied, 100 read past the end,
// 101 disk full, 103 file not open, 106 not a number). A system error code
// that means none of these is carried as it is, marked IsSystemCode(): errno
// values overlap the runtime's numbers (EIO is 5, ENETDOWN 100), so only
// the mark keeps it from being read as one of them.
class EInOutError : public Exception {
public:
    EInOutError(std::string message, int errorCode, bool systemCode = false)
        : Exception(std::move(message)), m_errorCode(errorCode), m_systemCode(systemCode)
    {
    }
    int ErrorCode() const noexcept { return m_errorCode; }
    bool IsSystemCode() const noexcept { return m_systemCode; }

private:
    int m_errorCode;
    bool m_systemCode;
};

// The runtime's number for an errno that means one of its cases (ENOENT 2;
// ENOTDIR, ENAMETOOLONG, EISDIR 3; EMFILE, ENFILE 4; EACCES, EPERM, EROFS,
// ETXTBSY 5; ENOSPC, EDQUOT 101), or 0 when it means none of them.
int InOutErrorCodeFromErrno(int err);
// Raises EInOutError for errno (message: the system's text for it): the
// runtime's number where there is one, otherwise errno as a system code.
[[noreturn]] void RaiseInOutError(int err);

// One argument of Format: an integer or a byte string.
using FormatArg = std::variant<std::int64_t, std::string>;

// The runtime's Format: %s, %d, %u, %x with optional "index:", "-", width and
// ".precision" (for example %0:d, %1:d, %5d, %-8s); "%%" is a percent sign.
// A missing or mismatched argument raises EConvertError.
std::string Format(const std::string& format, const std::vector<FormatArg>& args);

std::string IntToStr(std::int64_t value);
// The runtime's general floating-point text: 15 significant digits,
// exponent form outside 1E-5 .. 1E15 written as "1E20" / "1.5E-7".
std::string FloatText(double value);
// An integer with a decimal scale as exact fixed-point text; trailing zeros
// of the fraction are dropped ("12.5", "-0.0001", "300").
std::string ScaledText(std::int64_t value, int scale);

// The runtime's integer parsing: leading blanks, one sign, then decimal digits
// or hexadecimal introduced by "$", "x", "X", "0x" or "0X" (at most eight hex
// digits, any bit pattern). Nothing may follow; decimal must fit 32 bits.
bool TryStrToInt(const std::string& text, std::int32_t& value);
// As TryStrToInt; raises EConvertError "'%s' は整数ではありません" on failure.
std::int32_t StrToInt(const std::string& text);

// Bytes 0x00..0x20 removed at both ends / the start / the end.
std::string Trim(const std::string& text);
std::string TrimLeft(const std::string& text);
std::string TrimRight(const std::string& text);

// The text as an SQL string literal: in single quotes, every quote inside
// doubled; with quote '"', the same as a quoted identifier or the values of
// a CREATE DATABASE's USER and PASSWORD. Neither 0x27 nor 0x22 is ever the
// second byte of a CP932 character, so the walk goes byte by byte.
// AppendQuotedStr appends the literal to out.
std::string QuotedStr(const std::string& text, char quote = '\'');
void AppendQuotedStr(std::string& out, const std::string& text, char quote = '\'');

// ASCII letters only; bytes that are the second half of a CP932 two-byte
// character are left as they are.
std::string UpperCase(const std::string& text);
std::string LowerCase(const std::string& text);
// Whole-text comparison without regard to ASCII letter case, CP932 aware.
bool SameText(const std::string& a, const std::string& b);

// Whether the byte starts a two-byte CP932 character (0x81..0x9F, 0xE0..0xFC).
inline bool IsLeadByte(unsigned char c) noexcept
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// The runtime's pseudo-random generator: an integer in 0 .. range - 1.
std::int32_t Random(std::int32_t range);
