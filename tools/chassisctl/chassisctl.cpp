// chassisctl: bring up a chassis controller from a terminal.
//
//   chassisctl list
//   chassisctl get INDEX... [--type int|float|text] (--serial SERIAL | --device PATH)
//   chassisctl set INDEX VALUE [INDEX VALUE]... [--type int|float|text] (--serial | --device)
//   chassisctl watch INDEX... [--interval MS] [--count N] [--csv FILE] (--serial | --device)
//   chassisctl status
//   chassisctl bench [--cycles N] (--serial SERIAL | --device PATH)
//   (get and set send their entries as one batch, --max-in-flight N commands at a time)
//   chassisctl --simulate ...   (against the built-in simulated chassis)
//   chassisctl --socket PATH get|set|watch ...   (through the owner serving at PATH)
//
// Only results go to stdout; the library's messages go to stderr (--quiet drops them).
// Exit status: 0 success, 1 an exchange failed, no adapter, or stdout unusable; 2 usage error.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "chassis_sim/usb_testbed.h"
#include "serial_driver/chassis_link.h"
#include "serial_driver/open_advice.h"
#include "serial_driver/owner/socket_name.h"
#include "serial_driver/serial_identify.h"
#include "serial_driver/wire_facts.h"

namespace {

using serial_driver::ChassisLink;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

using serial_driver::detail::kAdapterProduct;
using serial_driver::detail::kAdapterVendor;

const char kSimulatedSerial[] = "SIM-0001";
constexpr long kMaxIntervalMs = 3600000;

struct Options {
  bool simulate = false;
  bool quiet = false;
  std::string serial;
  std::string device;
  std::string socket;
  std::string csv;
  int baud = serial_driver::kDefaultBaud;
  std::string type = "float";
  std::vector<int> indexes;
  std::vector<std::string> pairs;
  int max_in_flight = 1;
  int cycles = 100;
  size_t ring = 256;
  bool blocking_firmware = false;
  std::string interval = "500";
  std::string count = "0";
  // Parsed from the texts above.
  long interval_ms = 500;
  long count_n = 0;
};

volatile sig_atomic_t interrupted = 0;
void onInterrupt(int) { interrupted = 1; }

struct UsageError {
  std::string message;
};

[[noreturn]] void usage(const std::string& message) { throw UsageError{message}; }

void fail(const std::string& message) { fprintf(stderr, "chassisctl: %s\n", message.c_str()); }

// A finite decimal within float's range, such as -1.5, 2e3 or .25: no hex, inf or nan.
bool parseDecimalFloat(const std::string& text, float* value) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  size_t digits = 0;
  while (i < text.size() && isdigit(static_cast<unsigned char>(text[i]))) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && isdigit(static_cast<unsigned char>(text[i]))) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t exponent_digits = 0;
    while (i < text.size() && isdigit(static_cast<unsigned char>(text[i]))) {
      ++i, ++exponent_digits;
    }
    if (exponent_digits == 0) return false;
  }
  if (i != text.size()) return false;
  // from_chars reads no leading '+' and works in the C locale whatever the process's.
  const char* first = text.data() + (text[0] == '+' ? 1 : 0);
  const auto result = std::from_chars(first, text.data() + text.size(), *value);
  return result.ec == std::errc() && std::isfinite(*value);
}

bool parseLong(const std::string& text, long min, long max, long* value) {
  const auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size() && *value >= min &&
         *value <= max;
}

// One entry of a get or set; a batch writes a get's value into it.
struct Entry {
  int index = 0;
  std::string value;  // to set, or the text read
  float float_value = 0.0f;
  int int_value = 0;
};

// Checks and converts the value to set; refuses anything that would not go out as typed.
void checkValue(const std::string& type, Entry& e) {
  if (type == "int") {
    long v = 0;
    if (!parseLong(e.value, INT32_MIN, INT32_MAX, &v)) {
      usage("VALUE '" + e.value + "' is not an int (use --type float or --type text)");
    }
    e.int_value = static_cast<int>(v);
  } else if (type == "float") {
    if (!parseDecimalFloat(e.value, &e.float_value)) {
      usage("VALUE '" + e.value +
            "' is not a finite decimal number within float range (use --type text for text)");
    }
  } else {
    if (e.value.find('\n') != std::string::npos) usage("a text VALUE cannot hold a newline");
    const int room = serial_driver::detail::textRoom(e.index);
    if (e.value.size() > static_cast<size_t>(room)) {
      usage("text VALUE too long for one frame: at most " + std::to_string(room) +
            " bytes at index " + std::to_string(e.index));
    }
  }
}

