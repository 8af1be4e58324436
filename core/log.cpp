#include "core/log.h"

#include <cstdarg>
#include <cstdio>

#include "platform/console.h"
#include "platform/mutex.h"

namespace core {

// Created by the first call; only the update worker logs, so the creation
// needs no guard of its own. Never closed.
static platform::MutexHandle logLock = nullptr;

std::string formatLogTime(const std::tm& local) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[32];
  std::snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %04d\n", kDays[(local.tm_wday % 7 + 7) % 7],
                kMonths[(local.tm_mon % 12 + 12) % 12], local.tm_mday % 100, local.tm_hour % 100, local.tm_min % 100,
                local.tm_sec % 100, (local.tm_year + 1900) % 10000);
  return text;
}

static std::tm localNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  return local;
}

void debugLog(const char* format, ...) {
  if (!logLock) logLock = platform::createMutex();
  // A wait that runs out does not stop the line; the release then fails.
  platform::waitMutex(logLock, 100);
  platform::setConsoleColour(platform::kConsoleBrightBlue);
  std::fputs("[DEBUG]: ", stdout);
  platform::setConsoleColour(platform::kConsoleBrightWhite);
  std::string time = formatLogTime(localNow());
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fprintf(stdout, " | %s", time.c_str());
  platform::releaseMutex(logLock);
}

}  // namespace core
