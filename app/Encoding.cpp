#include "Encoding.h"

#include "Cp932Text.h"

#include <QByteArray>
#include <QList>

QString ToQString(const std::string& cp932)
{
    const std::string utf8 = Utf8FromCp932(cp932);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string FromQString(const QString& text)
{
    const QList<uint> codes = text.toUcs4();
    std::string utf32;
    utf32.reserve(static_cast<std::size_t>(codes.size()) * 4);
    for (uint c : codes) {
        utf32 += static_cast<char>(c & 0xFF);
        utf32 += static_cast<char>((c >> 8) & 0xFF);
        utf32 += static_cast<char>((c >> 16) & 0xFF);
        utf32 += static_cast<char>((c >> 24) & 0xFF);
    }
    return Cp932FromUtf32(utf32);
}