// The entries a get or set names, values checked.
std::vector<Entry> entriesOf(const Options& o, bool setting) {
  std::vector<Entry> entries;
  if (!setting) {
    for (int index : o.indexes) entries.push_back(Entry{index, "", 0.0f, 0});
    return entries;
  }
  if (o.pairs.size() % 2 != 0) usage("set takes INDEX VALUE pairs; the last INDEX has no VALUE");
  for (size_t i = 0; i < o.pairs.size(); i += 2) {
    long index = 0;
    if (!parseLong(o.pairs[i], INT32_MIN, INT32_MAX, &index)) {
      usage("INDEX '" + o.pairs[i] + "' is not a whole number");
    }
    Entry e{static_cast<int>(index), o.pairs[i + 1], 0.0f, 0};
    checkValue(o.type, e);
    entries.push_back(e);
  }
  return entries;
}

// A serial number the simulator can name an adapter by: printable, no blanks.
void checkSimulatedSerial(const std::string& serial) {
  for (unsigned char c : serial) {
    if (!isgraph(c)) usage("--serial for --simulate must be printable characters without blanks");
  }
}

int listPorts() {
  const auto ports = serial_driver::listSerialPorts();
  if (ports.empty()) {
    printf("no serial ports found\n");
    return kExitOk;
  }
  bool anonymous_adapter = false;
  printf("%-16s %-10s %-20s %s\n", "NODE", "USB ID", "USB SERIAL", "CHASSIS ADAPTER");
  for (const serial_driver::SerialPort& port : ports) {
    const bool adapter = port.on_usb && port.usb.id_vendor == kAdapterVendor &&
                         port.usb.id_product == kAdapterProduct;
    std::string id = "-";
    std::string serial = "-";
    if (port.on_usb) {
      id = port.usb.id_vendor + ":" + port.usb.id_product;
      serial = port.usb.i_serial.empty() ? "(none)" : port.usb.i_serial;
    }
    const char* verdict = "no";
    if (adapter && port.usb.i_serial.empty()) {
      verdict = "yes, by --device only (no serial number)";
      anonymous_adapter = true;
    } else if (adapter) {
      verdict = "yes";
    }
    printf("%-16s %-10s %-20s %s\n", port.devnode.c_str(), id.c_str(), serial.c_str(), verdict);
  }
  if (anonymous_adapter) {
    printf(
        "\nNote: many 1a86:7523 adapters report no USB serial number. Open such an adapter by\n"
        "its node or a stable link with --device (see the README's udev rules).\n");
  }
  return kExitOk;
}

bool openLink(ChassisLink& link, const Options& o) {
  serial_driver::LinkOptions options;
  options.serial = o.serial;
  options.device = o.device;
  options.socket = o.socket;
  options.baud = o.baud;
  // The simulated controller is a thread of this process. Without real-time priority (which
  // only root gets) a busy machine runs it later than a real line's reply window: give it a
  // second, which only a lost reply would use.
  if (o.simulate) options.reply_timeout = std::chrono::seconds(1);
  options.max_in_flight = o.max_in_flight;
  const std::error_code ec = link.open(options);
  if (!ec) {
    const serial_driver::LinkStats stats = link.stats();
    if (stats.owner_pid != 0 && !o.quiet) {
      fprintf(stderr, "chassisctl: through the owner pid %d (%s)\n", stats.owner_pid,
              stats.owner_program.empty() ? "?" : stats.owner_program.c_str());
    }
    return true;
  }
  if (!o.socket.empty() && o.serial.empty() && o.device.empty()) {
    fail(o.socket + ": " + ec.message() + " (no owner serves there)");
    return false;
  }
  const std::string advice = serial_driver::detail::openAdvice(ec, link.open_failure(), o.serial);
  fail(ec == serial_driver::Errc::not_found && !o.serial.empty()
           ? advice + "; see 'chassisctl list'"
           : advice);
  return false;
}

