// chassisctl: bring up a chassis controller from a terminal.
//
//   chassisctl list
//   chassisctl get INDEX [--type int|float|text] --serial SERIAL
//   chassisctl set INDEX VALUE [--type int|float|text] --serial SERIAL
//   chassisctl watch INDEX [--interval MS] [--count N] --serial SERIAL
//   chassisctl --simulate ...   (against the built-in simulated chassis)
//
// Exit status: 0 success, 1 an exchange failed or no adapter, 2 usage error.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "chassis_sim/usb_testbed.h"
#include "serial_driver.h"
#include "serial_driver/serial_identify.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const std::vector<int> kSupportedBauds = {115200, 38400, 19200, 9600, 4800, 2400, 1200, 300};
const char kSimulatedSerial[] = "SIM-0001";
const char kVendor[] = "1a86";
const char kProduct[] = "7523";
// "$set <index> <text>" must fit a frame with its checksum byte and newline.
constexpr int kMaxCommandText = 62;

struct Options {
  bool simulate = false;
  bool quiet = false;
  std::string serial;
  int baud = 115200;
  std::string type = "float";
  int index = 0;
  std::string value;
  int interval_ms = 500;
  long count = 0;
};

// Where the tool's own output goes; stdout itself carries the library's log lines.
FILE* out = stdout;

volatile sig_atomic_t interrupted = 0;
void onInterrupt(int) { interrupted = 1; }

struct UsageError {
  std::string message;
};

[[noreturn]] void usage(const std::string& message) { throw UsageError{message}; }

void fail(const std::string& message) { fprintf(stderr, "chassisctl: %s\n", message.c_str()); }

// Parses the whole of text as the type's value; refuses anything else.
void checkValue(const Options& o) {
  const char* text = o.value.c_str();
  char* end = nullptr;
  errno = 0;
  if (o.type == "int") {
    const long v = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) {
      usage("VALUE '" + o.value + "' is not an int (use --type float or --type text)");
    }
  } else if (o.type == "float") {
    strtof(text, &end);
    if (*text == '\0' || *end != '\0' || errno == ERANGE) {
      usage("VALUE '" + o.value + "' is not a float (use --type int or --type text)");
    }
  } else {
    if (o.value.find('\n') != std::string::npos) usage("a text VALUE cannot hold a newline");
    const size_t command = std::string("$set " + std::to_string(o.index) + " ").size();
    if (command + o.value.size() > static_cast<size_t>(kMaxCommandText)) {
      usage("text VALUE too long for one frame: at most " +
            std::to_string(kMaxCommandText - command) + " characters at index " +
            std::to_string(o.index));
    }
  }
}

int listPorts() {
  const auto ports = listSerialPorts();
  if (ports.empty()) {
    fprintf(out, "no serial ports found\n");
    return kExitOk;
  }
  bool anonymous_adapter = false;
  fprintf(out, "%-16s %-10s %-20s %s\n", "NODE", "USB ID", "USB SERIAL", "CHASSIS ADAPTER");
  for (const SerialPort& port : ports) {
    const bool adapter =
        port.on_usb && port.usb.id_vendor == kVendor && port.usb.id_product == kProduct;
    std::string id = "-";
    std::string serial = "-";
    if (port.on_usb) {
      id = port.usb.id_vendor + ":" + port.usb.id_product;
      serial = port.usb.i_serial.empty() ? "(none)" : port.usb.i_serial;
    }
    const char* verdict = "no";
    if (adapter && port.usb.i_serial.empty()) {
      verdict = "yes, but it has no serial number";
      anonymous_adapter = true;
    } else if (adapter) {
      verdict = "yes";
    }
    fprintf(out, "%-16s %-10s %-20s %s\n", port.devnode.c_str(), id.c_str(), serial.c_str(),
            verdict);
  }
  if (anonymous_adapter) {
    fprintf(out,
            "\nNote: the driver finds its adapter by USB serial number, and many 1a86:7523\n"
            "adapters report none. Such an adapter cannot be opened by the driver; use one\n"
            "that has a serial number.\n");
  }
  return kExitOk;
}

bool openDriver(SerialDriver& driver, const Options& o) {
  std::string dev;
  if (driver.init(o.serial, dev, o.baud)) return true;
  if (dev.empty()) {
    fail("no 1a86:7523 adapter with USB serial number '" + o.serial +
         "' is attached (see 'chassisctl list')");
  } else {
    fail("found " + dev + " but could not open it (permissions? see the README)");
  }
  return false;
}

// One read of the entry, printed; false when the exchange failed.
bool readEntry(SerialDriver& driver, const Options& o, std::string* shown) {
  char text[64] = {};
  if (o.type == "int") {
    int v = 0;
    if (!driver.getEntry(o.index, &v)) return false;
    *shown = std::to_string(v);
  } else if (o.type == "float") {
    float v = 0.0f;
    if (!driver.getEntry(o.index, &v)) return false;
    snprintf(text, sizeof text, "%g", static_cast<double>(v));
    *shown = text;
  } else {
    if (!driver.getEntry(o.index, text)) return false;
    *shown = text;
  }
  return true;
}

int getEntry(SerialDriver& driver, const Options& o) {
  std::string shown;
  if (!readEntry(driver, o, &shown)) {
    fail("no valid reply from the controller for entry " + std::to_string(o.index));
    return kExitFailed;
  }
  fprintf(out, "%s\n", shown.c_str());
  return kExitOk;
}

