#include "DictionaryRecord.h"

#include <SysUtils.h>
#include <UnitV.h>


namespace {

const std::string FollowingEntries = "\x88\xC8\x89\xBA\x82\xC9";   // 以下に
const std::string NextTo = "\x82\xCC\x8E\x9F\x82\xC9";             // の次に

void AssignTrimmed(const std::string& text, std::string& out)
{
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) <= 0x20)
        ++first;
    while (last > first && static_cast<unsigned char>(text[last - 1]) <= 0x20)
        --last;
    out.assign(text, first, last - first);
}

} // namespace

bool BuildRecord(const TStringList& fields, std::span<std::string, rsCount> slots)
{
    if (fields.Count() < RecordFieldCount)
        return false;
    const std::vector<std::string>& f = fields.Lines();
    AssignTrimmed(f[2], slots[rsZip]);
    for (int slot = rsAdk1; slot <= rsAdr3; ++slot)
        CleanAddressText(f[static_cast<std::size_t>(slot) + 2], slots[slot]);
    const std::string& town = slots[rsAdr3];
    if (CharAwarePos(FollowingEntries, town) > 0 || CharAwarePos(NextTo, town) > 0) {
        slots[rsAdk3].clear();
        slots[rsAdr3].clear();
    }
    return true;
}

int CharAwarePos(const std::string& part, const std::string& text)
{
    if (part.empty() || text.empty())
        return 0;
    // Byte matches are found with find; a match is kept when an even run of
    // lead-range bytes stands before it, back to a known boundary (the byte
    // before such a run always ends a character). Same result as walking
    // every character, without a branch per byte.
    const char* s = text.data();
    std::size_t boundary = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, boundary)) {
        std::size_t runStart = at;
        while (runStart > boundary && IsLeadByte(static_cast<unsigned char>(s[runStart - 1])))
            --runStart;
        if ((at - runStart) % 2 == 0)
            return static_cast<int>(at + 1);
        boundary = at + 1;   // the match began on a second byte
    }
    return 0;
}