std::string shownFloat(float v) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, v);
  return std::string(text, result.ptr);
}

// Every entry in one batch; a line for each, in order: the value read or what was set on
// stdout, a failure on stderr.
// The batch binds each entry's value: entries must not move while it lives.
void batchEntries(const Options& o, std::vector<Entry>& entries, bool setting,
                  serial_driver::Batch& batch) {
  for (Entry& e : entries) {
    if (setting && o.type == "int") batch.set(e.index, e.int_value);
    if (setting && o.type == "float") batch.set(e.index, e.float_value);
    if (setting && o.type == "text") batch.set(e.index, std::string_view(e.value));
    if (!setting && o.type == "int") batch.get(e.index, e.int_value);
    if (!setting && o.type == "float") batch.get(e.index, e.float_value);
    if (!setting && o.type == "text") batch.get(e.index, e.value);
  }
}

// An entry's value as read, or as it went on the wire when set.
std::string shownValue(const Options& o, const Entry& e, bool setting) {
  if (o.type == "int") return std::to_string(e.int_value);
  if (o.type == "float") {
    return setting ? serial_driver::detail::wireText(e.float_value) : shownFloat(e.float_value);
  }
  return e.value;
}

int exchangeEntries(ChassisLink& link, const Options& o, std::vector<Entry>& entries,
                    bool setting) {
  serial_driver::Batch batch;
  batchEntries(o, entries, setting, batch);
  link.exchange(batch);
  int status = kExitOk;
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    if (const std::error_code ec = batch.result(i)) {
      fflush(stdout);  // the lines keep their order on a terminal
      std::string why = ec.message();
      if (ec == serial_driver::Errc::rejected && link.stats().owner_pid != 0) {
        why =
            "refused by the owner, which serves reads only (an owner allows sets with "
            "LinkOptions::serve_writes, chassisd with --allow-writes)";
      }
      fail("entry " + std::to_string(e.index) + ": " + why);
      status = kExitFailed;
      continue;
    }
    const std::string shown = shownValue(o, e, setting);
    if (setting) {
      printf("entry %d set to %s\n", e.index, shown.c_str());
    } else {
      printf("%s\n", shown.c_str());
    }
  }
  return status;
}

void sleepMs(long ms) {
  timespec left{ms / 1000, (ms % 1000) * 1000000L};
  // Interrupted by Ctrl-C: stop sleeping at once.
  while (!interrupted && nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Now as ISO 8601 in UTC with milliseconds: 2026-12-08T14:03:07.250Z.
std::string isoNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char text[48];
  const size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  snprintf(text + n, sizeof text - n, ".%03ldZ", now.tv_nsec / 1000000);
  return text;
}

// A CSV field: quoted when it holds a comma, a quote or a line break.
std::string csvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};

