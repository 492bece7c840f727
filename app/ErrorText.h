// The text of the general error box for an error that no handler absorbed.
#pragma once

#include <exception>
#include <string>

// The message with a full stop appended when its last character (a whole
// two-byte character where it ends in one) compares greater than "." byte
// by byte; the empty message stays empty.
std::string WithFullStop(const std::string& message);

// The runtime's text for an I/O error number: a text of its own for 2, 3, 4,
// 5, 100, 101 and 106, "I/O エラー (%d)" for any other and for every system
// error code (see EInOutError), whatever its value.
std::string InOutErrorText(int errorCode, bool systemCode = false);

// The box text for the error in flight: EInOutError by its number, any other
// error by its message, each run through WithFullStop.
std::string ErrorBoxText(std::exception_ptr error);
