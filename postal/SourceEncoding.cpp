#include "SourceEncoding.h"

#include <SysUtils.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iconv.h>
#include <memory>
#include <utility>

const char* const ReplacementMark = "\x81\xAC";   // 〓

namespace {

const std::string ByteOrderMark = "\xEF\xBB\xBF";

constexpr std::uint16_t kNoForm = 0xFFFF;
using TCp932Table = std::array<std::uint16_t, 0x10000>;

// CP932 of every BMP code point as glibc converts it: below 0x100 a byte of
// its own, above it a lead and a trail byte, kNoForm when there is none.
// Outside the BMP CP932 has nothing. Made once, by the first UTF-8 file.
std::unique_ptr<TCp932Table> MakeCp932Table()
{
    const iconv_t cd = iconv_open("CP932", "UTF-32LE");
    if (cd == reinterpret_cast<iconv_t>(-1))
        throw EInOutError("iconv cannot convert UTF-8 to CP932 on this system", EINVAL, true);
    auto table = std::make_unique<TCp932Table>();
    for (std::uint32_t cp = 0; cp < table->size(); ++cp) {
        (*table)[cp] = kNoForm;
        if (cp >= 0xD800 && cp <= 0xDFFF)
            continue;
        char in[4] = {static_cast<char>(cp & 0xFF), static_cast<char>(cp >> 8), 0, 0};
        char out[8];
        char* inPtr = in;
        char* outPtr = out;
        std::size_t inLeft = sizeof in;
        std::size_t outLeft = sizeof out;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1))
            continue;
        const auto* bytes = reinterpret_cast<const unsigned char*>(out);
        const std::size_t size = sizeof out - outLeft;
        if (size == 1)
            (*table)[cp] = bytes[0];
        else if (size == 2)
            (*table)[cp] = static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
    }
    iconv_close(cd);
    return table;
}

const TCp932Table& Cp932Table()
{
    static const std::unique_ptr<TCp932Table> table = MakeCp932Table();
    return *table;
}

// The half-width form of U+30A1 ァ .. U+30FA ヺ: the base and, for a voiced
// or semi-voiced one, its separate mark; 0 where half-width has no form.
struct TKatakanaFold {
    char16_t Base;
    char16_t Mark;
};
constexpr TKatakanaFold KatakanaFolds[] = {
    {0xFF67, 0x0000}, {0xFF71, 0x0000}, {0xFF68, 0x0000}, {0xFF72, 0x0000}, {0xFF69, 0x0000}, {0xFF73, 0x0000},   // ァアィイゥウ
    {0xFF6A, 0x0000}, {0xFF74, 0x0000}, {0xFF6B, 0x0000}, {0xFF75, 0x0000}, {0xFF76, 0x0000}, {0xFF76, 0xFF9E},   // ェエォオカガ
    {0xFF77, 0x0000}, {0xFF77, 0xFF9E}, {0xFF78, 0x0000}, {0xFF78, 0xFF9E}, {0xFF79, 0x0000}, {0xFF79, 0xFF9E},   // キギクグケゲ
    {0xFF7A, 0x0000}, {0xFF7A, 0xFF9E}, {0xFF7B, 0x0000}, {0xFF7B, 0xFF9E}, {0xFF7C, 0x0000}, {0xFF7C, 0xFF9E},   // コゴサザシジ
    {0xFF7D, 0x0000}, {0xFF7D, 0xFF9E}, {0xFF7E, 0x0000}, {0xFF7E, 0xFF9E}, {0xFF7F, 0x0000}, {0xFF7F, 0xFF9E},   // スズセゼソゾ
    {0xFF80, 0x0000}, {0xFF80, 0xFF9E}, {0xFF81, 0x0000}, {0xFF81, 0xFF9E}, {0xFF6F, 0x0000}, {0xFF82, 0x0000},   // タダチヂッツ
    {0xFF82, 0xFF9E}, {0xFF83, 0x0000}, {0xFF83, 0xFF9E}, {0xFF84, 0x0000}, {0xFF84, 0xFF9E}, {0xFF85, 0x0000},   // ヅテデトドナ
    {0xFF86, 0x0000}, {0xFF87, 0x0000}, {0xFF88, 0x0000}, {0xFF89, 0x0000}, {0xFF8A, 0x0000}, {0xFF8A, 0xFF9E},   // ニヌネノハバ
    {0xFF8A, 0xFF9F}, {0xFF8B, 0x0000}, {0xFF8B, 0xFF9E}, {0xFF8B, 0xFF9F}, {0xFF8C, 0x0000}, {0xFF8C, 0xFF9E},   // パヒビピフブ
    {0xFF8C, 0xFF9F}, {0xFF8D, 0x0000}, {0xFF8D, 0xFF9E}, {0xFF8D, 0xFF9F}, {0xFF8E, 0x0000}, {0xFF8E, 0xFF9E},   // プヘベペホボ
    {0xFF8E, 0xFF9F}, {0xFF8F, 0x0000}, {0xFF90, 0x0000}, {0xFF91, 0x0000}, {0xFF92, 0x0000}, {0xFF93, 0x0000},   // ポマミムメモ
    {0xFF6C, 0x0000}, {0xFF94, 0x0000}, {0xFF6D, 0x0000}, {0xFF95, 0x0000}, {0xFF6E, 0x0000}, {0xFF96, 0x0000},   // ャヤュユョヨ
    {0xFF97, 0x0000}, {0xFF98, 0x0000}, {0xFF99, 0x0000}, {0xFF9A, 0x0000}, {0xFF9B, 0x0000}, {0x0000, 0x0000},   // ラリルレロヮ
    {0xFF9C, 0x0000}, {0x0000, 0x0000}, {0x0000, 0x0000}, {0xFF66, 0x0000}, {0xFF9D, 0x0000}, {0xFF73, 0xFF9E},   // ワヰヱヲンヴ
    {0x0000, 0x0000}, {0x0000, 0x0000}, {0xFF9C, 0xFF9E}, {0x0000, 0x0000}, {0x0000, 0x0000}, {0xFF66, 0xFF9E},   // ヵヶヷヸヹヺ
};
constexpr char32_t KatakanaFirst = 0x30A1;
static_assert(std::size(KatakanaFolds) == 0x30FA - KatakanaFirst + 1);

