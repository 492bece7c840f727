#include "SysUtils.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

int InOutErrorCodeFromErrno(int err)
{
    switch (err) {
    case ENOENT: return 2;
    case ENOTDIR:
    case ENAMETOOLONG:
    case EISDIR: return 3;
    case EMFILE:
    case ENFILE: return 4;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY: return 5;
    case ENOSPC:
    case EDQUOT: return 101;
    default: return 0;
    }
}

void RaiseInOutError(int err)
{
    const int code = InOutErrorCodeFromErrno(err);
    if (code != 0)
        throw EInOutError(std::strerror(err), code);
    throw EInOutError(std::strerror(err), err, true);
}

namespace {

struct Spec {
    bool hasIndex = false;
    int index = 0;
    bool left = false;
    int width = -1;
    int precision = -1;
    char type = 0;
};

bool ReadNumber(const std::string& f, std::size_t& i, int& out)
{
    if (i >= f.size() || f[i] < '0' || f[i] > '9')
        return false;
    out = 0;
    while (i < f.size() && f[i] >= '0' && f[i] <= '9') {
        out = out * 10 + (f[i] - '0');
        ++i;
    }
    return true;
}

[[noreturn]] void BadFormat(const std::string& format)
{
    throw EConvertError("\x8f\x91\x8e\xae\x20\x27" + format + "\x27\x20\x82\xaa\x96\xb3\x8c\xf8\x82\xa9\x81\x41\x88\xf8\x90\x94\x82\xc6\x96\xb5\x8f\x82\x82\xb5\x82\xc4\x82\xa2\x82\xdc\x82\xb7");   // 書式 '%s' が無効か、引数と矛盾しています
}

std::string Pad(std::string text, const Spec& s)
{
    if (s.width > 0 && static_cast<int>(text.size()) < s.width) {
        std::string fill(static_cast<std::size_t>(s.width) - text.size(), ' ');
        text = s.left ? text + fill : fill + text;
    }
    return text;
}

} // namespace

std::string Format(const std::string& format, const std::vector<FormatArg>& args)
{
    std::string out;
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size();) {
        char c = format[i];
        if (c != '%') {
            out += c;
            ++i;
            continue;
        }
        ++i;
        if (i < format.size() && format[i] == '%') {
            out += '%';
            ++i;
            continue;
        }
        Spec s;
        std::size_t save = i;
        int number = 0;
        if (ReadNumber(format, i, number) && i < format.size() && format[i] == ':') {
            s.hasIndex = true;
            s.index = number;
            ++i;
        } else {
            i = save;
        }
        if (i < format.size() && format[i] == '-') {
            s.left = true;
            ++i;
        }
        if (ReadNumber(format, i, number))
            s.width = number;
        if (i < format.size() && format[i] == '.') {
            ++i;
            if (!ReadNumber(format, i, number))
                BadFormat(format);
            s.precision = number;
        }
        if (i >= format.size())
            BadFormat(format);
        s.type = format[i++];
        std::size_t argIndex = s.hasIndex ? static_cast<std::size_t>(s.index) : next;
        if (argIndex >= args.size())
            BadFormat(format);
        next = argIndex + 1;
        const FormatArg& arg = args[argIndex];
        switch (s.type) {
        case 's':
        case 'S': {
            const std::string* text = std::get_if<std::string>(&arg);
            if (!text)
                BadFormat(format);
            std::string value = *text;
            if (s.precision >= 0 && value.size() > static_cast<std::size_t>(s.precision))
                value.resize(static_cast<std::size_t>(s.precision));
            out += Pad(value, s);
            break;
        }
        case 'd':
        case 'D':
        case 'u':
        case 'U':
        case 'x':
        case 'X': {
            const std::int64_t* value = std::get_if<std::int64_t>(&arg);
            if (!value)
                BadFormat(format);
            std::string digits;
            bool negative = false;
            if (s.type == 'x' || s.type == 'X') {
                static const char hex[] = "0123456789ABCDEF";
                std::uint64_t v = static_cast<std::uint64_t>(*value);
                if (*value >= INT32_MIN && *value <= UINT32_MAX)
                    v &= 0xFFFFFFFFu;
                do {
                    digits.insert(digits.begin(), hex[v & 15]);
                    v >>= 4;
                } while (v != 0);
            } else if (s.type == 'u' || s.type == 'U') {
                std::uint64_t v = static_cast<std::uint64_t>(*value);
                if (*value < 0 && *value >= INT32_MIN)
                    v &= 0xFFFFFFFFu;
                digits = std::to_string(v);
            } else {
                negative = *value < 0;
                std::uint64_t v = negative ? 0 - static_cast<std::uint64_t>(*value) : static_cast<std::uint64_t>(*value);
                digits = std::to_string(v);
            }
            if (s.precision > 0 && digits.size() < static_cast<std::size_t>(s.precision))
                digits.insert(0, static_cast<std::size_t>(s.precision) - digits.size(), '0');
            out += Pad(negative ? "-" + digits : digits, s);
            break;
        }
        default:
            BadFormat(format);
        }
    }
    return out;
}

