#include "CommaText.h"

#include <ScopeExit.h>
#include <SysUtils.h>

#include <cstring>

namespace {

inline bool IsBlankOrControl(unsigned char c)
{
    return c <= 0x20;
}

// Whether the byte at q, preceded by the bytes from the character boundary
// from on, is the second byte of a two-byte character. The byte before the
// last run of lead-range bytes ends a character (a byte outside that range
// cannot start one), so the run pairs up from its start. In UTF-8 no byte of
// a longer character is a quote, a comma or a blank: every byte stands alone.
template <bool Cp932>
inline bool IsSecondByte(const char* s, std::size_t from, std::size_t q)
{
    if (!Cp932)
        return false;
    std::size_t i = q;
    while (i > from && IsLeadByte(static_cast<unsigned char>(s[i - 1])))
        --i;
    return (q - i) % 2 == 1;
}

// The field that starts at s[i] == '"'; returns the position after it.
// Quotes are found with memchr and checked backwards, which reads each byte
// about once instead of branching on every character.
template <bool Cp932>
std::size_t TakeQuotedField(const char* s, std::size_t i, std::size_t end, std::string& field)
{
    field.clear();
    std::size_t chunk = i + 1;      // start of the text not yet copied
    std::size_t boundary = chunk;   // a known character boundary
    for (;;) {
        const void* found = std::memchr(s + boundary, '"', end - boundary);
        if (!found) {
            // No closing quote: everything collapsed so far, one byte short.
            field.append(s + chunk, end - chunk);
            if (!field.empty())
                field.pop_back();
            return end;
        }
        const std::size_t q = static_cast<std::size_t>(static_cast<const char*>(found) - s);
        if (IsSecondByte<Cp932>(s, boundary, q)) {
            boundary = q + 1;
            continue;
        }
        if (q + 1 < end && s[q + 1] == '"') {
            field.append(s + chunk, q + 1 - chunk);   // keeps one of the two
            chunk = boundary = q + 2;
            continue;
        }
        field.append(s + chunk, q - chunk);
        return q + 1;
    }
}

// The field that starts at s[i]; returns the position of the byte that ends it.
template <bool Cp932>
std::size_t TakeUnquotedField(const char* s, std::size_t i, std::size_t end, std::string& field)
{
    const std::size_t start = i;
    while (i < end) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (Cp932 && IsLeadByte(c) && i + 1 < end) {
            i += 2;
            continue;
        }
        if (IsBlankOrControl(c) || c == ',')
            break;
        ++i;
    }
    field.assign(s + start, i - start);
    return i;
}

template <bool Cp932>
void Split(const std::string& line, TStringList& fields, int maxFields)
{
    // One change for the whole line, as Clear and Add inside an update would be.
    fields.BeginUpdate();
    const TScopeExit endUpdate([&fields] { fields.EndUpdate(); });

    std::vector<std::string>& out = fields.RawLines();
    const char* s = line.data();
    const void* zero = std::memchr(s, '\0', line.size());
    const std::size_t end = zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - s) : line.size();

    std::size_t count = 0;
    // The next slot of the list, reusing the string already there.
    auto nextField = [&]() -> std::string& {
        if (count < out.size())
            return out[count++];
        ++count;
        return out.emplace_back();
    };

    std::size_t i = 0;
    while (i < end && IsBlankOrControl(static_cast<unsigned char>(s[i])))
        ++i;
    const std::size_t limit = maxFields > 0 ? static_cast<std::size_t>(maxFields) : 0;
    while (i < end && count < limit) {
        std::string& field = nextField();
        if (s[i] == '"')
            i = TakeQuotedField<Cp932>(s, i, end, field);
        else
            i = TakeUnquotedField<Cp932>(s, i, end, field);
        while (i < end && IsBlankOrControl(static_cast<unsigned char>(s[i])))
            ++i;
        if (i < end && s[i] == ',') {
            if (i + 1 == end && count < limit)
                nextField().clear();
            ++i;
            while (i < end && IsBlankOrControl(static_cast<unsigned char>(s[i])))
                ++i;
        }
    }
    out.resize(count);
}

} // namespace

void SplitCommaText(const std::string& line, TStringList& fields, int maxFields)
{
    Split<true>(line, fields, maxFields);
}

void SplitUtf8CommaText(const std::string& line, TStringList& fields, int maxFields)
{
    Split<false>(line, fields, maxFields);
}