// The reading's form of cp: its half-width form and a second character (a
// separate voicing mark) or 0.
char32_t FoldReading(char32_t cp, char32_t& mark)
{
    mark = 0;
    if (cp >= KatakanaFirst && cp < KatakanaFirst + std::size(KatakanaFolds)) {
        const TKatakanaFold& fold = KatakanaFolds[cp - KatakanaFirst];
        if (!fold.Base)
            return cp;
        mark = fold.Mark;
        return fold.Base;
    }
    if (cp >= 0xFF01 && cp <= 0xFF5E)
        return cp - 0xFEE0;
    switch (cp) {
    case 0x2212: return '-';      // −
    case 0x3001: return 0xFF64;   // 、
    case 0x3002: return 0xFF61;   // 。
    case 0x300C: return 0xFF62;   // 「
    case 0x300D: return 0xFF63;   // 」
    case 0x30FB: return 0xFF65;   // ・
    case 0x30FC: return 0xFF70;   // ー
    case 0x3099:                  // combining ゛
    case 0x309B: return 0xFF9E;   // ゛
    case 0x309A:                  // combining ゜
    case 0x309C: return 0xFF9F;   // ゜
    default: return cp;
    }
}

// Writes cp's CP932 at out and returns the end: two bytes at most.
inline char* PutCp932(const TCp932Table& table, char32_t cp, char* out, std::vector<char32_t>& missing)
{
    std::uint16_t code = cp < table.size() ? table[cp] : kNoForm;
    if (code == kNoForm) {
        code = 0x81AC;   // ReplacementMark
        missing.push_back(cp);
    }
    if (code < 0x100) {
        *out++ = static_cast<char>(code);
    } else {
        *out++ = static_cast<char>(code >> 8);
        *out++ = static_cast<char>(code & 0xFF);
    }
    return out;
}

// The well-formed sequence at s[i], its code point into cp and its length
// into size; false for anything else (a sequence cut off included).
inline bool DecodeAt(const unsigned char* s, std::size_t n, std::size_t i, char32_t& cp, std::size_t& size)
{
    const unsigned char c = s[i];
    char32_t min;
    if (c >= 0xC2 && c <= 0xDF) {
        size = 2, cp = c & 0x1F, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        size = 3, cp = c & 0x0F, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        size = 4, cp = c & 0x07, min = 0x10000;
    } else {
        return false;
    }
    if (n - i < size)
        return false;
    for (std::size_t k = 1; k < size; ++k) {
        const unsigned char t = s[i + k];
        if ((t & 0xC0) != 0x80)
            return false;
        cp = cp << 6 | (t & 0x3F);
    }
    return cp >= min && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
}

