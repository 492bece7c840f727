// The window's edge: CP932 bytes of the logic <-> the toolkit's UTF-16.
#pragma once

#include <QString>

#include <string>

// Bytes that are no CP932 character (a lone lead byte, an unassigned code)
// become U+FFFD each, so that nothing after them is lost.
QString ToQString(const std::string& cp932);
// Characters that CP932 cannot hold become "?".
std::string FromQString(const QString& text);
