// Exchange latency, CPU time and heap allocations of both interfaces (SerialDriver and
// ChassisLink) over the simulated chassis, with a controller that answers at once and one paced
// like a 115200-baud line, beside the same exchanges made by a typical Python client
// (pyserial); then a robot's 12-item control cycle as one Batch at 1, 2, 4 and 8 commands in
// flight on a simulated full-duplex controller, beside pyserial doing it one exchange after the
// other; then the port's owner serving other programs: a get through it beside the owner's own,
// and the owner's cycle while two client programs (this program again, as --poll) poll it.
//
//   exchange_bench [--count N] [--cycles N]
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "chassis_sim/usb_testbed.h"
#include "serial_driver.h"
#include "serial_driver/chassis_link.h"
#include "serial_driver/wire_facts.h"

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

constexpr int kBaud = serial_driver::kDefaultBaud;

struct Kind {
  const char* name;     // also the name of pyserial's row for the same exchange
  std::string command;  // the text on the wire
  std::string reply;    // the reply text the controller sends back
  std::function<bool()> classic;
  std::function<bool()> link;
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

struct PythonFigures {
  double median_us = 0;
  double p99_us = 0;
  double cpu_us = 0;
  long failed = 0;
};

Figures measure(const std::function<bool()>& run, int count) {
  for (int i = 0; i < 20; ++i) run();  // warm-up
  std::vector<double> times;
  times.reserve(count);
  Figures f;
  long successes = 0;
  allocations = 0;
  const double cpu_start = cpuSeconds();
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    counting = true;
    const bool ok = run();
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

// Runs a Python client (bench/<script>) against the same adapter; figures by name. An empty
// result when the client could not run.
std::map<std::string, PythonFigures> pythonClient(const char* script_name, const std::string& dev,
                                                  int count, const char* mode = nullptr) {
  std::map<std::string, PythonFigures> medians;
  int out[2];
  if (pipe(out) != 0) return medians;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const std::string script = std::string(BENCH_DIR) + "/" + script_name;
  const std::string n = std::to_string(count);
  // Debian's interpreter, which has python3-serial; another python3 may come first on PATH.
  const char* python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
  char* argv[] = {const_cast<char*>(python),      const_cast<char*>(script.c_str()),
                  const_cast<char*>(dev.c_str()), const_cast<char*>(n.c_str()),
                  const_cast<char*>(mode),        nullptr};
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
    double cpu = 0;
    if (sscanf(line, "%63[^\t]\t%lf\t%lf\t%ld\t%lf", name, &median, &p99, &failed, &cpu) == 5) {
      medians[name] = {median, p99, cpu, failed};
    }
  }
  fclose(in);
  int status = 0;
  waitpid(child, &status, 0);
  return medians;
}

// The control cycle: 6 gets and 6 sets of entries 10 to 15, as a loop makes it every cycle.
constexpr int kCycleFirstEntry = 10;
constexpr int kCycleEntries = 6;
constexpr int kWindows[] = {1, 2, 4, 8};

struct CycleFigures {
  double median_us = 0;
  double p99_us = 0;
  double cpu_item_us = 0;
  double allocs = 0;  // per cycle
  long lost = 0;      // items that failed
};

CycleFigures measureCycles(serial_driver::ChassisLink& link, serial_driver::Batch& batch,
                           int cycles) {
  for (int i = 0; i < 10; ++i) link.exchange(batch);  // warm-up
  std::vector<double> times;
  times.reserve(cycles);
  CycleFigures f;
  allocations = 0;
  const double cpu_start = cpuSeconds();
  for (int i = 0; i < cycles; ++i) {
    const auto start = Clock::now();
    counting = true;
    link.exchange(batch);
    counting = false;
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    for (size_t item = 0; item < batch.size(); ++item) f.lost += batch.result(item) ? 1 : 0;
  }
  f.cpu_item_us = (cpuSeconds() - cpu_start) * 1e6 / (cycles * static_cast<double>(batch.size()));
  f.allocs = static_cast<double>(allocations) / cycles;
  std::sort(times.begin(), times.end());
  f.median_us = times[times.size() / 2];
  f.p99_us = times[std::min(times.size() - 1, times.size() * 99 / 100)];
  return f;
}

// The cycle's wire floors at a rate: every byte of both directions in turn, and full duplex,
// the longer direction plus the first command's own bytes.
struct Floors {
  double sequential_us;
  double duplex_us;
  double first_command_us;
};

Floors cycleFloors(int baud) {
  const double byte_us =
      std::chrono::duration<double, std::micro>(serial_driver::detail::byteTime(baud)).count();
  size_t out = 0;
  size_t back = 0;
  size_t first = 0;
  for (int i = 0; i < kCycleEntries; ++i) {
    const std::string entry = std::to_string(kCycleFirstEntry + i);
    const size_t get = ("$get " + entry).size() + 2;  // text, checksum byte, newline
    if (first == 0) first = get;
    out += get + ("$set " + entry + " 0.250").size() + 2;
    back += ("$fdb " + entry + " 0.250").size() + 2 + ("$ack " + entry).size() + 2;
  }
  return {static_cast<double>(out + back) * byte_us,
          static_cast<double>(std::max(out, back)) * byte_us, static_cast<double>(first) * byte_us};
}

// The cycle at each window and through pyserial, the controller paced at `line_baud` and the
// link opened at 115200 (a pty takes any rate; the library's table has no faster one).
void cycleRows(FILE* table, chassis_sim::Adapter& adapter, int line_baud, int cycles) {
  chassis_sim::Controller& controller = adapter.controller();
  chassis_sim::LineModel model;
  model.duplex = true;
  model.ring_bytes = 256;
  controller.setLineModel(model);
  controller.setLineRate(line_baud);
  static float values[kCycleEntries];
  serial_driver::Batch batch;
  for (int i = 0; i < kCycleEntries; ++i) batch.get(kCycleFirstEntry + i, values[i]);
  for (int i = 0; i < kCycleEntries; ++i) batch.set(kCycleFirstEntry + i, 0.25f);

  std::map<int, CycleFigures> rows;
  for (int window : kWindows) {
    serial_driver::ChassisLink link;
    serial_driver::LinkOptions options;
    options.device = adapter.devnode();
    options.max_in_flight = window;
    if (link.open(options)) {
      fprintf(stderr, "exchange_bench: the cycle's link could not be opened\n");
      return;
    }
    rows[window] = measureCycles(link, batch, cycles);
  }
  const auto python = pythonClient("pyserial_client.py", adapter.devnode(), cycles, "cycle");
  const Floors floors = cycleFloors(line_baud);
  const double overruns = static_cast<double>(controller.overruns());
  const double py_median = python.count("cycle") ? python.at("cycle").median_us : NAN;
  const double w1 = rows[1].median_us;
  for (const auto& [window, f] : rows) {
    fprintf(table, "%-7d %-8d %6.2f ms %6.2f ms %9.2f %9.2f %9.2f %9.2f %6.2f us %7.2f %5ld\n",
            line_baud, window, f.median_us / 1000, f.p99_us / 1000, f.median_us / w1,
            f.median_us / py_median, f.median_us / floors.sequential_us,
            f.median_us / (floors.duplex_us + floors.first_command_us), f.cpu_item_us, f.allocs,
            f.lost);
  }
  if (python.count("cycle")) {
    const PythonFigures& py = python.at("cycle");
    fprintf(table, "%-7d %-8s %6.2f ms %6.2f ms %9.2f %9.2f %9.2f %9.2f %6.2f us %7s %5ld\n",
            line_baud, "pyserial", py.median_us / 1000, py.p99_us / 1000, py.median_us / w1, 1.0,
            py.median_us / floors.sequential_us,
            py.median_us / (floors.duplex_us + floors.first_command_us), py.cpu_us, "-",
            py.failed * 12);
  }
  fprintf(table,
          "        floors: sequential %.2f ms, duplex %.2f ms + the first command's %.2f ms; "
          "window 4 / window 1: %.2f; overruns %.0f\n",
          floors.sequential_us / 1000, floors.duplex_us / 1000, floors.first_command_us / 1000,
          rows[4].median_us / w1, overruns);
}
// What failing rather than guessing costs under plain loss: the cycle with 2 % of replies
// dropped at random (seeded), items failed per 1,000 and how many of them a reply that skipped
// a lost one failed too, and the cycle's times.
void lossRows(FILE* table, chassis_sim::Adapter& adapter, int cycles) {
  chassis_sim::Controller& controller = adapter.controller();
  static float values[kCycleEntries];
  serial_driver::Batch batch;
  for (int i = 0; i < kCycleEntries; ++i) batch.get(kCycleFirstEntry + i, values[i]);
  for (int i = 0; i < kCycleEntries; ++i) batch.set(kCycleFirstEntry + i, 0.25f);
  for (int window : kWindows) {
    serial_driver::ChassisLink link;
    serial_driver::LinkOptions options;
    options.device = adapter.devnode();
    options.max_in_flight = window;
    if (link.open(options)) return;
    unsigned seed = 1;
    long dropped = 0;
    long failed = 0;
    std::vector<double> times;
    for (int c = 0; c < cycles; ++c) {
      for (size_t item = 0; item < batch.size(); ++item) {
        const bool drop = rand_r(&seed) % 50 == 0;
        dropped += drop ? 1 : 0;
        controller.inject(drop ? chassis_sim::Fault::kNoReply : chassis_sim::Fault::kNone);
      }
      const auto start = Clock::now();
      link.exchange(batch);
      times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      for (size_t item = 0; item < batch.size(); ++item) failed += batch.result(item) ? 1 : 0;
    }
    std::sort(times.begin(), times.end());
    const double items = static_cast<double>(cycles) * static_cast<double>(batch.size());
    fprintf(table, "%-8d %9.1f %9.1f %11.1f %9.2f ms %9.2f ms\n", window, dropped * 1000 / items,
            failed * 1000 / items, link.stats().out_of_step * 1000 / items,
            times[times.size() / 2] / 1000, times[times.size() * 99 / 100] / 1000);
  }
}

// The owner's side: the entries the client programs poll, with values the owner never sets.
constexpr int kPolledFirstEntry = 20;
constexpr float kPolledValues[] = {1.25f, -3.5f, 2.75f, 0.125f};
constexpr const char* kPolledTexts[] = {"1.250", "-3.500", "2.750", "0.125"};
constexpr int kClientPrograms = 2;
constexpr auto kPollPeriod = std::chrono::milliseconds(10);  // 100 Hz

double threadCpuUs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// Threads of this process by id: the owner's serving thread is the one its open adds.
std::set<int> taskIds() {
  std::set<int> ids;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (const dirent* task = readdir(tasks)) {
      if (task->d_name[0] != '.') ids.insert(atoi(task->d_name));
    }
    closedir(tasks);
  }
  return ids;
}