bool HasHighByte(const std::string& text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return true;
    return false;
}

[[noreturn]] void RaiseMixed(const std::string& path, long number, bool byteOrderMark)
{
    const int code = InOutErrorCodeFromErrno(EIO);
    throw EInOutError(path + " line " + IntToStr(number) + " is not UTF-8 although " +
                          (byteOrderMark ? "the file begins with a UTF-8 byte-order mark"
                                         : "the lines before it are UTF-8") +
                          ": a file that mixes encodings is not read",
                      code != 0 ? code : EIO, code == 0);
}

} // namespace

std::string ReplacementText(const TReplacedCharacter& replaced)
{
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(replaced.CodePoint));
    return "line " + IntToStr(replaced.Line) + " column " + IntToStr(replaced.Column) + ": " + code +
           " has no Shift-JIS form; stored as " + ReplacementMark;
}

bool IsUtf8Text(const char* text, std::size_t size)
{
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    std::size_t i = 0;
    while (i < size) {
        // Eight ASCII bytes at a time: most of a line is commas and digits.
        if (size - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, s + i, sizeof word);
            if ((word & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        if (s[i] < 0x80) {
            ++i;
            continue;
        }
        char32_t cp;
        std::size_t length;
        if (!DecodeAt(s, size, i, cp, length))
            return false;
        i += length;
    }
    return true;
}

void Cp932FromUtf8(const std::string& utf8, bool reading, std::string& out, std::vector<char32_t>& missing)
{
    const TCp932Table& table = Cp932Table();
    const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
    const std::size_t n = utf8.size();
    // Never longer than the UTF-8: a character of two bytes or more there
    // is two at most here (a folded one with its mark too), ASCII one.
    out.resize(n);
    char* const start = out.data();
    char* to = start;
    for (std::size_t i = 0; i < n;) {
        if (s[i] < 0x80) {
            *to++ = static_cast<char>(s[i++]);
            continue;
        }
        char32_t cp;
        std::size_t length;
        if (!DecodeAt(s, n, i, cp, length)) {
            ++i;   // not UTF-8: dropped
            continue;
        }
        i += length;
        if (!reading) {
            to = PutCp932(table, cp, to, missing);
            continue;
        }
        char32_t mark;
        to = PutCp932(table, FoldReading(cp, mark), to, missing);
        if (mark)
            to = PutCp932(table, mark, to, missing);
    }
    out.resize(static_cast<std::size_t>(to - start));
}

void TSourceEncoding::Reset()
{
    m_kind = skUndecided;
    m_replacements = {};
}

void TSourceEncoding::TakeLine(std::string& line, long number, const std::string& path)
{
    if (m_kind == skShiftJis)
        return;
    bool byteOrderMark = false;
    if (number == 1 && line.compare(0, ByteOrderMark.size(), ByteOrderMark) == 0) {
        line.erase(0, ByteOrderMark.size());
        byteOrderMark = true;
        m_kind = skUtf8;
        Cp932Table();   // a system without the conversion fails here, before anything is stored
    }
    if (m_kind == skUndecided) {
        if (!HasHighByte(line))
            return;
        m_kind = IsUtf8Text(line.data(), line.size()) ? skUtf8 : skShiftJis;
        if (m_kind == skUtf8)
            Cp932Table();
        return;
    }
    if (!IsUtf8Text(line.data(), line.size()))
        RaiseMixed(path, number, byteOrderMark);
}

void TSourceEncoding::ConvertFields(std::vector<std::string>& fields, long line, const TConvertedColumns& columns)
{
    for (int column = columns.First; column <= columns.Last && column <= static_cast<int>(fields.size()); ++column) {
        std::string& field = fields[static_cast<std::size_t>(column - 1)];
        if (!HasHighByte(field))
            continue;   // ASCII reads alike in both encodings
        m_missing.clear();
        Cp932FromUtf8(field, column >= columns.FirstReading && column <= columns.LastReading, m_converted, m_missing);
        field.swap(m_converted);
        for (const char32_t cp : m_missing) {
            if (m_replacements.Listed.size() < TReplacements::kListedReplacements)
                m_replacements.Listed.push_back({line, column, cp});
            ++m_replacements.Count;
        }
    }
}
