#include "serial_driver/log.h"

#include <cstdio>
#include <ctime>
#include <mutex>

const char* const logStr[6] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "CRITICAL"};

std::unordered_map<std::string, double> map_time;

namespace {
std::mutex map_time_mutex;
}  // namespace

void log(LogLevel level, const std::string& logger_name, const std::string& str) {
  const int index = static_cast<int>(level);
  // OFF and out-of-range values have no name in the table; never index past it.
  const char* name = (index >= 0 && index < 6) ? logStr[index] : "UNKNOWN";
  printf("%s %s %s\n", name, logger_name.c_str(), str.c_str());
}

void log(LogLevel level, const std::string& str) { log(level, "console", str); }

double getTimeNow() {
  // Millisecond wall-clock time, as ftime() gave it; ftime itself is deprecated in glibc.
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + (now.tv_nsec / 1000000) / 1000.0;
}

bool logThrottlePermits(const std::string& key, double time_now) {
  std::lock_guard<std::mutex> lock(map_time_mutex);
  return throttlePermits(map_time, key, time_now);
}
