// One line of the postal source file as a dictionary record.
#pragma once

#include <Classes.h>

#include <array>
#include <span>
#include <string>

// Slot order is also the column order of ZIPDIC.
enum TRecordSlot { rsZip, rsAdk1, rsAdk2, rsAdk3, rsAdr1, rsAdr2, rsAdr3, rsCount };

struct TDictionaryRecord {
    std::array<std::string, rsCount> Slots;
};

// Fields a line needs to give a record.
constexpr int RecordFieldCount = 9;

// Builds the record from a split line; false, and the record untouched, when
// there are fewer than 9 fields. ZIP is field 2 with bytes 0x00..0x20 trimmed
// at both ends (nothing else removed); the six address slots are fields 3..8
// through CleanAddressText. ADK3 and ADR3 are emptied when ADR3 holds
// "以下に" or "の次に" on a character boundary. Reuses the record's
// strings, so it allocates nothing once they are long enough.
bool BuildRecord(const TStringList& fields, std::span<std::string, rsCount> slots);
inline bool BuildRecord(const TStringList& fields, TDictionaryRecord& record)
{
    return BuildRecord(fields, std::span<std::string, rsCount>(record.Slots));
}

// 1-based byte position of the first occurrence of part in text that starts
// on a character boundary, 0 when there is none or either is empty.
// Boundaries are found by walking text from its first byte with the CP932 lead
// bytes of the split (IsLeadByte: 0x81..0x9F, 0xE0..0xFC); a lead byte that is
// the last byte is a character of its own.
int CharAwarePos(const std::string& part, const std::string& text);
