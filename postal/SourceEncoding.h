// The encoding of a postal source file, decided once per pass, and the
// conversion of a UTF-8 file's fields to the CP932 bytes the table keeps.
//
// Japan Post publishes the same addresses in Shift-JIS (KEN_ALL.CSV) and in
// UTF-8 (utf_ken_all.csv, and the monthly utf_add/utf_del files). ZIPDIC
// holds one encoding, CP932, whatever the file: its readers never meet two.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// A character of a UTF-8 file that CP932 cannot hold, stored as 〓 instead.
struct TReplacedCharacter {
    long Line = 0;        // line of the file, from 1
    int Column = 0;       // column of the CSV line, from 1 (the town in kanji is 9)
    char32_t CodePoint = 0;
};

// The replacements of one pass over a file. Every one is counted; the first
// kListedReplacements are kept with their place, so that a file full of
// them cannot use up the memory.
struct TReplacements {
    static constexpr std::size_t kListedReplacements = 1000;
    std::vector<TReplacedCharacter> Listed;
    long Count = 0;
};

// 〓 (U+3013) in CP932: the customary mark for a character the encoding lacks.
extern const char* const ReplacementMark;

// "line 4711 column 9: U+20BB7 has no Shift-JIS form; stored as 〓" (CP932);
// the caller puts the file's name before it.
std::string ReplacementText(const TReplacedCharacter& replaced);

// Whether the bytes are well-formed UTF-8 (no overlong form, no surrogate,
// nothing above U+10FFFF, no sequence cut off).
bool IsUtf8Text(const char* text, std::size_t size);

// The UTF-8 text as CP932 bytes into out, as glibc's CP932 converts it (its
// U+2212 is 0x817C, its U+301C 0x8160). With reading, the text is first
// folded to the half-width forms the Shift-JIS file uses for its readings:
// full-width katakana to half-width (ガ to ｶﾞ, ヴ to ｳﾞ, small ones to small
// ones), ー ､ ･ ｢ ｣ ｡ for ー 、 ・ 「 」 。, ﾞ ﾟ for ゛ ゜, U+2212 to '-', the
// full-width ASCII forms U+FF01..U+FF5E to ASCII; a character without a
// half-width form (ヮ, ヶ, a kanji) stays as it is. A character that CP932
// lacks becomes ReplacementMark and its code point is appended to missing.
// A sequence cut off at the end of the text is dropped, as a lone lead byte
// is from a Shift-JIS field. Reuses out's capacity.
void Cp932FromUtf8(const std::string& utf8, bool reading, std::string& out, std::vector<char32_t>& missing);

// The columns of a UTF-8 line that a table stores, from 1, inclusive, and
// among them the readings, folded to the half-width forms the Shift-JIS file
// uses.
struct TConvertedColumns {
    int First = 0;
    int Last = 0;
    int FirstReading = 0;
    int LastReading = 0;
};

// The decision of one pass over a source file, line by line. A UTF-8
// byte-order mark at the start of the first line is taken off and makes the
// file UTF-8. Otherwise the first line that holds a byte above 0x7F decides:
// UTF-8 when that line is well-formed UTF-8, Shift-JIS (read as it always
// was, bytes kept) when it is not. Lines of ASCII alone read alike either
// way, so the decision may wait for them. Every later line of a UTF-8 file
// must be UTF-8 too.
class TSourceEncoding {
public:
    enum TKind { skUndecided, skShiftJis, skUtf8 };

    // For a new pass: nothing decided, nothing replaced.
    void Reset();
    // Takes the line just read, the line'th of the file at path (from 1).
    // Raises EInOutError naming the file and the line when a UTF-8 file
    // holds a line that is not UTF-8: a file of mixed encodings is read no
    // further.
    void TakeLine(std::string& line, long number, const std::string& path);
    TKind Kind() const noexcept { return m_kind; }
    bool IsUtf8() const noexcept { return m_kind == skUtf8; }

    // Converts the fields of these columns in place to CP932, counting each
    // character stored as the mark.
    void ConvertFields(std::vector<std::string>& fields, long line, const TConvertedColumns& columns);
    const TReplacements& Replacements() const noexcept { return m_replacements; }

private:
    TKind m_kind = skUndecided;
    TReplacements m_replacements;
    std::string m_converted;          // reused for every field
    std::vector<char32_t> m_missing;  // reused for every field
};