// Time the threads have run on a CPU (the scheduler's own count, in ns), in us.
double tasksCpuUs(const std::vector<int>& tids) {
  double total = 0;
  for (int tid : tids) {
    std::ifstream stat("/proc/" + std::to_string(getpid()) + "/task/" + std::to_string(tid) +
                       "/schedstat");
    double ns = 0;
    if (stat >> ns) total += ns / 1e3;
  }
  return total;
}

std::vector<int> addedThreads(const std::set<int>& before) {
  std::vector<int> added;
  for (int id : taskIds()) {
    if (before.count(id) == 0) added.push_back(id);
  }
  return added;
}

// The client program: polls two of the owner's entries at 100 Hz as a two-get Batch until its
// standard input closes, checking every value; says "ready <owner pid>" once attached and
// "polls N wrong N failed N seconds S" at the end.
int pollAsClient(const char* device, int first) {
  serial_driver::setLogSink([](LogLevel, const std::string&) {});
  serial_driver::ChassisLink link;
  serial_driver::LinkOptions options;
  options.device = device;
  if (link.open(options)) {
    printf("could not attach\n");
    return 1;
  }
  printf("ready %d\n", link.stats().owner_pid);
  fflush(stdout);
  static float values[2];
  serial_driver::Batch batch;
  batch.get(first, values[0]);
  batch.get(first + 1, values[1]);
  long polls = 0;
  long wrong = 0;
  long failed = 0;
  pollfd parent{STDIN_FILENO, POLLIN, 0};
  const auto began = Clock::now();
  auto next = began;
  while (poll(&parent, 1, 0) == 0) {
    values[0] = values[1] = NAN;
    link.exchange(batch);
    for (size_t i = 0; i < 2; ++i) {
      if (batch.result(i)) {
        ++failed;
      } else if (values[i] != kPolledValues[first - kPolledFirstEntry + static_cast<int>(i)]) {
        ++wrong;
      }
    }
    ++polls;
    next = std::max(next + kPollPeriod, Clock::now());
    std::this_thread::sleep_until(next);
  }
  printf("polls %ld wrong %ld failed %ld seconds %f\n", polls, wrong, failed,
         std::chrono::duration<double>(Clock::now() - began).count());
  return 0;
}

