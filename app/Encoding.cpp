#include "Encoding.h"

#include <QByteArray>
#include <QList>

#include <cerrno>
#include <iconv.h>
#include <stdexcept>

namespace {

// One conversion descriptor per direction, opened on first use and kept for
// the run; the window converts from the GUI thread only.
class Converter {
public:
    Converter(const char* to, const char* from) : m_cd(iconv_open(to, from))
    {
        if (m_cd == reinterpret_cast<iconv_t>(-1))
            throw std::runtime_error(std::string("iconv cannot convert from ") + from + " to " + to);
    }
    ~Converter() { iconv_close(m_cd); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Converts the whole input; on a byte sequence it cannot take, appends
    // the replacement and skips inputStep bytes.
    std::string Convert(const char* data, std::size_t size, const std::string& replacement, std::size_t inputStep)
    {
        std::string out;
        out.resize(size * 2 + 16);
        char* in = const_cast<char*>(data);
        std::size_t inLeft = size;
        std::size_t used = 0;
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        for (;;) {
            char* outPtr = out.data() + used;
            std::size_t outLeft = out.size() - used;
            std::size_t r = inLeft == 0 ? iconv(m_cd, nullptr, nullptr, &outPtr, &outLeft)
                                        : iconv(m_cd, &in, &inLeft, &outPtr, &outLeft);
            int err = errno;
            used = out.size() - outLeft;
            if (r != static_cast<std::size_t>(-1)) {
                if (inLeft == 0)
                    break;
                continue;
            }
            if (err == E2BIG) {
                out.resize(out.size() * 2);
                continue;
            }
            // EILSEQ, or EINVAL for a sequence cut off at the end
            out.resize(used);
            out += replacement;
            used = out.size();
            out.resize(used + inLeft * 2 + 16);
            std::size_t step = inputStep < inLeft ? inputStep : inLeft;
            in += step;
            inLeft -= step;
        }
        out.resize(used);
        return out;
    }

private:
    iconv_t m_cd;
};

} // namespace

QString ToQString(const std::string& cp932)
{
    static Converter toUtf8("UTF-8", "CP932");
    const std::string utf8 = toUtf8.Convert(cp932.data(), cp932.size(), "\xEF\xBF\xBD", 1);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string FromQString(const QString& text)
{
    static Converter fromUtf32("CP932", "UTF-32LE");
    const QList<uint> codes = text.toUcs4();
    std::string utf32;
    utf32.reserve(static_cast<std::size_t>(codes.size()) * 4);
    for (uint c : codes) {
        utf32 += static_cast<char>(c & 0xFF);
        utf32 += static_cast<char>((c >> 8) & 0xFF);
        utf32 += static_cast<char>((c >> 16) & 0xFF);
        utf32 += static_cast<char>((c >> 24) & 0xFF);
    }
    return fromUtf32.Convert(utf32.data(), utf32.size(), "?", 4);
}
