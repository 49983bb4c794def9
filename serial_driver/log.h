// Log output: one line per message on standard output, "LEVEL logger text", or to the
// client's sink.
#pragma once

#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <unordered_map>

#include "serial_driver_export.h"

enum class LogLevel : int { TRACE = 0, DEBUG, INFO, WARN, ERROR, CRITICAL, OFF };

// Level names indexed by LogLevel; OFF deliberately has no entry.
SERIAL_DRIVER_EXPORT extern const char* const logStr[6];

// Throttled call sites: call-site key -> time of the last line written there.
SERIAL_DRIVER_EXPORT extern std::unordered_map<std::string, double> map_time;

SERIAL_DRIVER_EXPORT void log(LogLevel level, const std::string& logger_name,
                              const std::string& str);
SERIAL_DRIVER_EXPORT void log(LogLevel level, const std::string& str);

namespace serial_driver {

// Where library messages go instead of stdout. line is what stdout would have shown, without
// the newline: "LEVEL logger text". The sink may be called from any thread that uses the
// library, from several at once; it must not call setLogSink itself.
using LogSink = std::function<void(LogLevel level, const std::string& line)>;

// Every library message goes to sink from now on; an empty sink restores stdout.
SERIAL_DRIVER_EXPORT void setLogSink(LogSink sink);
// A sink that writes each line to standard error at once.
SERIAL_DRIVER_EXPORT LogSink stderrLogSink();

}  // namespace serial_driver

// Crash report, for the client to install for the signals it chooses, e.g.
// signal(SIGSEGV, signal_handler): writes a CRITICAL banner naming the signal, prints a stack
// trace by running gdb against the process, and ends the process with status 255.
SERIAL_DRIVER_EXPORT void signal_handler(int sig);
// Prints a stack trace of the calling process with gdb and returns when gdb is done.
SERIAL_DRIVER_EXPORT void backtrace();

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

namespace serial_driver {
namespace detail {

// While one is alive on a thread, the library's messages from that thread are held back and
// written when the outermost one ends. A link holds one around its lock, so a client's sink
// never runs while the lock is held (a sink may call into the link, or wait for a lock of its
// own that a caller of the link holds, such as Python's).
class HeldLogLines {
 public:
  HeldLogLines();
  ~HeldLogLines();
  HeldLogLines(const HeldLogLines&) = delete;
  HeldLogLines& operator=(const HeldLogLines&) = delete;
};

}  // namespace detail
}  // namespace serial_driver

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
