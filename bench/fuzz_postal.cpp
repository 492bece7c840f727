// libFuzzer target over the source-line split, the record build, the address
// cleaning and the character-aware search. Built by CMake with KX27_FUZZ
// (clang, -fsanitize=fuzzer,address,undefined); scripts/fuzz-postal.sh
// builds and runs it.
//
// Besides the sanitizers it checks:
// - the split against a plain reference that copies character by character
//   and cuts an unterminated quoted field by the length rule (rest less one
//   byte less one per "" pair);
// - splitting into a list left over from other lines gives the same fields,
//   and a split cut after n fields gives the first n of them;
// - fields of well-formed CP932 text, each quoted, come back unchanged;
// - BuildRecord: no record below 9 fields; ZIP trimmed and inside field 2;
//   address slots cleaned, and ADK3/ADR3 emptied exactly when ADR3 holds
//   以下に or の次に on a character boundary;
// - CleanAddressText against a byte-by-byte walk; it leaves no quote or
//   control byte outside a two-byte character and changes nothing when run
//   again;
// - CharAwarePos against a scan of every character boundary;
// - the UTF-8 split equals the CP932 split on a line without a byte above
//   0x7F; the UTF-8 conversion, folded or not, is never longer than its
//   input (it writes into a buffer of that size), holds a mark for every
//   character it reports missing, and leaves ASCII as it is.
#include <CommaText.h>
#include <DictionaryRecord.h>
#include <SourceEncoding.h>
#include <UnitV.h>

#include <SysUtils.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

bool IsCleanLead(unsigned char c)
{
    return (c >= 0x80 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFD);
}

bool IsTrailByte(unsigned char c)
{
    return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFC);
}

std::vector<std::string> ReferenceSplit(std::string line)
{
    if (const auto zero = line.find('\0'); zero != std::string::npos)
        line.resize(zero);
    const std::size_t n = line.size();
    auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(line[i]); };
    auto width = [&](std::size_t i) -> std::size_t { return IsLeadByte(byteAt(i)) && i + 1 < n ? 2 : 1; };
    std::vector<std::string> fields;
    std::size_t i = 0;
    while (i < n && byteAt(i) <= 0x20)
        ++i;
    while (i < n) {
        std::string field;
        if (line[i] == '"') {
            const std::size_t rest = n - (i + 1);
            std::size_t pairs = 0;
            bool closed = false;
            ++i;
            while (i < n) {
                const std::size_t w = width(i);
                if (w == 1 && line[i] == '"') {
                    if (i + 1 < n && line[i + 1] == '"') {
                        field += '"';
                        ++pairs;
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                field += line.substr(i, w);
                i += w;
            }
            if (!closed) {
                const long keep = static_cast<long>(rest) - 1 - static_cast<long>(pairs);
                field.resize(keep > 0 ? static_cast<std::size_t>(keep) : 0);
            }
        } else {
            while (i < n) {
                const std::size_t w = width(i);
                if (w == 1 && (byteAt(i) <= 0x20 || line[i] == ','))
                    break;
                field += line.substr(i, w);
                i += w;
            }
        }
        fields.push_back(field);
        while (i < n && byteAt(i) <= 0x20)
            ++i;
        if (i < n && line[i] == ',') {
            if (i == n - 1)
                fields.emplace_back();
            ++i;
            while (i < n && byteAt(i) <= 0x20)
                ++i;
        }
    }
    return fields;
}

int ReferencePos(const std::string& part, const std::string& text)
{
    if (part.empty() || text.empty())
        return 0;
    for (std::size_t i = 0; i < text.size();) {
        if (text.compare(i, part.size(), part) == 0)
            return static_cast<int>(i + 1);
        i += IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size() ? 2 : 1;
    }
    return 0;
}

std::string ReferenceClean(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (IsCleanLead(c)) {
            if (i + 1 < text.size())
                out += text.substr(i++, 2);
        } else if (c != '\'' && c != '"' && c >= 0x20) {
            out += text[i];
        }
    }
    return out;
}

void CheckCleaned(const std::string& in, const std::string& out)
{
    Check(out == ReferenceClean(in), "CleanAddressText differs from the reference");
    for (std::size_t i = 0; i < out.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(out[i]);
        if (IsCleanLead(c)) {
            Check(i + 1 < out.size(), "cleaned text ends in a lead byte");
            ++i;
            continue;
        }
        Check(c != '\'' && c != '"' && c >= 0x20, "quote or control byte left by CleanAddressText");
    }
    Check(out.size() <= in.size(), "cleaned text grew");
    Check(CleanAddressText(out) == out, "CleanAddressText is not idempotent");
}

