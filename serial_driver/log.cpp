#include "serial_driver/log.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "serial_driver/held_log_lines.h"

const char* const logStr[6] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "CRITICAL"};

std::unordered_map<std::string, double> map_time;

namespace {
std::mutex map_time_mutex;

std::mutex sink_mutex;
// Shared, so a line being written keeps its sink alive while another thread replaces it.
std::shared_ptr<const serial_driver::LogSink> sink;
std::atomic<bool> has_sink{false};

struct HeldLine {
  LogLevel level;
  std::string logger_name;
  std::string text;
};

struct HeldLines {
  int depth = 0;
  std::vector<HeldLine> lines;
};

HeldLines& heldLines() {
  thread_local HeldLines held;
  return held;
}

void writeLine(LogLevel level, const std::string& logger_name, const std::string& str) {
  const int index = static_cast<int>(level);
  // OFF and out-of-range values have no name in the table; never index past it.
  const char* name = (index >= 0 && index < 6) ? logStr[index] : "UNKNOWN";
  if (has_sink.load(std::memory_order_acquire)) {
    std::shared_ptr<const serial_driver::LogSink> current;
    {
      std::lock_guard<std::mutex> lock(sink_mutex);
      current = sink;
    }
    if (current) {
      (*current)(level, std::string(name) + " " + logger_name + " " + str);
      return;
    }
  }
  printf("%s %s %s\n", name, logger_name.c_str(), str.c_str());
}

}  // namespace

serial_driver::detail::HeldLogLines::HeldLogLines() { ++heldLines().depth; }

serial_driver::detail::HeldLogLines::~HeldLogLines() {
  HeldLines& held = heldLines();
  if (--held.depth > 0 || held.lines.empty()) return;
  // Taken out first: the sink may itself use a link, which holds lines again.
  std::vector<HeldLine> lines;
  lines.swap(held.lines);
  for (const HeldLine& line : lines) writeLine(line.level, line.logger_name, line.text);
}

void log(LogLevel level, const std::string& logger_name, const std::string& str) {
  HeldLines& held = heldLines();
  if (held.depth > 0) {
    held.lines.push_back({level, logger_name, str});
    return;
  }
  writeLine(level, logger_name, str);
}

namespace serial_driver {

void setLogSink(LogSink new_sink) {
  std::shared_ptr<const LogSink> replacement;
  if (new_sink) replacement = std::make_shared<const LogSink>(std::move(new_sink));
  std::lock_guard<std::mutex> lock(sink_mutex);
  sink = std::move(replacement);
  has_sink.store(sink != nullptr, std::memory_order_release);
}

LogSink stderrLogSink() {
  return [](LogLevel, const std::string& line) {
    // One write per line, so lines from several threads never interleave.
    const std::string text = line + "\n";
    fwrite(text.data(), 1, text.size(), stderr);
    fflush(stderr);
  };
}

}  // namespace serial_driver

void log(LogLevel level, const std::string& str) { log(level, "console", str); }

double getTimeNow() {
  // Millisecond wall-clock time, as ftime() gave it; ftime itself is deprecated in glibc.
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const long whole_ms = now.tv_nsec / 1000000;  // truncated to the millisecond on purpose
  return static_cast<double>(now.tv_sec) + static_cast<double>(whole_ms) / 1000.0;
}

bool logThrottlePermits(const std::string& key, double time_now) {
  std::lock_guard<std::mutex> lock(map_time_mutex);
  return throttlePermits(map_time, key, time_now);
}
