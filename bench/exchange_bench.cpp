// Exchange latency, CPU time and heap allocations of the driver over the simulated chassis,
// with a controller that answers at once and one paced like a 115200-baud line, beside the
// same exchanges made by a typical Python client (pyserial).
//
//   exchange_bench [--count N]
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "chassis_sim/usb_testbed.h"
#include "serial_driver.h"

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t n, size_t size);
extern "C" void* __libc_realloc(void* p, size_t size);

// Heap allocations made by the measuring thread while counting is on. operator new goes
// through malloc, so counting malloc covers both.
static __thread bool counting = false;
static __thread long allocations = 0;

extern "C" void* malloc(size_t size) {
  if (counting) ++allocations;
  return __libc_malloc(size);
}
extern "C" void* calloc(size_t n, size_t size) {
  if (counting) ++allocations;
  return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, size_t size) {
  if (counting) ++allocations;
  return __libc_realloc(p, size);
}

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kBitsPerByte = 10.0;  // 8N1: start bit, 8 data bits, stop bit
constexpr double kBaud = 115200.0;

struct Kind {
  const char* name;
  std::string command;  // the text on the wire
  std::string reply;    // the reply text the controller sends back
  std::function<bool(SerialDriver&)> run;
};

struct Figures {
  double median_us = 0;
  double p99_us = 0;
  double cpu_us = 0;
  double allocs = 0;
  long failed = 0;
};

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
         usage.ru_stime.tv_usec / 1e6;
}

Figures measure(SerialDriver& driver, const Kind& kind, int count) {
  for (int i = 0; i < 20; ++i) kind.run(driver);  // warm-up
  std::vector<double> times;
  times.reserve(count);
  Figures f;
  long successes = 0;
  allocations = 0;
  const double cpu_start = cpuSeconds();
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    counting = true;
    const bool ok = kind.run(driver);
    counting = false;
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    if (ok) ++successes;
  }
  f.cpu_us = (cpuSeconds() - cpu_start) * 1e6 / count;
  f.allocs = successes > 0 ? static_cast<double>(allocations) / successes : 0.0;
  f.failed = count - successes;
  std::sort(times.begin(), times.end());
  f.median_us = times[times.size() / 2];
  f.p99_us = times[std::min(times.size() - 1, times.size() * 99 / 100)];
  return f;
}

// Runs the Python client against the same adapter; name -> median microseconds.
std::map<std::string, double> pyserial(const std::string& dev, int count) {
  std::map<std::string, double> medians;
  int out[2];
  if (pipe(out) != 0) return medians;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const std::string script = std::string(BENCH_DIR) + "/pyserial_client.py";
  const std::string n = std::to_string(count);
  // Debian's interpreter, which has python3-serial; another python3 may come first on PATH.
  const char* python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
  char* argv[] = {const_cast<char*>(python), const_cast<char*>(script.c_str()),
                  const_cast<char*>(dev.c_str()), const_cast<char*>(n.c_str()), nullptr};
  pid_t child = 0;
  const int spawned = posix_spawnp(&child, python, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    return medians;
  }
  FILE* in = fdopen(out[0], "r");
  char line[256];
  while (fgets(line, sizeof line, in) != nullptr) {
    char name[64];
    double median = 0;
    double p99 = 0;
    long failed = 0;
    if (sscanf(line, "%63[^\t]\t%lf\t%lf\t%ld", name, &median, &p99, &failed) == 4) {
      medians[name] = median;
    }
  }
  fclose(in);
  int status = 0;
  waitpid(child, &status, 0);
  return medians;
}

}  // namespace

