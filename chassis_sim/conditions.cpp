#include "chassis_sim/conditions.h"

#include <sys/time.h>

#include <atomic>

#include "serial_driver/serial_driver.h"

namespace chassis_sim {

namespace {

std::atomic<long> signals_seen{0};

void countSignal(int) { signals_seen.fetch_add(1, std::memory_order_relaxed); }

bool usableInText(int byte) { return byte != 0 && byte != ' ' && byte != '\n'; }

}  // namespace

SignalTimer::SignalTimer(std::chrono::microseconds interval) {
  signals_seen = 0;
  struct sigaction action {};
  action.sa_handler = countSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART
  sigaction(SIGALRM, &action, &previous_);
  const long us = static_cast<long>(interval.count());
  itimerval timer{{us / 1000000, us % 1000000}, {us / 1000000, us % 1000000}};
  setitimer(ITIMER_REAL, &timer, nullptr);
}

SignalTimer::~SignalTimer() {
  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previous_, nullptr);
}

long SignalTimer::count() const { return signals_seen.load(std::memory_order_relaxed); }

std::string textForReplyChecksum(int index, uint8_t checksum) {
  std::string head = "v" + std::to_string(index);
  const uint8_t base = calcXOR(("$fdb " + std::to_string(index) + " " + head).c_str());
  const int wanted = base ^ checksum;  // what the two last bytes must XOR to
  for (int first = 0x21; first <= 0xFF; ++first) {
    const int second = wanted ^ first;
    if (usableInText(first) && usableInText(second)) {
      return head + static_cast<char>(first) + static_cast<char>(second);
    }
  }
  return head;  // not reached: some pair always fits
}

}  // namespace chassis_sim
