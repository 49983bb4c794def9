// The host side of the kernel lane: software CH340s on QEMU's usb-redir sockets, each with a
// simulated controller behind it, and a line-based control channel on the guest's second
// serial port through which the tests inside the guest plug, unplug and inspect the chips.
//   lane_host <control socket> <usb-redir socket> <serial number | - | off> [<socket> <...>]
// `-` plugs an adapter without a serial number, `off` leaves it unplugged. A command goes to the
// first chip, or to the n-th (from 0) when it starts with `@n `.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "chassis_sim/controller.h"
#include "kernel_lane/redir_ch340.h"

namespace {

using chassis_sim::Controller;
using chassis_sim::Fault;
using chassis_sim::RedirCh340;

// QEMU makes its sockets as it starts: try for a while.
int connectTo(const char* path) {
  for (int attempt = 0; attempt < 600; ++attempt) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  fprintf(stderr, "lane_host: cannot connect to %s\n", path);
  exit(1);
}

std::optional<std::string> serialArgument(const std::string& word) {
  if (word == "-") return std::nullopt;
  return word;
}

std::optional<Fault> faultNamed(const std::string& name) {
  for (const auto& fault : chassis_sim::kFaults) {
    if (name == fault.name) return fault.fault;
  }
  return std::nullopt;
}

struct Adapter {
  Controller controller;
  std::unique_ptr<RedirCh340> chip;
};

// One command of the control channel; the answer is one line.
std::string handle(const std::string& line, std::vector<std::unique_ptr<Adapter>>& adapters) {
  std::istringstream in(line);
  std::string command, word;
  in >> command;
  size_t which = 0;
  if (command.size() > 1 && command[0] == '@') {
    which = std::stoul(command.substr(1));
    if (which >= adapters.size()) return "error no chip " + command;
    in >> command;
  }
  RedirCh340& chip = *adapters[which]->chip;
  Controller& controller = adapters[which]->controller;
  if (command == "unplug") {
    chip.unplug();
  } else if (command == "plug" && in >> word) {
    chip.plug(serialArgument(word));
  } else if (command == "regs") {
    char answer[64];
    snprintf(answer, sizeof answer, "%d %02x", chip.baud(), chip.lineControl());
    return answer;
  } else if (command == "modem") {
    char answer[64];
    snprintf(answer, sizeof answer, "dtr %d rts %d flow %02x", chip.dtr(), chip.rts(),
             chip.flowControl());
    return answer;
  } else if (command == "cts" && in >> word) {
    chip.setCts(word == "1");
  } else if (int ms = 0; command == "reset-on-dtr" && in >> ms) {  // reset-on-dtr <ms> <banner>
    std::string banner;
    std::getline(in >> std::ws, banner);
    chip.setResetOnDtr(std::chrono::milliseconds(ms), banner + "\n");
  } else if (command == "rate" && in >> word) {
    chip.setControllerBaud(std::stoi(word));
  } else if (int count = 0; command == "fault" && in >> count) {  // fault <count> <name>
    std::getline(in >> std::ws, word);
    const auto fault = faultNamed(word);
    if (!fault) return "error unknown fault " + word;
    controller.inject(*fault, count);
  } else if (int ring = 0; command == "duplex" && in >> ring) {  // duplex <ring bytes>; 0: off
    chassis_sim::LineModel model;
    model.duplex = ring > 0;
    if (ring > 0) model.ring_bytes = static_cast<size_t>(ring);
    controller.setLineModel(model);
  } else if (command == "late" && in >> word) {
    controller.setLateDelay(std::chrono::milliseconds(std::stoi(word)));
  } else if (command == "entry" && in >> word) {
    return controller.entry(std::stoi(word));
  } else if (command == "set" && in >> word) {
    std::string value;
    std::getline(in >> std::ws, value);
    controller.setEntry(std::stoi(word), value);
  } else if (command == "commands") {
    return std::to_string(controller.commands());
  } else {
    return "error unknown command: " + line;
  }
  return "ok";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc % 2 != 0) {
    fprintf(stderr, "usage: lane_host <control socket> <usb-redir socket> <serial|-|off> ...\n");
    return 2;
  }
  std::vector<std::unique_ptr<Adapter>> adapters;
  for (int arg = 2; arg < argc; arg += 2) {
    auto adapter = std::make_unique<Adapter>();
    adapter->chip = std::make_unique<RedirCh340>(connectTo(argv[arg]), adapter->controller);
    if (std::string(argv[arg + 1]) != "off") adapter->chip->plug(serialArgument(argv[arg + 1]));
    adapters.push_back(std::move(adapter));
  }
  const int control = connectTo(argv[1]);
  std::string pending;
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    for (const auto& adapter : adapters) adapter->chip->addPollFds(fds);
    fds.push_back({control, POLLIN, 0});
    if (poll(fds.data(), fds.size(), 100) < 0 && errno != EINTR) return 1;
    for (size_t i = 0; i < adapters.size(); ++i) {
      if (!adapters[i]->chip->service(&fds[2 * i])) return 0;  // QEMU has gone
    }
    if (!(fds.back().revents & (POLLIN | POLLHUP))) continue;
    char buf[256];
    const ssize_t n = read(control, buf, sizeof buf);
    if (n <= 0) return 0;
    pending.append(buf, static_cast<size_t>(n));
    for (size_t nl = pending.find('\n'); nl != std::string::npos; nl = pending.find('\n')) {
      std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      const std::string answer = handle(line, adapters) + "\n";
      (void)!write(control, answer.data(), answer.size());
    }
  }
}