int main(int argc, char** argv) {
  chassis_sim::ensurePreload(argv);
  int count = 300;
  for (int i = 1; i + 1 < argc; ++i) {
    if (strcmp(argv[i], "--count") == 0) count = atoi(argv[i + 1]);
  }

  // The library logs only failures; keep them out of the table.
  fflush(stdout);
  FILE* table = fdopen(dup(STDOUT_FILENO), "w");
  if (freopen("/dev/null", "w", stdout) == nullptr) return 1;

  auto sim = chassis_sim::make_sim().add_adapter("BENCH").build();
  chassis_sim::Controller& controller = sim->adapter(0).controller();
  controller.setEntry(5, "1.500");
  controller.setEntry(6, "-7");
  controller.setEntry(7, "rover");
  SerialDriver driver{};
  std::string dev;
  if (!driver.init("BENCH", dev, 115200)) {
    fprintf(stderr, "exchange_bench: the simulated adapter could not be opened\n");
    return 1;
  }

  const float f = 1.5f;
  const int k = -7;
  static float fv;
  static int iv;
  static char tv[64];
  const std::vector<Kind> kinds = {
      {"setEntry float", "$set 5 1.500", "$ack 5",
       [&](SerialDriver& d) { return d.setEntry(5, &f); }},
      {"setEntry int", "$set 6 -7", "$ack 6", [&](SerialDriver& d) { return d.setEntry(6, &k); }},
      {"setEntry text", "$set 7 rover", "$ack 7",
       [](SerialDriver& d) { return d.setEntry(7, "rover"); }},
      {"getEntry float", "$get 5", "$fdb 5 1.500",
       [](SerialDriver& d) { return d.getEntry(5, &fv); }},
      {"getEntry int", "$get 6", "$fdb 6 -7", [](SerialDriver& d) { return d.getEntry(6, &iv); }},
      {"getEntry text", "$get 7", "$fdb 7 rover",
       [](SerialDriver& d) { return d.getEntry(7, tv); }},
  };

  const double per_byte_us = kBitsPerByte / kBaud * 1e6;
  fprintf(table, "serial_driver exchange benchmark: %d exchanges per row, simulated chassis\n\n",
          count);
  fprintf(table, "%-15s %-8s %9s %9s %9s %7s %9s %7s %10s %7s\n", "exchange", "line", "median",
          "p99", "floor", "/floor", "cpu", "allocs", "pyserial", "py/C++");
  for (const bool paced : {false, true}) {
    controller.setBytePacing(paced ? std::chrono::nanoseconds(static_cast<long>(per_byte_us * 1000))
                                   : std::chrono::nanoseconds(0));
    std::map<std::string, Figures> figures;
    for (const Kind& kind : kinds) figures[kind.name] = measure(driver, kind, count);
    const auto python = pyserial(dev, count);
    for (const Kind& kind : kinds) {
      const Figures& fig = figures[kind.name];
      // Command and reply frames: each its text, a checksum byte and a newline.
      const double floor_us = (kind.command.size() + 2 + kind.reply.size() + 2) * per_byte_us;
      char ratio[16] = "-";
      char py[16] = "-";
      auto it = python.find(kind.name);
      if (it != python.end()) {
        snprintf(py, sizeof py, "%.0f us", it->second);
        snprintf(ratio, sizeof ratio, "%.2f", it->second / fig.median_us);
      }
      char floor_text[16] = "-";
      char floor_ratio[16] = "-";
      if (paced) {
        snprintf(floor_text, sizeof floor_text, "%.0f us", floor_us);
        snprintf(floor_ratio, sizeof floor_ratio, "%.2f", fig.median_us / floor_us);
      }
      fprintf(table, "%-15s %-8s %6.0f us %6.0f us %9s %7s %6.1f us %7.2f %10s %7s%s\n", kind.name,
              paced ? "115200" : "instant", fig.median_us, fig.p99_us, floor_text, floor_ratio,
              fig.cpu_us, fig.allocs, py, ratio, fig.failed ? "  (some exchanges failed)" : "");
    }
  }
  fprintf(table,
          "\nfloor: wire time of command and reply at 115200 baud 8N1 (10 bits a byte);\n"
          "cpu: user+system time of the calling thread per exchange; allocs: heap allocations\n"
          "per successful exchange; py/C++: pyserial's median over the driver's.\n");
  fclose(table);
  driver.close();
  return 0;
}
