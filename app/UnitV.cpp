#include "UnitV.h"

#include <SysUtils.h>

#include <array>

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

bool StartsTwoByteCharacter(unsigned char c)
{
    return (c >= 0x80 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFD);
}

// 1 for the bytes CleanAddressText drops when they stand alone (below 0x20,
// '"' and '\''); a table, so that the test for none of them in a text has
// no branch per byte.
constexpr std::array<unsigned char, 256> MaybeDropped = [] {
    std::array<unsigned char, 256> table{};
    for (int c = 0; c < 0x20; ++c)
        table[c] = 1;
    table['"'] = table['\''] = 1;
    return table;
}();

bool AnyMaybeDropped(const char* s, std::size_t n)
{
    unsigned char any = 0;
    for (std::size_t i = 0; i < n; ++i)
        any |= MaybeDropped[static_cast<unsigned char>(s[i])];
    return any != 0;
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
