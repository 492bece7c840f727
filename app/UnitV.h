// Settings shared by the whole program, and its two text routines.
// Process-wide CP932 byte strings, empty at start.
#pragma once

#include <cstdint>
#include <string>

extern std::string ExeFolder;          // the executable's folder, with its trailing separator
extern std::string ServerPrefix;       // server address followed by a colon; may be empty
extern std::string DataFolder;         // folder of the database on the server
extern std::string DatabaseFileName;   // database file name

// The text as a whole as a signed 32-bit integer (leading blanks, a sign,
// decimal or "$", "x", "0x" hexadecimal); 0 for anything else. Never fails.
std::int32_t StrToIntOrZero(const std::string& text);

// Copies the text character by character: a two-byte character (lead byte
// 0x80..0x9F or 0xE0..0xFD) whole, or not at all when its second byte is
// missing at the end; single bytes except ', " and bytes below 0x20.
std::string CleanAddressText(const std::string& text);
// The same into out (which must not be text itself), reusing its capacity:
// the source-file passes call it for every line.
void CleanAddressText(const std::string& text, std::string& out);
