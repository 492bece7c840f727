// CP932 <-> Unicode at the program's two edges, the window and the terminal
// (glibc iconv). Inside, every string stays CP932.
#pragma once

#include <string>

// Bytes that are no CP932 character (a lone lead byte, an unassigned code)
// become U+FFFD each, so that nothing after them is lost.
std::string Utf8FromCp932(const std::string& cp932);
// UTF-32LE code units; characters that CP932 cannot hold become "?".
std::string Cp932FromUtf32(const std::string& utf32le);
// False, with out unchanged, when the text is not UTF-8 or holds a character
// that CP932 cannot hold: a text typed on the command line is refused then
// rather than searched for with something else in its place.
bool TryCp932FromUtf8(const std::string& utf8, std::string& out);
