#include "IBSQLValues.h"

#include <SysUtils.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// ISC_DATE counts days from 1858/11/17, TDateTime from 1899/12/30.
constexpr int kIscDateToDateTime = 15018;
constexpr int kIscDateToUnixDays = 40587;

std::uint64_t Pow10(int exponent)
{
    std::uint64_t p = 1;
    for (int i = 0; i < exponent; ++i)
        p *= 10;
    return p;
}

// Days since 1970/01/01 for a proleptic Gregorian date, and back.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

bool ReadNumber(const std::string& t, std::size_t& i, int maxDigits, int& out)
{
    std::size_t start = i;
    out = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9' && static_cast<int>(i - start) < maxDigits) {
        out = out * 10 + (t[i] - '0');
        ++i;
    }
    return i > start;
}

} // namespace

// value * 10^scale rounded half away from zero; false when it does not fit.
bool ScaleToInt64(std::int64_t value, int scale, std::int64_t& out)
{
    if (scale == 0) {
        out = value;
        return true;
    }
    if (scale > 0) {
        if (scale > 18)
            return value == 0 ? (out = 0, true) : false;
        const std::int64_t p = static_cast<std::int64_t>(Pow10(scale));
        if (value > INT64_MAX / p || value < INT64_MIN / p)
            return false;
        out = value * p;
        return true;
    }
    if (-scale > 19) {
        out = 0;
        return true;
    }
    const std::uint64_t p = Pow10(-scale);
    const bool negative = value < 0;
    const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    std::uint64_t q = magnitude / p;
    const std::uint64_t r = magnitude % p;
    if (r >= p - r)
        ++q;
    out = negative ? -static_cast<std::int64_t>(q) : static_cast<std::int64_t>(q);
    return true;
}

bool DoubleToInt64(double value, std::int64_t& out)
{
    if (!std::isfinite(value))
        return false;
    const double rounded = std::round(value);
    if (rounded < -9223372036854775808.0 || rounded >= 9223372036854775808.0)
        return false;
    out = static_cast<std::int64_t>(rounded);
    return true;
}

bool ParseInt64(const std::string& text, std::int64_t& out)
{
    const std::string t = Trim(text);
    if (t.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(t.c_str(), &end, 10);
    if (errno != 0 || end != t.c_str() + t.size())
        return false;
    out = v;
    return true;
}

bool ParseDouble(const std::string& text, double& out)
{
    const std::string t = Trim(text);
    if (t.empty())
        return false;
    for (char c : t)
        if (!((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E'))
            return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(t.c_str(), &end);
    if (errno == ERANGE || end != t.c_str() + t.size())
        return false;
    out = v;
    return true;
}



std::string DateText(ISC_DATE date)
{
    std::int64_t y;
    unsigned m, d;
    CivilFromDays(static_cast<std::int64_t>(date) - kIscDateToUnixDays, y, m, d);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04lld/%02u/%02u", static_cast<long long>(y), m, d);
    return buffer;
}

std::string TimeText(ISC_TIME time)
{
    const unsigned seconds = static_cast<unsigned>(time / ISC_TIME_SECONDS_PRECISION);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%02u:%02u:%02u", seconds / 3600 % 100, seconds / 60 % 60, seconds % 60);
    return buffer;
}

// Before 1899/12/30 the runtime's date-times are negative and the time of
// day still counts away from zero (-1.25 is 1899/12/29 06:00).
double ToDateTime(ISC_DATE date, ISC_TIME time)
{
    const double days = static_cast<double>(static_cast<std::int64_t>(date) - kIscDateToDateTime);
    const double fraction = static_cast<double>(time) / static_cast<double>(kTimeUnitsPerDay);
    return days < 0 ? days - fraction : days + fraction;
}

ISC_TIMESTAMP FromDateTime(double value)
{
    double days = std::trunc(value);
    std::int64_t units = std::llround(std::fabs(value - days) * static_cast<double>(kTimeUnitsPerDay));
    if (units >= kTimeUnitsPerDay) {
        units -= kTimeUnitsPerDay;
        days += value < 0 ? -1 : 1;
    }
    ISC_TIMESTAMP stamp;
    stamp.timestamp_date = static_cast<ISC_DATE>(static_cast<std::int64_t>(days) + kIscDateToDateTime);
    stamp.timestamp_time = static_cast<ISC_TIME>(units);
    return stamp;
}


// "yyyy/mm/dd", "yyyy/mm/dd hh:nn[:ss]" or "hh:nn[:ss]" ("-" or "." may
// separate the date too), as a TDateTime.
bool ParseDateTime(const std::string& text, double& out)
{
    const std::string t = Trim(text);
    std::size_t i = 0;
    double result = 0;
    bool any = false;
    const std::size_t colon = t.find(':');
    const std::size_t space = t.find(' ');
    const bool hasDate = colon == std::string::npos || (space != std::string::npos && space < colon);
    if (hasDate) {
        int y, m, d;
        if (!ReadNumber(t, i, 4, y) || i >= t.size())
            return false;
        const char sep = t[i];
        if (sep != '/' && sep != '-' && sep != '.')
            return false;
        ++i;
        if (!ReadNumber(t, i, 2, m) || i >= t.size() || t[i] != sep)
            return false;
        ++i;
        if (!ReadNumber(t, i, 2, d))
            return false;
        static const int monthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        if (m < 1 || m > 12 || d < 1 || d > monthDays[m - 1])
            return false;
        const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
        if (m == 2 && d == 29 && !leap)
            return false;
        result = static_cast<double>(DaysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d)) +
                                     kIscDateToUnixDays - kIscDateToDateTime);
        any = true;
        while (i < t.size() && t[i] == ' ')
            ++i;
    }
    if (i < t.size()) {
        int h, n, s = 0;
        if (!ReadNumber(t, i, 2, h) || i >= t.size() || t[i] != ':')
            return false;
        ++i;
        if (!ReadNumber(t, i, 2, n))
            return false;
        if (i < t.size() && t[i] == ':') {
            ++i;
            if (!ReadNumber(t, i, 2, s))
                return false;
        }
        if (i != t.size() || h > 23 || n > 59 || s > 59)
            return false;
        const double fraction = (h * 3600 + n * 60 + s) / 86400.0;
        result += result < 0 ? -fraction : fraction;
        any = true;
    }
    if (!any)
        return false;
    out = result;
    return true;
}
