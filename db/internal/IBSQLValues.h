// Number, calendar and text routines behind the text forms and typed
// readers of descriptor variables. None of them calls the client library.
#pragma once

#include "IBHeader.h"

// The text forms of numbers, FloatText and ScaledText, are the runtime's.
#include <SysUtils.h>

#include <cstdint>
#include <string>

// Time units (1/10000 s) in a day: ISC_TIME counts them from midnight.
constexpr std::int64_t kTimeUnitsPerDay = 86400LL * ISC_TIME_SECONDS_PRECISION;

// value * 10^scale rounded half away from zero; false when it does not fit.
bool ScaleToInt64(std::int64_t value, int scale, std::int64_t& out);
// Rounded half away from zero; false when not finite or out of range.
bool DoubleToInt64(double value, std::int64_t& out);
// Decimal text, blanks around allowed; false for anything else.
bool ParseInt64(const std::string& text, std::int64_t& out);
bool ParseDouble(const std::string& text, double& out);

// "yyyy/mm/dd" and "hh:nn:ss" (fractions of a second dropped).
std::string DateText(ISC_DATE date);
std::string TimeText(ISC_TIME time);
// The runtime's date-time: days since 1899/12/30, the time as the fraction.
double ToDateTime(ISC_DATE date, ISC_TIME time);
ISC_TIMESTAMP FromDateTime(double value);
// "yyyy/mm/dd", "yyyy/mm/dd hh:nn[:ss]" or "hh:nn[:ss]" ("-" or "." may
// separate the date too), as a date-time.
bool ParseDateTime(const std::string& text, double& out);