struct ClientProgram {
  pid_t pid = 0;
  int to = -1;           // its standard input: closed to stop it
  FILE* from = nullptr;  // its standard output
};

// This program again, as a client polling two entries from `first`; running once it said
// which owner it goes through.
bool startClient(const std::string& device, int first, ClientProgram* client, int* owner_pid) {
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return false;
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  const std::string entry = std::to_string(first);
  char* argv[] = {const_cast<char*>("exchange_bench"), const_cast<char*>("--poll"),
                  const_cast<char*>(device.c_str()), const_cast<char*>(entry.c_str()), nullptr};
  const int spawned = posix_spawn(&client->pid, "/proc/self/exe", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  client->to = in[1];
  client->from = fdopen(out[0], "r");
  if (spawned != 0) {
    client->pid = 0;
    return false;
  }
  char line[128];
  while (fgets(line, sizeof line, client->from) != nullptr) {
    if (sscanf(line, "ready %d", owner_pid) == 1) return true;
  }
  return false;
}

struct ClientResult {
  long polls = 0;
  long wrong = 0;
  long failed = 0;
  double seconds = 0;
  bool reported = false;
};

ClientResult stopClient(ClientProgram* client) {
  ClientResult result;
  if (client->to >= 0) close(client->to);
  char line[128];
  while (client->from != nullptr && fgets(line, sizeof line, client->from) != nullptr) {
    if (sscanf(line, "polls %ld wrong %ld failed %ld seconds %lf", &result.polls, &result.wrong,
               &result.failed, &result.seconds) == 4) {
      result.reported = true;
    }
  }
  if (client->from != nullptr) fclose(client->from);
  int status = 0;
  if (client->pid > 0) waitpid(client->pid, &status, 0);
  return result;
}

// A get through the owner beside the owner's own get (a direct one), call for call on the
// paced line, so a busy machine weighs on both alike; and the CPU each costs.
void ownerGetRows(FILE* table, chassis_sim::Adapter& adapter, int count) {
  adapter.controller().setBytePacing(serial_driver::detail::byteTime(kBaud));
  adapter.controller().setEntry(5, "1.500");
  serial_driver::LinkOptions options;
  options.device = adapter.devnode();
  const std::set<int> before = taskIds();
  serial_driver::ChassisLink owner;
  serial_driver::ChassisLink client;
  if (owner.open(options) || client.open(options) || client.stats().owner_pid != getpid()) {
    fprintf(stderr, "exchange_bench: the owner and its client could not be opened\n");
    return;
  }
  const std::vector<int> serving = addedThreads(before);
  static float value;
  std::vector<double> direct;
  std::vector<double> served;
  double direct_cpu = 0;
  double client_cpu = 0;
  long failed[2] = {0, 0};
  for (int i = 0; i < 20; ++i) owner.get(5, value), client.get(5, value);  // warm-up
  const double serving_before = tasksCpuUs(serving);
  for (int i = 0; i < count; ++i) {
    for (int through = 0; through < 2; ++through) {
      serial_driver::ChassisLink& link = through ? client : owner;
      const double cpu = threadCpuUs();
      const auto start = Clock::now();
      value = 0;
      const bool ok = !link.get(5, value) && value == 1.5f;
      const double took = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
      (through ? client_cpu : direct_cpu) += threadCpuUs() - cpu;
      (through ? served : direct).push_back(took);
      failed[through] += ok ? 0 : 1;
    }
  }
  const double serving_cpu = (tasksCpuUs(serving) - serving_before) / count;
  std::sort(direct.begin(), direct.end());
  std::sort(served.begin(), served.end());
  const auto median = [](const std::vector<double>& t) { return t[t.size() / 2]; };
  const auto p99 = [](const std::vector<double>& t) {
    return t[std::min(t.size() - 1, t.size() * 99 / 100)];
  };
  fprintf(table, "%-22s %6.0f us %6.0f us %9s %9.1f us %12s %6ld\n", "direct (owner's own)",
          median(direct), p99(direct), "1.00", direct_cpu / count, "-", failed[0]);
  fprintf(table, "%-22s %6.0f us %6.0f us %9.3f %9.1f us %9.1f us %6ld\n", "through the owner",
          median(served), p99(served), median(served) / median(direct), client_cpu / count,
          serving_cpu, failed[1]);
}

// The owner's cycles, one every `period` (0: back to back), with what the clients did meanwhile.
struct SharedPhase {
  CycleFigures cycle;
  ClientResult clients;  // summed over the client programs
  int attached = 0;
  double serving_cpu_us = 0;  // the owner's serving thread
};

SharedPhase sharedPhase(serial_driver::ChassisLink& owner, serial_driver::Batch& batch,
                        const std::string& device, const std::vector<int>& serving, int cycles,
                        Clock::duration period, bool with_clients) {
  SharedPhase phase;
  ClientProgram clients[kClientPrograms];
  for (int c = 0; with_clients && c < kClientPrograms; ++c) {
    int owner_pid = 0;
    if (startClient(device, kPolledFirstEntry + 2 * c, &clients[c], &owner_pid) &&
        owner_pid == getpid()) {
      ++phase.attached;
    }
  }
  const double serving_before = tasksCpuUs(serving);
  if (period == Clock::duration::zero()) {
    phase.cycle = measureCycles(owner, batch, cycles);
  } else {
    // A control loop: a cycle every period, timed from its start.
    std::vector<double> times;
    auto next = Clock::now();
    const double cpu_start = cpuSeconds();
    for (int i = 0; i < cycles; ++i) {
      std::this_thread::sleep_until(next);
      next += period;
      const auto start = Clock::now();
      owner.exchange(batch);
      times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      for (size_t item = 0; item < batch.size(); ++item)
        phase.cycle.lost += batch.result(item) ? 1 : 0;
    }
    phase.cycle.cpu_item_us =
        (cpuSeconds() - cpu_start) * 1e6 / (cycles * static_cast<double>(batch.size()));
    std::sort(times.begin(), times.end());
    phase.cycle.median_us = times[times.size() / 2];
    phase.cycle.p99_us = times[std::min(times.size() - 1, times.size() * 99 / 100)];
  }
  phase.serving_cpu_us = tasksCpuUs(serving) - serving_before;
  for (int c = 0; with_clients && c < kClientPrograms; ++c) {
    const ClientResult r = stopClient(&clients[c]);
    phase.clients.polls += r.polls;
    phase.clients.wrong += r.wrong;
    phase.clients.failed += r.failed;
    phase.clients.seconds = std::max(phase.clients.seconds, r.seconds);
    phase.clients.reported = phase.clients.reported || r.reported;
  }
  return phase;
}

// The owner's 12-item cycle at window 4 alone, then while two client programs poll two entries
// each at 100 Hz, then alone again; back to back and as a 50 Hz control loop. Every value the
// clients got is checked against the entries, which the owner never sets.
void sharedCycleRows(FILE* table, chassis_sim::Adapter& adapter, int cycles) {
  chassis_sim::Controller& controller = adapter.controller();
  chassis_sim::LineModel model;
  model.duplex = true;
  model.ring_bytes = 256;
  controller.setLineModel(model);
  controller.setLineRate(kBaud);
  for (int i = 0; i < 4; ++i) controller.setEntry(kPolledFirstEntry + i, kPolledTexts[i]);
  static float values[kCycleEntries];
  serial_driver::Batch batch;
  for (int i = 0; i < kCycleEntries; ++i) batch.get(kCycleFirstEntry + i, values[i]);
  for (int i = 0; i < kCycleEntries; ++i) batch.set(kCycleFirstEntry + i, 0.25f);
  serial_driver::LinkOptions options;
  options.device = adapter.devnode();
  options.max_in_flight = 4;
  const std::set<int> before = taskIds();
  serial_driver::ChassisLink owner;
  if (owner.open(options)) {
    fprintf(stderr, "exchange_bench: the shared cycle's owner could not be opened\n");
    return;
  }
  const std::vector<int> serving = addedThreads(before);
  for (int i = 0; i < 10; ++i) owner.exchange(batch);  // warm-up
  for (const auto period :
       {Clock::duration::zero(), Clock::duration(std::chrono::milliseconds(20))}) {
    const char* loop = period == Clock::duration::zero() ? "back to back" : "every 20 ms";
    const SharedPhase alone =
        sharedPhase(owner, batch, adapter.devnode(), serving, cycles, period, false);
    const SharedPhase shared =
        sharedPhase(owner, batch, adapter.devnode(), serving, cycles, period, true);
    const SharedPhase after =
        sharedPhase(owner, batch, adapter.devnode(), serving, cycles, period, false);
    const double alone_median = (alone.cycle.median_us + after.cycle.median_us) / 2;
    const ClientResult& c = shared.clients;
    const double rate =
        c.seconds > 0 && shared.attached > 0 ? c.polls / c.seconds / shared.attached : NAN;
    const double per_get =
        c.polls > 0 ? shared.serving_cpu_us / static_cast<double>(2 * c.polls) : NAN;
    const auto row = [&](const char* who, const SharedPhase& p, const char* clients) {
      fprintf(table, "%-13s %-11s %6.2f ms %6.2f ms %7.3f %6.2f us %5ld  %s\n", loop, who,
              p.cycle.median_us / 1000, p.cycle.p99_us / 1000, p.cycle.median_us / alone_median,
              p.cycle.cpu_item_us, p.cycle.lost, clients);
    };
    char clients[160];
    snprintf(clients, sizeof clients,
             "%d attached, %.0f polls/s each, %ld gets: %ld wrong, %ld failed; serving %.1f us "
             "CPU a get",
             shared.attached, rate, 2 * c.polls, c.wrong, c.failed, per_get);
    row("alone", alone, "");
    row("2 clients", shared, clients);
    row("alone again", after, "");
  }
}

}  // namespace