int watchEntries(ChassisLink& link, const Options& o) {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  std::unique_ptr<FILE, FileCloser> csv;
  if (!o.csv.empty()) {
    csv.reset(fopen(o.csv.c_str(), "we"));
    if (!csv) {
      fail(o.csv + ": " + strerror(errno));
      return kExitFailed;
    }
    std::string header = "time";
    for (int index : o.indexes) header += "," + std::to_string(index);
    fprintf(csv.get(), "%s\n", header.c_str());
  }
  std::vector<Entry> entries = entriesOf(o, false);
  serial_driver::Batch batch;
  batchEntries(o, entries, false, batch);

  long readings = 0;
  long failed = 0;
  long rounds = 0;
  while (!interrupted && (o.count_n == 0 || rounds < o.count_n)) {
    ++rounds;
    const std::string when = isoNow();
    link.exchange(batch);
    // One line a round: "entry 3 = 42; entry 5: no valid reply  (failed exchanges: 1)".
    std::string line;
    std::string row = when;
    for (size_t i = 0; i < entries.size(); ++i) {
      ++readings;
      line += i == 0 ? "" : "; ";
      line += "entry " + std::to_string(entries[i].index);
      row += ",";
      if (batch.result(i)) {
        ++failed;
        line += ": no valid reply";
      } else {
        const std::string shown = shownValue(o, entries[i], false);
        line += " = " + shown;
        row += csvField(shown);
      }
    }
    printf("%s  (failed exchanges: %ld)\n", line.c_str(), failed);
    // A reader that went away ends the watch.
    if (fflush(stdout) != 0) break;
    if (csv && (fprintf(csv.get(), "%s\n", row.c_str()) < 0 || fflush(csv.get()) != 0)) {
      fail(o.csv + ": " + strerror(errno));
      return kExitFailed;
    }
    if (o.count_n == 0 || rounds < o.count_n) sleepMs(o.interval_ms);
  }
  printf("%s after %ld readings, %ld failed\n", interrupted ? "stopped" : "done", readings, failed);
  if (csv && fclose(csv.release()) != 0) {
    fail(o.csv + ": " + strerror(errno));
    return kExitFailed;
  }
  return failed == 0 ? kExitOk : kExitFailed;
}

// A descriptor closed when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

constexpr int kStatusAnswerMs = 2000;

// What one owner socket said: its owner, the programs it serves.
struct OwnerSocket {
  std::string path;
  bool live = false;
  pid_t owner_pid = 0;
  std::string owner_program;
};

std::string programOf(pid_t pid) {
  std::string name;
  if (FILE* comm = fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "re")) {
    char text[64] = {};
    if (fgets(text, sizeof text, comm) != nullptr) name = text;
    fclose(comm);
  }
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name.empty() ? "?" : name;
}

// The one line the owner answers "?clients" with, without its newline; empty when none came
// in time.
std::string clientsAnswer(int fd) {
  static const char kQuery[] = "?clients\n";
  if (send(fd, kQuery, sizeof kQuery - 1, MSG_NOSIGNAL) !=
      static_cast<ssize_t>(sizeof kQuery - 1)) {
    return "";
  }
  std::string line;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kStatusAnswerMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
    char buffer[512];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return "";
    line.append(buffer, static_cast<size_t>(n));
    const size_t end = line.find('\n');
    if (end != std::string::npos) return line.substr(0, end);
  }
}

// "!clients 2 pid 10 (a) pid 11 (b)" as its programs, this one left out: it is only asking.
std::vector<std::string> servedPrograms(const std::string& answer) {
  std::vector<std::string> programs;
  const std::string marker = " pid ";
  const std::string self = std::to_string(getpid());
  for (size_t at = answer.find(marker); at != std::string::npos;) {
    const size_t next = answer.find(marker, at + 1);
    const std::string program =
        answer.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
    const size_t digits = program.find_first_not_of("0123456789", 4);
    if (program.substr(4, digits == std::string::npos ? std::string::npos : digits - 4) != self) {
      programs.push_back(program);
    }
    at = next;
  }
  return programs;
}

// One block for the socket at path: its owner and the programs it serves, or why there is none.
OwnerSocket showOwnerSocket(const std::string& path) {
  OwnerSocket shown;
  shown.path = path;
  printf("socket %s\n", path.c_str());
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    printf("  unusable: the path is too long for a socket\n");
    return shown;
  }
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0 || connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno == ECONNREFUSED) {
      printf("  stale: nothing accepts on it (its owner is gone; the next owner replaces it)\n");
    } else {
      printf("  cannot connect: %s\n", strerror(errno));
    }
    return shown;
  }
  ucred peer{};
  socklen_t length = sizeof peer;
  if (getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.pid > 0) {
    shown.owner_pid = peer.pid;
    shown.owner_program = programOf(peer.pid);
    printf("  owner    pid %d (%s)\n", static_cast<int>(peer.pid), shown.owner_program.c_str());
  }
  shown.live = true;
  const std::string answer = clientsAnswer(fd.get());
  if (answer.rfind("!clients ", 0) != 0) {
    printf("  clients  unknown: %s\n",
           answer.empty() ? "no answer in 2 s" : ("the owner said " + answer).c_str());
    return shown;
  }
  const std::vector<std::string> programs = servedPrograms(answer);
  std::string list;
  for (const std::string& program : programs) list += (list.empty() ? "" : ", ") + program;
  printf("  clients  %zu%s%s\n", programs.size(), list.empty() ? "" : ": ", list.c_str());
  return shown;
}

