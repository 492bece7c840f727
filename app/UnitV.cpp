#include "UnitV.h"

#include <SysUtils.h>

std::string ExeFolder;
std::string ServerPrefix;
std::string DataFolder;
std::string DatabaseFileName;

std::int32_t StrToIntOrZero(const std::string& text)
{
    std::int32_t value = 0;
    if (text.empty() || !TryStrToInt(text, value))
        return 0;
    return value;
}

namespace {

bool StartsTwoByteCharacter(unsigned char c)
{
    return (c >= 0x80 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFD);
}

} // namespace

std::string CleanAddressText(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (StartsTwoByteCharacter(c)) {
            if (i + 1 < n) {
                out += text[i];
                out += text[i + 1];
                ++i;
            }
            continue;
        }
        if (c == '\'' || c == '"' || c < 0x20)
            continue;
        out += text[i];
    }
    return out;
}
