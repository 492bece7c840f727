#include "Cp932Text.h"

#include <cerrno>
#include <iconv.h>
#include <stdexcept>

namespace {

// One conversion descriptor per direction, opened on first use and kept for
// the run; the program converts from one thread only.
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
    // the replacement and skips inputStep bytes. With inputStep 0 it gives
    // up instead and returns false.
    bool Convert(const char* data, std::size_t size, const std::string& replacement, std::size_t inputStep,
                 std::string& out)
    {
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
            if (inputStep == 0)
                return false;
            out.resize(used);
            out += replacement;
            used = out.size();
            out.resize(used + inLeft * 2 + 16);
            std::size_t step = inputStep < inLeft ? inputStep : inLeft;
            in += step;
            inLeft -= step;
        }
        out.resize(used);
        return true;
    }

private:
    iconv_t m_cd;
};

} // namespace

std::string Utf8FromCp932(const std::string& cp932)
{
    static Converter toUtf8("UTF-8", "CP932");
    std::string out;
    toUtf8.Convert(cp932.data(), cp932.size(), "\xEF\xBF\xBD", 1, out);
    return out;
}

std::string Cp932FromUtf32(const std::string& utf32le)
{
    static Converter fromUtf32("CP932", "UTF-32LE");
    std::string out;
    fromUtf32.Convert(utf32le.data(), utf32le.size(), "?", 4, out);
    return out;
}

bool TryCp932FromUtf8(const std::string& utf8, std::string& out)
{
    static Converter fromUtf8("CP932", "UTF-8");
    std::string converted;
    if (!fromUtf8.Convert(utf8.data(), utf8.size(), {}, 0, converted))
        return false;
    out = std::move(converted);
    return true;
}