// Every owner socket of the socket directory (or only --socket's), then the attached
// adapters and whether an owner serves each.
int showStatus(const Options& o) {
  if (!o.socket.empty()) {
    return showOwnerSocket(o.socket).live ? kExitOk : kExitFailed;
  }
  const std::string directory = serial_driver::detail::socketDirectory();
  std::vector<std::string> names;
  if (std::unique_ptr<DIR, DirCloser> dir{opendir(directory.c_str())}) {
    while (const dirent* entry = readdir(dir.get())) {
      const std::string name = entry->d_name;
      if (name.size() > 5 && name.compare(name.size() - 5, 5, ".sock") == 0) {
        names.push_back(name);
      }
    }
  }
  std::sort(names.begin(), names.end());
  if (names.empty()) printf("no owner sockets in %s\n", directory.c_str());
  std::vector<OwnerSocket> sockets;
  sockets.reserve(names.size());
  for (const std::string& name : names) {
    std::string path = directory;
    path.append("/").append(name);
    sockets.push_back(showOwnerSocket(path));
  }

  bool any = false;
  for (const serial_driver::SerialPort& port : serial_driver::listSerialPorts()) {
    if (!port.on_usb || port.usb.id_vendor != kAdapterVendor ||
        port.usb.id_product != kAdapterProduct) {
      continue;
    }
    any = true;
    const std::string path =
        directory + "/" + serial_driver::detail::socketFileName(port.usb.i_serial, port.devnode);
    std::string served = "no owner serves it";
    for (const OwnerSocket& s : sockets) {
      if (s.path != path) continue;
      served = s.live
                   ? "served by pid " + std::to_string(s.owner_pid) + " (" + s.owner_program + ")"
                   : "no owner serves it (its socket is stale)";
    }
    printf("adapter %s serial %s: %s\n", port.devnode.c_str(),
           port.usb.i_serial.empty() ? "(none)" : port.usb.i_serial.c_str(), served.c_str());
  }
  if (!any) printf("no 1a86:7523 adapters attached\n");
  return kExitOk;
}

// The control cycle bench runs: six gets and six sets of entries 10 to 15.
constexpr int kBenchWindows[] = {1, 2, 4, 8};
constexpr int kBenchFirstEntry = 10;
constexpr int kBenchEntries = 6;
constexpr int kBenchWarmUp = 3;

struct WindowFigures {
  int window = 0;
  double median_ms = 0.0;
  double p99_ms = 0.0;
  long lost = 0;  // items that failed
  long items = 0;
};

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const auto at = static_cast<size_t>(std::lround(p * static_cast<double>(values.size() - 1)));
  return values[std::min(at, values.size() - 1)];
}

// One window: a link opened with it, a few cycles to warm up, then the measured ones.
bool benchWindow(const Options& o, int window, WindowFigures* figures) {
  Options opened = o;
  opened.max_in_flight = window;
  ChassisLink link;
  if (!openLink(link, opened)) return false;
  float values[kBenchEntries] = {};
  serial_driver::Batch batch;
  for (int i = 0; i < kBenchEntries; ++i) batch.get(kBenchFirstEntry + i, values[i]);
  for (int i = 0; i < kBenchEntries; ++i) batch.set(kBenchFirstEntry + i, 0.25f);
  std::vector<double> cycle_ms;
  figures->window = window;
  for (int cycle = -kBenchWarmUp; cycle < o.cycles && !interrupted; ++cycle) {
    const auto began = std::chrono::steady_clock::now();
    link.exchange(batch);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - began;
    if (cycle < 0) continue;
    cycle_ms.push_back(took.count());
    for (size_t i = 0; i < batch.size(); ++i) figures->lost += batch.result(i) ? 1 : 0;
    figures->items += static_cast<long>(batch.size());
    if ((cycle + 1) % 10 == 0 || cycle + 1 == o.cycles) {
      fprintf(stderr, "\rbench: window %d, cycle %d of %d ", window, cycle + 1, o.cycles);
    }
  }
  figures->median_ms = percentile(cycle_ms, 0.5);
  figures->p99_ms = percentile(cycle_ms, 0.99);
  return !interrupted;
}