// Well-formed CP932 fields taken from the data: invalid pairs and 0x00 dropped,
// 0x0A separating the fields.
std::vector<std::string> WellFormedFields(const std::string& data)
{
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < data.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        if (IsLeadByte(c)) {
            if (i + 1 < data.size() && IsTrailByte(static_cast<unsigned char>(data[i + 1]))) {
                fields.back() += data.substr(i, 2);
                ++i;
            }
        } else if (c == '\n') {
            fields.emplace_back();
        } else if (c != 0) {
            fields.back() += data[i];
        }
    }
    return fields;
}

std::string QuotedJoin(const std::vector<std::string>& fields)
{
    std::string line;
    for (const std::string& field : fields) {
        if (!line.empty())
            line += ',';
        line += '"';
        for (char c : field) {
            line += c;
            if (c == '"')
                line += '"';
        }
        line += '"';
    }
    return line;
}

TStringList g_reused;   // keeps the fields of earlier inputs, as the passes' list does

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string line(reinterpret_cast<const char*>(data), size);

    TStringList fields;
    SplitCommaText(line, fields);
    Check(fields.Lines() == ReferenceSplit(line), "split differs from the reference");
    SplitCommaText(line, g_reused);
    Check(g_reused.Lines() == fields.Lines(), "split into a used list differs");
    for (const int maxFields : {RecordFieldCount, size > 0 ? data[size - 1] % 12 : 0}) {
        SplitCommaText(line, g_reused, maxFields);
        const std::size_t want = std::min<std::size_t>(fields.Lines().size(), static_cast<std::size_t>(maxFields));
        Check(g_reused.Lines() == std::vector<std::string>(fields.Lines().begin(), fields.Lines().begin() + want),
              "cut split is not the first fields of the whole split");
    }

    TDictionaryRecord record;
    record.Slots[rsAdr3] = "left over";
    bool built = false;
    try {
        built = BuildRecord(fields, record);
    } catch (...) {
        Check(false, "BuildRecord threw");
    }
    Check(built == (fields.Count() >= RecordFieldCount), "record built for the wrong field count");
    if (built) {
        const std::string& zip = record.Slots[rsZip];
        Check(zip.empty() || (static_cast<unsigned char>(zip.front()) > 0x20 && static_cast<unsigned char>(zip.back()) > 0x20),
              "ZIP not trimmed");
        Check(fields[2].find(zip) != std::string::npos, "ZIP not taken from field 2");
        const std::string town = CleanAddressText(fields[8]);
        const bool suppressed = ReferencePos("\x88\xC8\x89\xBA\x82\xC9", town) > 0     // 以下に
            || ReferencePos("\x82\xCC\x8E\x9F\x82\xC9", town) > 0;                      // の次に
        for (int slot = rsAdk1; slot <= rsAdr3; ++slot) {
            const std::string& field = fields[slot + 2];
            const std::string cleaned = CleanAddressText(field);
            CheckCleaned(field, cleaned);
            const bool emptied = suppressed && (slot == rsAdk3 || slot == rsAdr3);
            Check(record.Slots[slot] == (emptied ? std::string() : cleaned), "address slot wrong");
        }
    }

    if (size > 0) {
        const std::size_t partSize = data[0] % 8;
        const std::string part = line.substr(1, partSize);
        const std::string text = line.size() > 1 + partSize ? line.substr(1 + partSize) : std::string();
        Check(CharAwarePos(part, text) == ReferencePos(part, text), "CharAwarePos differs from the reference");
    }

    const std::vector<std::string> wellFormed = WellFormedFields(line);
    SplitCommaText(QuotedJoin(wellFormed), fields);
    Check(fields.Lines() == wellFormed, "quoted well-formed fields do not come back");

    const bool ascii = std::all_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) {
        SplitCommaText(line, fields);
        SplitUtf8CommaText(line, g_reused);
        Check(g_reused.Lines() == fields.Lines(), "UTF-8 split of ASCII differs");
    }
    for (const bool reading : {false, true}) {
        std::string out;
        std::vector<char32_t> missing;
        Cp932FromUtf8(line, reading, out, missing);
        Check(out.size() <= line.size(), "CP932 longer than its UTF-8");
        Check(out.size() >= 2 * missing.size(), "a missing character without its mark");
        Check(!ascii || out == line, "ASCII changed by the conversion");
    }
    return 0;
}
