// The trace on standard output.
//
// Every line: "[DEBUG]: " in bright blue, then in bright white the message,
// " | " and the local time in the asctime layout with its line end, e.g.
//   [DEBUG]: Starting update. | Mon Dec 07 11:35:29 2026
// Colours are console attributes on Windows and ANSI sequences on a Linux
// terminal; redirected output holds no colour codes.
#pragma once

#include <ctime>
#include <string>

#if defined(__GNUC__)
#define VLM_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define VLM_PRINTF(fmt, args)
#endif

namespace core {

// Writes one trace line; the format carries no line end.
void debugLog(const char* format, ...) VLM_PRINTF(1, 2);

// The time text of a trace line: 24 characters and "\n", English names,
// the day of the month in two digits.
std::string formatLogTime(const std::tm& local);

}  // namespace core
