// chassisd: owns one chassis adapter and only serves it, so that every program of a robot is a
// client of the same owner.
//
//   chassisd (--serial SERIAL | --device PATH) [--baud N] [--allow-writes] [--socket PATH]
//            [--max-in-flight N]
//
// Waits for the adapter (trying again every second), serves it until SIGTERM or SIGINT, then
// closes it and exits 0. Messages go to stderr (the journal, under systemd).
// Exit status: 0 after a signal, 1 unusable options, 2 usage error.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

#include "serial_driver/chassis_link.h"
#include "serial_driver/open_advice.h"
#include "serial_driver/owner/socket_name.h"
#include "serial_driver/serial_identify.h"
#include "serial_driver/wire_facts.h"

namespace {

using serial_driver::ChassisLink;

constexpr int kExitOk = 0;
constexpr int kExitUnusable = 1;
constexpr int kExitUsage = 2;

struct Options {
  std::string serial;
  std::string device;
  std::string socket;
  int baud = serial_driver::kDefaultBaud;
  int max_in_flight = 1;
  bool allow_writes = false;
};

void say(const std::string& message) { fprintf(stderr, "chassisd: %s\n", message.c_str()); }

// Where the owner of the open link serves: --socket, else the name after the adapter.
std::string servedAt(const Options& o) {
  if (!o.socket.empty()) return o.socket;
  std::string serial = o.serial;
  std::string node = o.device;
  if (serial.empty()) {
    char real[PATH_MAX];
    if (realpath(o.device.c_str(), real) != nullptr) node = real;
    for (const serial_driver::SerialPort& port : serial_driver::listSerialPorts()) {
      if (port.devnode == node && port.on_usb) serial = port.usb.i_serial;
    }
  }
  return serial_driver::detail::socketDirectory() + "/" +
         serial_driver::detail::socketFileName(serial, node);
}

// Waits up to timeout for SIGTERM or SIGINT (blocked in every thread); true when one came.
bool signalled(const sigset_t& signals, const timespec* timeout) {
  for (;;) {
    const int got = timeout != nullptr ? sigtimedwait(&signals, nullptr, timeout)
                                       : sigwaitinfo(&signals, nullptr);
    if (got > 0) {
      say(std::string("stopping on ") + strsignal(got));
      return true;
    }
    if (errno == EAGAIN) return false;
    // EINTR: another signal, such as a stopped and continued process; wait on.
  }
}

int serve(const Options& o, const sigset_t& signals) {
  serial_driver::LinkOptions options;
  options.serial = o.serial;
  options.device = o.device;
  options.socket = o.socket;
  options.baud = o.baud;
  options.max_in_flight = o.max_in_flight;
  options.serve = true;
  options.serve_writes = o.allow_writes;
  const std::string adapter = o.serial.empty() ? o.device : "adapter '" + o.serial + "'";

  ChassisLink link;
  std::string last_failure;
  const timespec second{1, 0};
  for (;;) {
    std::error_code ec = link.open(options);
    std::string failure;
    if (ec) {
      failure = serial_driver::detail::openAdvice(ec, link.open_failure(), o.serial);
    } else if (const serial_driver::LinkStats stats = link.stats(); stats.owner_pid != 0) {
      // Another program owns it and serves: a second owner has nothing to do until it goes.
      failure = adapter + ": owned and served by pid " + std::to_string(stats.owner_pid) + " (" +
                stats.owner_program + ")";
      link.close();
    } else {
      break;
    }
    if (failure != last_failure) say(failure + "; trying again every second");
    last_failure = failure;
    if (signalled(signals, &second)) return kExitOk;
  }
  say("serving " + adapter + " at " + servedAt(o) +
      (o.allow_writes ? " (reads and writes)" : " (reads only)"));
  signalled(signals, nullptr);
  link.close();
  return kExitOk;
}

int run(int argc, char** argv) {
  Options o;
  CLI::App app{"Own a chassis adapter and serve it to other programs through a Unix socket.",
               "chassisd"};
  app.add_option("--serial", o.serial, "USB serial number of the adapter");
  app.add_option("--device", o.device, "the adapter's node or a link to it");
  app.add_option("--baud", o.baud, "line speed")->capture_default_str();
  app.add_flag("--allow-writes", o.allow_writes, "let served programs set entries too");
  app.add_option("--socket", o.socket,
                 "serve here instead of the socket directory's name for the adapter");
  app.add_option("--max-in-flight", o.max_in_flight, "commands a batch sends before their replies")
      ->capture_default_str();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    say(std::string(e.what()) + " (see --help)");
    return kExitUsage;
  }
  if (o.serial.empty() == o.device.empty()) {
    say("give --serial SERIAL or --device PATH (one of them)");
    return kExitUsage;
  }
  if (serial_driver::detail::baudConstant(o.baud) == 0) {
    say("unsupported baud rate " + std::to_string(o.baud));
    return kExitUnusable;
  }
  if (o.max_in_flight < 1 || o.max_in_flight > serial_driver::kMaxInFlight) {
    say("--max-in-flight must be from 1 to " + std::to_string(serial_driver::kMaxInFlight));
    return kExitUnusable;
  }

  // Blocked before the link starts its threads, which inherit the mask: only sigwait takes
  // them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  serial_driver::setLogSink(serial_driver::stderrLogSink());
  return serve(o, signals);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    say(e.what());
    return kExitUnusable;
  }
}