int main(int argc, char** argv) {
  chassis_sim::ensurePreload(argv);
  if (argc == 4 && strcmp(argv[1], "--poll") == 0) return pollAsClient(argv[2], atoi(argv[3]));
  int count = 300;
  int cycles = 200;
  for (int i = 1; i + 1 < argc; ++i) {
    if (strcmp(argv[i], "--count") == 0) count = atoi(argv[i + 1]);
    if (strcmp(argv[i], "--cycles") == 0) cycles = atoi(argv[i + 1]);
  }

  // The library logs only failures; keep them out of the table.
  fflush(stdout);
  FILE* table = fdopen(dup(STDOUT_FILENO), "w");
  if (freopen("/dev/null", "w", stdout) == nullptr) return 1;

  auto sim = chassis_sim::make_sim()
                 .add_adapter("BENCH")
                 .add_adapter("CYCLE")
                 .add_adapter("OWNER")
                 .add_adapter("SHARED")
                 .build();
  chassis_sim::Controller& controller = sim->adapter(0).controller();
  controller.setEntry(5, "1.500");
  controller.setEntry(6, "-7");
  controller.setEntry(7, "rover");
  SerialDriver driver{};
  std::string dev;
  if (!driver.init("BENCH", dev, kBaud)) {
    fprintf(stderr, "exchange_bench: the simulated adapter could not be opened\n");
    return 1;
  }

  serial_driver::ChassisLink link;
  serial_driver::LinkOptions options;
  options.device = dev;       // the same port, opened a second time
  options.exclusive = false;  // SerialDriver holds it, and lets go while Python measures
  if (link.open(options)) {
    fprintf(stderr, "exchange_bench: the link could not be opened\n");
    return 1;
  }

  const float f = 1.5f;
  const int k = -7;
  static float fv;
  static int iv;
  static char tv[64];
  static std::string text;
  text.reserve(64);
  const std::vector<Kind> kinds = {
      {"setEntry float", "$set 5 1.500", "$ack 5", [&] { return driver.setEntry(5, &f); },
       [&] { return !link.set(5, f); }},
      {"setEntry int", "$set 6 -7", "$ack 6", [&] { return driver.setEntry(6, &k); },
       [&] { return !link.set(6, k); }},
      {"setEntry text", "$set 7 rover", "$ack 7", [&] { return driver.setEntry(7, "rover"); },
       [&] { return !link.set(7, "rover"); }},
      {"getEntry float", "$get 5", "$fdb 5 1.500", [&] { return driver.getEntry(5, &fv); },
       [&] { return !link.get(5, fv); }},
      {"getEntry int", "$get 6", "$fdb 6 -7", [&] { return driver.getEntry(6, &iv); },
       [&] { return !link.get(6, iv); }},
      {"getEntry text", "$get 7", "$fdb 7 rover", [&] { return driver.getEntry(7, tv); },
       [&] { return !link.get(7, text); }},
  };

#ifdef PYTHON_MODULE_DIR
  setenv("PYTHONPATH", PYTHON_MODULE_DIR, 1);
#endif
  const double per_byte_us =
      std::chrono::duration<double, std::micro>(serial_driver::detail::byteTime(kBaud)).count();
  fprintf(table, "serial_driver exchange benchmark: %d exchanges per row, simulated chassis\n\n",
          count);
  fprintf(table, "%-15s %-9s %-8s %9s %9s %9s %7s %8s %7s %10s %9s %6s %6s\n", "exchange",
          "interface", "line", "median", "p99", "floor", "/floor", "cpu", "allocs", "pyserial",
          "py cpu", "/py", "cpu/py");
  for (const bool paced : {false, true}) {
    controller.setBytePacing(paced ? serial_driver::detail::byteTime(kBaud)
                                   : std::chrono::nanoseconds(0));
    std::map<std::string, Figures> classic;
    std::map<std::string, Figures> linked;
    for (const Kind& kind : kinds) classic[kind.name] = measure(kind.classic, count);
    for (const Kind& kind : kinds) linked[kind.name] = measure(kind.link, count);
    // The module's link takes the port for itself: this process lets go of it meanwhile.
    driver.close();
    const auto python = pythonClient("pyserial_client.py", dev, count);
    const auto binding = pythonClient("binding_client.py", dev, count);
    if (!driver.init("BENCH", dev, kBaud)) {
      fprintf(stderr, "exchange_bench: the simulated adapter could not be opened again\n");
      return 1;
    }
    // The binding's rows: figures as the Python client measured them.
    std::map<std::string, Figures> from_python;
    for (const auto& [name, figures] : binding) {
      from_python[name].median_us = figures.median_us;
      from_python[name].p99_us = figures.p99_us;
      from_python[name].cpu_us = figures.cpu_us;
      from_python[name].allocs = NAN;
      from_python[name].failed = figures.failed;
    }
    const std::pair<const char*, std::map<std::string, Figures>*> rows[] = {
        {"classic", &classic}, {"link", &linked}, {"python", &from_python}};
    for (const auto& [interface, figures] : rows) {
      if (figures->empty()) continue;
      for (const Kind& kind : kinds) {
        const Figures& fig = (*figures)[kind.name];
        // Command and reply frames: each its text, a checksum byte and a newline.
        const double floor_us = (kind.command.size() + 2 + kind.reply.size() + 2) * per_byte_us;
        char py[16] = "-";
        char py_cpu[16] = "-";
        char ratio[16] = "-";
        char cpu_ratio[16] = "-";
        auto it = python.find(kind.name);
        if (it != python.end()) {
          snprintf(py, sizeof py, "%.0f us", it->second.median_us);
          snprintf(py_cpu, sizeof py_cpu, "%.1f us", it->second.cpu_us);
          snprintf(ratio, sizeof ratio, "%.2f", fig.median_us / it->second.median_us);
          snprintf(cpu_ratio, sizeof cpu_ratio, "%.2f", fig.cpu_us / it->second.cpu_us);
        }
        char floor_text[16] = "-";
        char floor_ratio[16] = "-";
        if (paced) {
          snprintf(floor_text, sizeof floor_text, "%.0f us", floor_us);
          snprintf(floor_ratio, sizeof floor_ratio, "%.2f", fig.median_us / floor_us);
        }
        char allocs[16] = "-";
        if (!std::isnan(fig.allocs)) snprintf(allocs, sizeof allocs, "%.2f", fig.allocs);
        fprintf(table,
                "%-15s %-9s %-8s %6.0f us %6.0f us %9s %7s %5.1f us %7s %10s %9s %6s %6s%s\n",
                kind.name, interface, paced ? "115200" : "instant", fig.median_us, fig.p99_us,
                floor_text, floor_ratio, fig.cpu_us, allocs, py, py_cpu, ratio, cpu_ratio,
                fig.failed ? "  (some exchanges failed)" : "");
      }
    }
  }
  // A control loop's calls while the adapter is away: listed by udev, its node not there.
  {
    sim->adapter(0).unplug();
    sim->adapter(0).plug(/*node_ready=*/false);
    const int calls = 10000;
    const auto lookups_before = link.stats().exchanges;
    const auto began = Clock::now();
    const double cpu_before = cpuSeconds();
    for (int i = 0; i < calls; ++i) link.get(5, fv);
    const double cpu_us = (cpuSeconds() - cpu_before) / calls * 1e6;
    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    fprintf(table,
            "\nadapter away: %d ChassisLink calls in %.2f s, %.2f us CPU each, %llu lookups\n",
            calls, seconds, cpu_us,
            static_cast<unsigned long long>(link.stats().exchanges - lookups_before));
    sim->adapter(0).makeNodeReady();
  }
  fprintf(table,
          "\n12-item control cycle (6 $get 1x, 6 $set 1x 0.250) as one Batch, %d cycles a row;\n"
          "simulated full-duplex controller, 256-byte receive ring, 20 us a command\n\n",
          cycles);
  fprintf(table, "%-7s %-8s %9s %9s %9s %9s %9s %9s %9s %7s %5s\n", "line", "window", "median",
          "p99", "/window1", "/pyserial", "/seqfloor", "/dupfloor", "cpu/item", "allocs", "lost");
  cycleRows(table, sim->adapter(1), kBaud, cycles);
  cycleRows(table, sim->adapter(1), 921600, cycles);
  fprintf(table,
          "\nThe same cycle at 115200 with 2 %% of replies dropped, %d cycles a window: per 1,000\n"
          "items, the replies dropped, the items failed, and of those the ones failed because a\n"
          "later reply came before theirs (out of step); the cycle's median and p99\n\n",
          cycles * 5);
  fprintf(table, "%-8s %9s %9s %11s %12s %12s\n", "window", "dropped", "failed", "out of step",
          "median", "p99");
  sim->adapter(1).controller().setLineRate(kBaud);
  lossRows(table, sim->adapter(1), cycles * 5);
  fprintf(table,
          "\nThe port's owner serving other programs, 115200 paced. A $get 5 %d times each way,\n"
          "alternating call for call; cpu: the calling thread's, serving cpu: the owner's\n"
          "serving thread's, per get\n\n",
          count);
  fprintf(table, "%-22s %9s %9s %9s %12s %12s %6s\n", "get", "median", "p99", "/direct", "cpu",
          "serving cpu", "failed");
  ownerGetRows(table, sim->adapter(2), count);
  fprintf(table,
          "\nThe owner's 12-item cycle at window 4, %d cycles a row, alone and while %d client\n"
          "programs each poll two entries at 100 Hz through it (a two-get Batch), 115200 paced\n\n",
          cycles, kClientPrograms);
  fprintf(table, "%-13s %-11s %9s %9s %7s %9s %5s  %s\n", "owner's loop", "programs", "median",
          "p99", "/alone", "cpu/item", "lost", "clients");
  sharedCycleRows(table, sim->adapter(3), cycles);
  fprintf(table,
          "\nclassic: SerialDriver; link: ChassisLink; python: ChassisLink through the Python\n"
          "module, measured by its Python client (allocations not counted). floor: wire time of\n"
          "command and reply at 115200 baud 8N1 (10 bits a byte); cpu: user+system time of the\n"
          "calling thread (the Python process for python) per exchange; allocs: heap\n"
          "allocations per successful exchange; /py and cpu/py: median and CPU time over\n"
          "pyserial's (below 1: faster or cheaper than pyserial).\n"
          "Cycle: window: LinkOptions::max_in_flight; pyserial: the same cycle one exchange after\n"
          "the other; /seqfloor, /dupfloor: median over the sequential floor and over the duplex\n"
          "floor with the first command; cpu/item: the calling thread's CPU time per item;\n"
          "allocs: heap allocations per cycle once warmed up; lost: items failed over the row.\n"
          "At 921600 the controller is paced at that rate and the link opened at 115200, which\n"
          "a pty ignores (the library's rates end at 115200).\n"
          "Owner: /direct and /alone: median over the owner's own get, and over the mean of the\n"
          "two alone rows of the loop; cpu/item: the owner's calling thread; serving: the\n"
          "owner's serving thread, per get it forwarded; polls/s: what each client reached of\n"
          "its 100 Hz. Goals: a get through the owner within 1.05 of a direct one, the cycle\n"
          "with clients within 1.10 of it alone, and never a wrong value.\n");
  fclose(table);
  link.close();
  driver.close();
  return 0;
}