int setEntry(SerialDriver& driver, const Options& o) {
  bool ok = false;
  if (o.type == "int") {
    const int v = static_cast<int>(strtol(o.value.c_str(), nullptr, 10));
    ok = driver.setEntry(o.index, &v);
  } else if (o.type == "float") {
    const float v = strtof(o.value.c_str(), nullptr);
    ok = driver.setEntry(o.index, &v);
  } else {
    ok = driver.setEntry(o.index, o.value.c_str());
  }
  if (!ok) {
    fail("the controller did not acknowledge entry " + std::to_string(o.index));
    return kExitFailed;
  }
  fprintf(out, "entry %d set to %s\n", o.index, o.value.c_str());
  return kExitOk;
}

void sleepMs(int ms) {
  timespec left{ms / 1000, (ms % 1000) * 1000000L};
  // Interrupted by Ctrl-C: stop sleeping at once.
  while (!interrupted && nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

int watchEntry(SerialDriver& driver, const Options& o) {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  long readings = 0;
  long failed = 0;
  while (!interrupted && (o.count == 0 || readings < o.count)) {
    std::string shown;
    ++readings;
    if (readEntry(driver, o, &shown)) {
      fprintf(out, "entry %d = %s  (failed exchanges: %ld)\n", o.index, shown.c_str(), failed);
    } else {
      ++failed;
      fprintf(out, "entry %d: no valid reply  (failed exchanges: %ld)\n", o.index, failed);
    }
    fflush(out);
    if (o.count == 0 || readings < o.count) sleepMs(o.interval_ms);
  }
  fprintf(out, "%s after %ld readings, %ld failed\n", interrupted ? "stopped" : "done", readings,
          failed);
  return failed == 0 ? kExitOk : kExitFailed;
}

// The library writes its log lines on stdout; hide them by pointing stdout elsewhere and
// keeping the tool's own output on a copy of the original.
void hideLibraryLog() {
  fflush(stdout);
  const int keep = dup(STDOUT_FILENO);
  out = fdopen(keep, "w");
  if (freopen("/dev/null", "w", stdout) == nullptr) out = stdout;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{"Talk to a chassis controller behind a 1a86:7523 USB serial adapter."};
  app.require_subcommand(1);
  app.add_option("--serial", o.serial, "USB serial number of the adapter (see 'list')");
  app.add_option("--baud", o.baud, "line speed")->capture_default_str();
  app.add_flag("--simulate", o.simulate, "run against the built-in simulated chassis");
  app.add_flag("--quiet", o.quiet, "hide the library's log lines");

  const auto types = CLI::IsMember({"int", "float", "text"});
  auto* list = app.add_subcommand("list", "list serial ports and their USB identity");
  auto* get = app.add_subcommand("get", "read an entry");
  get->add_option("INDEX", o.index, "entry index")->required();
  get->add_option("--type", o.type, "value type")->check(types)->capture_default_str();
  auto* set = app.add_subcommand("set", "write an entry");
  set->add_option("INDEX", o.index, "entry index")->required();
  set->add_option("VALUE", o.value, "value to write")->required();
  set->add_option("--type", o.type, "value type")->check(types)->capture_default_str();
  auto* watch = app.add_subcommand("watch", "read an entry repeatedly until Ctrl-C");
  watch->add_option("INDEX", o.index, "entry index")->required();
  watch->add_option("--type", o.type, "value type")->check(types)->capture_default_str();
  watch->add_option("--interval", o.interval_ms, "milliseconds between readings")
      ->check(CLI::Range(0, 3600000))
      ->capture_default_str();
  watch->add_option("--count", o.count, "stop after N readings (0: until Ctrl-C)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  for (auto* sub : {list, get, set, watch}) sub->fallthrough();

  try {
    app.parse(argc, argv);
    if (std::find(kSupportedBauds.begin(), kSupportedBauds.end(), o.baud) ==
        kSupportedBauds.end()) {
      usage("unsupported baud rate " + std::to_string(o.baud) +
            " (supported: 115200, 38400, 19200, 9600, 4800, 2400, 1200, 300)");
    }
    if (!list->parsed() && !o.simulate && o.serial.empty()) {
      usage("--serial SERIAL is required (see 'chassisctl list'), or use --simulate");
    }
    if (set->parsed()) checkValue(o);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    fail(std::string(e.what()) + " (see --help)");
    return kExitUsage;
  } catch (const UsageError& e) {
    fail(e.message);
    return kExitUsage;
  }

  std::unique_ptr<chassis_sim::Testbed> sim;
  if (o.simulate) {
    chassis_sim::ensurePreload(argv);
    if (o.serial.empty()) o.serial = kSimulatedSerial;
    sim = chassis_sim::make_sim().add_builtin_uart("ttyS0").add_adapter(o.serial).build();
  }
  if (o.quiet) hideLibraryLog();

  int status = kExitOk;
  if (list->parsed()) {
    status = listPorts();
  } else {
    SerialDriver driver{};
    if (!openDriver(driver, o)) return kExitFailed;
    if (get->parsed()) status = getEntry(driver, o);
    if (set->parsed()) status = setEntry(driver, o);
    if (watch->parsed()) status = watchEntry(driver, o);
    driver.close();
  }
  fflush(out);
  return status;
}