// The largest window that lost nothing and is no slower than the best smaller one (2 % of
// noise allowed); 0 when every window lost items.
int safeWindow(const std::vector<WindowFigures>& figures) {
  int safe = 0;
  double best = 0.0;
  for (const WindowFigures& f : figures) {
    if (f.lost != 0) continue;
    if (safe == 0 || f.median_ms <= best * 1.02) safe = f.window;
    if (safe == f.window && (best == 0.0 || f.median_ms < best)) best = f.median_ms;
  }
  return safe;
}

int benchCycles(const Options& o) {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  std::vector<WindowFigures> figures;
  for (int window : kBenchWindows) {
    WindowFigures f;
    if (!benchWindow(o, window, &f)) {
      fprintf(stderr, "\n");
      return kExitFailed;
    }
    figures.push_back(f);
  }
  fprintf(stderr, "\n");
  printf("12-item cycle (6 gets, 6 sets of entries %d-%d), %d cycles a window, %d baud\n",
         kBenchFirstEntry, kBenchFirstEntry + kBenchEntries - 1, o.cycles, o.baud);
  printf("%-8s %10s %10s %12s\n", "window", "median", "p99", "lost items");
  for (const WindowFigures& f : figures) {
    printf("%-8d %7.2f ms %7.2f ms %5ld of %ld\n", f.window, f.median_ms, f.p99_ms, f.lost,
           f.items);
  }
  const int safe = safeWindow(figures);
  if (safe == 0) {
    printf("no window ran without loss: check the line before raising max_in_flight\n");
    return kExitFailed;
  }
  printf("safe max_in_flight for this controller: %d\n", safe);
  return kExitOk;
}

bool takesValue(const std::string& option) {
  for (const char* name : {"--serial", "--device", "--socket", "--baud", "--type", "--interval",
                           "--count", "--csv", "--max-in-flight", "--cycles", "--ring"}) {
    if (option == name) return true;
  }
  return false;
}

// CLI11 takes "-inf" or "-x" for an option; when a value starts with a dash but is no number,
// every positional word goes behind "--" in its order, so INDEX VALUE pairs stay paired and
// such a value gets a plain message from the checks.
std::vector<std::string> dashValuesLast(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  if (std::find(args.begin(), args.end(), "--") != args.end()) return args;
  std::vector<std::string> kept{args[0]};
  std::vector<std::string> positional;
  bool dash_value = false;
  bool subcommand = false;
  for (int i = 1; i < argc; ++i) {
    const std::string& a = args[i];
    // Negative numbers with a leading digit CLI11 takes as values itself; "-.5" it does not.
    const bool dash_word = a.size() > 1 && a[0] == '-' && a[1] != '-' && a != "-h" &&
                           !isdigit(static_cast<unsigned char>(a[1]));
    const bool number = a.size() > 1 && a[0] == '-' && isdigit(static_cast<unsigned char>(a[1]));
    if (dash_word) {
      dash_value = true;
      positional.push_back(a);
    } else if (a.rfind("--", 0) == 0 || a == "-h") {
      kept.push_back(a);
      if (takesValue(a) && i + 1 < argc) kept.push_back(args[++i]);
    } else if (!subcommand && !number) {
      subcommand = true;  // the first bare word names it
      kept.push_back(a);
    } else {
      positional.push_back(a);
    }
  }
  if (!dash_value) return args;
  kept.push_back("--");
  kept.insert(kept.end(), positional.begin(), positional.end());
  return kept;
}

// The first word that is neither an option nor an option's value, when it names no
// subcommand; empty otherwise.
std::string unknownSubcommand(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (takesValue(a)) {
      ++i;
      continue;
    }
    if (a.empty() || a[0] == '-') continue;
    for (const char* known : {"list", "status", "get", "set", "watch", "bench"}) {
      if (a == known) return "";
    }
    return a;
  }
  return "";
}

