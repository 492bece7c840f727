#include "UnitV.h"

#include <SysUtils.h>

#include <cstring>

std::string ExeFolder;
std::string ServerPrefix;
std::string DataFolder;
std::string DatabaseFileName;

std::int32_t StrToIntOrZero(const std::string& text)
{
    std::int32_t value = 0;
    if (text.empty() || !TryStrToInt(text, value))
        return 0;
    return value;
}

namespace {

// The cleaning's own lead bytes, wider than IsLeadByte by 0x80 and 0xFD (no
// CP932 character starts with either): they keep the byte after them, quote
// or control byte though it be, as every dictionary built so far was
// cleaned. The other routines follow the code page (IsLeadByte); narrowing
// this one would change which bytes of a value the dictionary keeps.
bool StartsTwoByteCharacter(unsigned char c)
{
    return (c >= 0x80 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFD);
}

// Non-zero when one of the eight bytes is one that CleanAddressText drops
// when it stands alone: below 0x20, '"' or '\''. (A borrow can only mark
// bytes above a true match, so the word as a whole is exact.)
std::uint64_t MaybeDroppedIn(std::uint64_t x)
{
    constexpr std::uint64_t ones = 0x0101010101010101u;
    constexpr std::uint64_t highs = 0x8080808080808080u;
    const auto anyBelow = [](std::uint64_t v, std::uint64_t n) { return (v - ones * n) & ~v & highs; };
    return anyBelow(x, 0x20) | anyBelow(x ^ (ones * '"'), 1) | anyBelow(x ^ (ones * '\''), 1);
}

std::uint64_t Load(const char* s, std::size_t size)
{
    std::uint64_t word = 0;
    std::memcpy(&word, s, size);
    return word;
}

// Words of eight bytes, short texts as two overlapping halves: the
// source-file passes call this for six fields of every line, and a loop over
// single bytes, with its unforeseeable end, was most of their cost.
bool AnyMaybeDropped(const char* s, std::size_t n)
{
    if (n >= 8) {
        std::uint64_t any = 0;
        for (std::size_t i = 0; i + 8 <= n; i += 8)
            any |= MaybeDroppedIn(Load(s + i, 8));
        return (any | MaybeDroppedIn(Load(s + n - 8, 8))) != 0;   // the last eight, overlapping
    }
    std::uint64_t word;
    if (n >= 4)
        word = Load(s, 4) | Load(s + n - 4, 4) << 32;
    else if (n > 0)
        word = (0x2020202020202020u & ~0xFFFFFFu)   // blanks: never dropped
            | static_cast<std::uint64_t>(static_cast<unsigned char>(s[0]))
            | static_cast<std::uint64_t>(static_cast<unsigned char>(s[n / 2])) << 8
            | static_cast<std::uint64_t>(static_cast<unsigned char>(s[n - 1])) << 16;
    else
        return false;
    return MaybeDroppedIn(word) != 0;
}

} // namespace

std::string CleanAddressText(const std::string& text)
{
    std::string out;
    CleanAddressText(text, out);
    return out;
}

void CleanAddressText(const std::string& text, std::string& out)
{
    const char* s = text.data();
    const std::size_t n = text.size();

    // Usual case, no byte that could be dropped: the text is copied whole but
    // for a lone lead byte at the end. The run of lead-range bytes before the
    // end pairs up from its start (the byte before it ends a character), so
    // an odd run ends in a lead byte without its second byte.
    if (!AnyMaybeDropped(s, n)) {
        std::size_t k = n;
        while (k > 0 && StartsTwoByteCharacter(static_cast<unsigned char>(s[k - 1])))
            --k;
        out.assign(s, (n - k) % 2 == 1 ? n - 1 : n);
        return;
    }

    // Copied in runs: only a dropped byte or a lone lead byte at the end breaks one.
    out.clear();
    std::size_t run = 0;
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (StartsTwoByteCharacter(c)) {
            if (i + 1 == n)
                break;
            i += 2;
        } else if (c == '\'' || c == '"' || c < 0x20) {
            out.append(s + run, i - run);
            run = ++i;
        } else {
            ++i;
        }
    }
    out.append(s + run, i - run);   // i is n - 1 after a lone lead byte
}