std::string IntToStr(std::int64_t value)
{
    return std::to_string(value);
}

std::string FloatText(double value)
{
    if (std::isnan(value))
        return "NAN";
    if (std::isinf(value))
        return value < 0 ? "-INF" : "INF";
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.15G", value);
    std::string text = buffer;
    std::size_t e = text.find('E');
    if (e == std::string::npos)
        return text;
    std::string mantissa = text.substr(0, e);
    std::string exponent = text.substr(e + 1);
    bool negative = !exponent.empty() && exponent[0] == '-';
    if (!exponent.empty() && (exponent[0] == '-' || exponent[0] == '+'))
        exponent.erase(0, 1);
    exponent.erase(0, std::min(exponent.find_first_not_of('0'), exponent.size() - 1));
    return mantissa + "E" + (negative ? "-" : "") + exponent;
}

std::string ScaledText(std::int64_t value, int scale)
{
    const bool negative = value < 0;
    const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    std::string digits = std::to_string(magnitude);
    if (scale >= 0) {
        if (magnitude != 0)
            digits.append(static_cast<std::size_t>(scale), '0');
    } else {
        const std::size_t places = static_cast<std::size_t>(-scale);
        if (digits.size() <= places)
            digits.insert(0, places + 1 - digits.size(), '0');
        digits.insert(digits.size() - places, ".");
        while (digits.back() == '0')
            digits.pop_back();
        if (digits.back() == '.')
            digits.pop_back();
    }
    if (negative && digits != "0")
        digits.insert(0, "-");
    return digits;
}

bool TryStrToInt(const std::string& text, std::int32_t& value)
{
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    bool hex = false;
    if (i < n && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i >= n)
        return false;
    if (hex) {
        std::uint32_t v = 0;
        std::size_t digits = 0;
        for (; i < n; ++i, ++digits) {
            char c = text[i];
            std::uint32_t d;
            if (c >= '0' && c <= '9')
                d = static_cast<std::uint32_t>(c - '0');
            else if (c >= 'A' && c <= 'F')
                d = static_cast<std::uint32_t>(c - 'A' + 10);
            else if (c >= 'a' && c <= 'f')
                d = static_cast<std::uint32_t>(c - 'a' + 10);
            else
                return false;
            if (digits == 8)
                return false;
            v = (v << 4) | d;
        }
        if (negative)
            v = 0u - v;
        value = static_cast<std::int32_t>(v);
        return true;
    }
    std::int64_t v = 0;
    for (; i < n; ++i) {
        char c = text[i];
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
        if (v > static_cast<std::int64_t>(INT32_MAX) + 1)
            return false;
    }
    if (negative)
        v = -v;
    if (v > INT32_MAX || v < INT32_MIN)
        return false;
    value = static_cast<std::int32_t>(v);
    return true;
}

std::int32_t StrToInt(const std::string& text)
{
    std::int32_t value = 0;
    if (!TryStrToInt(text, value))
        throw EConvertError("'" + text + "\x27\x20\x82\xcd\x90\xae\x90\x94\x82\xc5\x82\xcd\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1");   // '%s' は整数ではありません
    return value;
}

std::string TrimLeft(const std::string& text)
{
    std::size_t b = 0;
    while (b < text.size() && static_cast<unsigned char>(text[b]) <= 0x20)
        ++b;
    return text.substr(b);
}

std::string TrimRight(const std::string& text)
{
    std::size_t e = text.size();
    while (e > 0 && static_cast<unsigned char>(text[e - 1]) <= 0x20)
        --e;
    return text.substr(0, e);
}

void AppendQuotedStr(std::string& out, const std::string& text, char quote)
{
    out += quote;
    std::size_t from = 0;
    for (std::size_t q = text.find(quote); q != std::string::npos; q = text.find(quote, from)) {
        out.append(text, from, q + 1 - from);
        out += quote;
        from = q + 1;
    }
    out.append(text, from, std::string::npos);
    out += quote;
}

std::string QuotedStr(const std::string& text, char quote)
{
    std::string out;
    out.reserve(text.size() + 2);
    AppendQuotedStr(out, text, quote);
    return out;
}

std::string Trim(const std::string& text)
{
    return TrimLeft(TrimRight(text));
}

namespace {

template <typename Fold>
std::string FoldCase(const std::string& text, Fold fold)
{
    std::string out = text;
    for (std::size_t i = 0; i < out.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        if (IsLeadByte(c) && i + 1 < out.size())
            ++i;
        else
            out[i] = static_cast<char>(fold(c));
    }
    return out;
}

unsigned char Upper(unsigned char c) { return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 32) : c; }
unsigned char Lower(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c; }

} // namespace

std::string UpperCase(const std::string& text)
{
    return FoldCase(text, Upper);
}

std::string LowerCase(const std::string& text)
{
    return FoldCase(text, Lower);
}

bool SameText(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && UpperCase(a) == UpperCase(b);
}

std::int32_t Random(std::int32_t range)
{
    static std::mt19937 generator{std::random_device{}()};
    if (range <= 0)
        return 0;
    return std::uniform_int_distribution<std::int32_t>(0, range - 1)(generator);
}
