// The comma-text split of one line of the postal source file.
#pragma once

#include <Classes.h>

#include <climits>
#include <string>

// Replaces the fields with the line's fields (delimiter ',', quote '"').
//
// Byte rules a caller must know:
// - A byte 0x00 ends the line; nothing after it is seen, and "the last byte
//   of the line" below means the last byte before it.
// - Bytes 0x01..0x20 before a field and around a comma are skipped; an
//   unquoted field ends at a byte 0x20 or below or at a comma, so a blank
//   inside it splits it in two.
// - A quoted field ends at a quote not followed by another; "" inside stands
//   for one quote. Without a closing quote the field is the rest of the line,
//   "" collapsed, less its last byte.
// - "a,,b" gives three fields, "a," ends with an empty field, "a, " does not;
//   a blank line gives none.
// - Characters are stepped over whole: a CP932 lead byte (IsLeadByte) and the
//   byte after it are one character whatever that byte is. Second bytes of
//   CP932 are 0x40 and above, but in a malformed line a lead byte directly
//   before a comma, a quote or a blank swallows it: "\x83," is one unquoted
//   character, not a field end. A lead byte that is
//   the last byte of the line is a one-byte character.
//
// With maxFields the list holds only the first maxFields of those fields (the
// rest of the line is not looked at); the record needs the first nine.
//
// The list is rebuilt in place as one change (its hooks fire once each), and
// the strings of its first fields keep their capacity, so splitting lines
// with the same number of fields allocates nothing.
void SplitCommaText(const std::string& line, TStringList& fields, int maxFields = INT_MAX);

// The same for a line of UTF-8 text: every byte is stepped over on its own,
// since no byte of a longer UTF-8 character is a quote, a comma or a byte
// 0x20 or below (where CP932's stepping would pair a UTF-8 byte with the
// quote after it).
void SplitUtf8CommaText(const std::string& line, TStringList& fields, int maxFields = INT_MAX);