int run(int argc, char** argv) {
  Options o;
  std::vector<Entry> entries;
  CLI::App app{"Talk to a chassis controller behind a 1a86:7523 USB serial adapter.", "chassisctl"};
  app.require_subcommand(1);
  app.add_option("--serial", o.serial, "USB serial number of the adapter (see 'list')");
  app.add_option("--device", o.device, "the adapter's node or a link to it, e.g. /dev/ttyUSB0");
  app.add_option("--socket", o.socket,
                 "the owner's socket to go through (one forwarded with ssh -L, say); with it, "
                 "--serial and --device may be left out");
  app.add_option("--baud", o.baud, "line speed")->capture_default_str();
  app.add_flag("--simulate", o.simulate, "run against the built-in simulated chassis");
  app.add_flag("--quiet", o.quiet, "drop the library's messages (otherwise on stderr)");
  app.add_option("--max-in-flight", o.max_in_flight,
                 "commands get and set send before their replies (1 to 16; see 'bench')")
      ->capture_default_str();

  const auto types = CLI::IsMember({"int", "float", "text"});
  auto* list = app.add_subcommand("list", "list serial ports and their USB identity");
  auto* status_command =
      app.add_subcommand("status", "show who owns each adapter and who is attached");
  auto* get = app.add_subcommand("get", "read entries, in one batch");
  get->add_option("INDEX", o.indexes, "entry indexes")->required();
  get->add_option("--type", o.type, "value type")->check(types)->capture_default_str();
  auto* set = app.add_subcommand("set", "write entries, in one batch");
  set->add_option("ENTRIES", o.pairs, "INDEX VALUE [INDEX VALUE ...]: entries and values to write")
      ->required();
  set->add_option("--type", o.type, "value type")->check(types)->capture_default_str();
  auto* watch =
      app.add_subcommand("watch", "read entries repeatedly, in one batch a round, until Ctrl-C");
  watch->add_option("INDEX", o.indexes, "entry indexes")->required();
  watch->add_option("--csv", o.csv,
                    "also write each round to FILE as a CSV row: UTC time (ISO 8601, ms), "
                    "then each value (empty when it failed)");
  watch->add_option("--type", o.type, "value type")->check(types)->capture_default_str();
  watch->add_option("--interval", o.interval, "milliseconds between readings (0 to 3600000)")
      ->capture_default_str();
  watch->add_option("--count", o.count, "stop after N readings (0: until Ctrl-C)")
      ->capture_default_str();
  auto* bench = app.add_subcommand(
      "bench", "time a 12-item control cycle at max_in_flight 1, 2, 4 and 8; name a safe one");
  bench->add_option("--cycles", o.cycles, "measured cycles a window")
      ->check(CLI::Range(1, 100000))
      ->capture_default_str();
  bench->add_option("--ring", o.ring, "with --simulate: the controller's receive ring in bytes")
      ->check(CLI::Range(1, 65536))
      ->capture_default_str();
  bench->add_flag("--blocking-firmware", o.blocking_firmware,
                  "with --simulate: the controller takes a command only once its reply is out");
  for (auto* sub : {list, status_command, get, set, watch, bench}) sub->fallthrough();

  try {
    std::vector<std::string> args = dashValuesLast(argc, argv);
    std::reverse(args.begin(), args.end());
    args.pop_back();  // the program name
    app.parse(args);
    if (serial_driver::detail::baudConstant(o.baud) == 0) {
      std::string supported;
      for (const auto& rate : serial_driver::detail::kLineRates) {
        supported += (supported.empty() ? "" : ", ") + std::to_string(rate.baud);
      }
      usage("unsupported baud rate " + std::to_string(o.baud) + " (supported: " + supported + ")");
    }
    if (!o.serial.empty() && !o.device.empty()) usage("give --serial or --device, not both");
    if (o.simulate && !o.device.empty()) usage("--simulate names its adapter with --serial");
    if (!list->parsed() && !status_command->parsed() && !o.simulate && o.serial.empty() &&
        o.device.empty() && o.socket.empty()) {
      usage(
          "--serial SERIAL, --device PATH or --socket PATH is required (see 'chassisctl list'), "
          "or use --simulate");
    }
    if (o.simulate) checkSimulatedSerial(o.serial);
    if (o.max_in_flight < 1 || o.max_in_flight > serial_driver::kMaxInFlight) {
      usage("--max-in-flight must be from 1 to " + std::to_string(serial_driver::kMaxInFlight));
    }
    if (get->parsed() || set->parsed()) entries = entriesOf(o, set->parsed());
    if (watch->parsed()) {
      if (!parseLong(o.interval, 0, kMaxIntervalMs, &o.interval_ms)) {
        usage("--interval must be a whole number of milliseconds from 0 to 3600000");
      }
      if (!parseLong(o.count, 0, std::numeric_limits<long>::max(), &o.count_n)) {
        usage("--count must be a whole number, 0 or more (0: until Ctrl-C)");
      }
    }
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    const std::string unknown = unknownSubcommand(argc, argv);
    fail((unknown.empty() ? std::string(e.what()) : "unknown subcommand '" + unknown + "'") +
         " (see --help)");
    return kExitUsage;
  } catch (const UsageError& e) {
    fail(e.message);
    return kExitUsage;
  }

  // Library messages never mix with the results on stdout.
  serial_driver::setLogSink(o.quiet ? serial_driver::LogSink([](LogLevel, const std::string&) {})
                                    : serial_driver::stderrLogSink());

  std::unique_ptr<chassis_sim::Testbed> sim;
  if (o.simulate) {
    chassis_sim::ensurePreload(argv);
    // Re-executed as /proc/self/exe, the process is named "exe"; programs it serves and
    // 'chassisctl status' show its name.
    prctl(PR_SET_NAME, "chassisctl");
    if (o.serial.empty()) o.serial = kSimulatedSerial;
    sim = chassis_sim::make_sim().add_builtin_uart("ttyS0").add_adapter(o.serial).build();
    if (bench->parsed()) {
      // A full-duplex line at the link's rate, as a real controller's.
      chassis_sim::Controller& controller = sim->adapter(0).controller();
      chassis_sim::LineModel model;
      model.duplex = true;
      model.ring_bytes = o.ring;
      model.blocking_firmware = o.blocking_firmware;
      controller.setLineModel(model);
      controller.setLineRate(o.baud);
    }
  }

  int status = kExitOk;
  if (list->parsed()) {
    status = listPorts();
  } else if (status_command->parsed()) {
    status = showStatus(o);
  } else {
    ChassisLink link;
    if (get->parsed() || set->parsed()) {
      if (!openLink(link, o)) return kExitFailed;
      status = exchangeEntries(link, o, entries, set->parsed());
    }
    if (watch->parsed()) {
      if (!openLink(link, o)) return kExitFailed;
      status = watchEntries(link, o);
    }
    if (bench->parsed()) status = benchCycles(o);
  }
  return status;
}

int runMain(int argc, char** argv) {
  // A closed pipe or stdout is reported through the exit status, not by dying of SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  // With a standard stream closed, the next file opened would take its number, and output
  // meant for it would land there: a closed stdout is an error, stdin and stderr get /dev/null,
  // each on its own number (stdout is looked at first: /dev/null must not land on it).
  const bool stdout_closed = fcntl(STDOUT_FILENO, F_GETFD) < 0;
  for (int fd : {STDIN_FILENO, STDERR_FILENO}) {
    if (fcntl(fd, F_GETFD) >= 0) continue;
    const int null = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (null < 0) return kExitFailed;
    if (null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
  if (stdout_closed) {
    fail("standard output is closed; nothing to write the results to");
    return kExitFailed;
  }
  int status = kExitFailed;
  try {
    status = run(argc, argv);
  } catch (const std::exception& e) {
    fail(e.what());
    return kExitFailed;
  }
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fail(std::string("cannot write the output: ") + strerror(errno));
    return kExitFailed;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return runMain(argc, argv);
  } catch (...) {  // out of memory while reporting a failure: nothing more to say
    return kExitFailed;
  }
}
