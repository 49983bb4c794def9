// The library's log: messages as one line each, "LEVEL logger text", on standard output or
// to the client's sink (log_sink.h), and the logging macros of the library's sources.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <unordered_map>

#include "serial_driver/log_sink.h"
#include "serial_driver_export.h"

// Compatibility: the log header has always declared the crash report too (signal_handler,
// backtrace), and clients include it for them. The crash report itself sits above the log.
#include "serial_driver/crash_report.h"  // IWYU pragma: export

// Level names indexed by LogLevel; OFF deliberately has no entry.
SERIAL_DRIVER_EXPORT extern const char* const logStr[6];

// Throttled call sites: call-site key -> time of the last line written there.
SERIAL_DRIVER_EXPORT extern std::unordered_map<std::string, double> map_time;

SERIAL_DRIVER_EXPORT void log(LogLevel level, const std::string& logger_name,
                              const std::string& str);
SERIAL_DRIVER_EXPORT void log(LogLevel level, const std::string& str);

template <typename T>
void unpacker(std::ostringstream& ss, const T& t) {
  ss << "; " << t;
}

template <typename... Args>
std::ostringstream unpackArgs(const std::string& file, int64_t line, const std::string& func,
                              const Args&... args) {
  std::ostringstream ss;
  ss << "[" << file << ":" << line << " " << func << "]";
  (unpacker(ss, args), ...);
  return ss;
}

// Wall-clock seconds with millisecond resolution.
double getTimeNow();

constexpr double kThrottleWindowSeconds = 2.0;

// The throttle decision on a given table: a site writes when it never wrote, or when strictly
// more than the window has passed since its last written line. Stores time_now when it writes.
inline bool throttlePermits(std::unordered_map<std::string, double>& table, const std::string& key,
                            double time_now) {
  auto it = table.find(key);
  if (it != table.end() && !(time_now - it->second > kThrottleWindowSeconds)) return false;
  table[key] = time_now;
  return true;
}

// throttlePermits on map_time, under the library's lock so throttled sites are thread-safe.
bool logThrottlePermits(const std::string& key, double time_now);

inline std::string logBaseName(const std::string& path) {
  return path.substr(path.find_last_of('/') + 1);
}

// A plain call site: "[file:line func]" then "; arg" for each argument.
#define SD_LOG(level, ...)                                                                     \
  do {                                                                                         \
    const std::string file_path(__FILE__);                                                     \
    const std::string base = logBaseName(file_path);                                           \
    log(level, unpackArgs(base, static_cast<int64_t>(__LINE__), __func__, __VA_ARGS__).str()); \
  } while (0)

// A call site that writes at most one line per window; a suppressed call builds no message.
// Its table lock lives inside the library, so only the library's own sources can use it.
#define SD_LOG_THROTTLED(level, ...)                                               \
  do {                                                                             \
    const double time_now = getTimeNow();                                          \
    const std::string site_key = std::string(__FILE__) + std::to_string(__LINE__); \
    if (logThrottlePermits(site_key, time_now)) SD_LOG(level, __VA_ARGS__);        \
  } while (0)
