// Facts of the wire the controller talks on: its USB adapter, the line's rates and byte time,
// the classic reply window, and the room a frame leaves a value. The library's headers take
// them from here, and so do the tools, the Python module, the simulator, the benchmarks and
// the kernel lane, which need nothing else of the library's insides. Internal to the project.
#pragma once

#include <termios.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <string>

#include "serial_driver/codec.h"  // kFrameSize, kMaxCommandText: public, clients size buffers

namespace serial_driver {
namespace detail {

// The controller's USB serial adapter.
constexpr char kAdapterVendor[] = "1a86";
constexpr char kAdapterProduct[] = "7523";

// A start bit, 8 data bits and a stop bit.
constexpr int kBitsPerByte = 10;

// One byte's time on the wire at a rate: 86.8 us at 115200.
constexpr std::chrono::nanoseconds byteTime(int baud) {
  return std::chrono::nanoseconds(kBitsPerByte * 1000000000LL / baud);
}

// The rates the line settings know, fastest first, with their termios speed constants.
struct LineRate {
  int baud;
  speed_t speed;
};
constexpr LineRate kLineRates[] = {{115200, B115200}, {38400, B38400}, {19200, B19200},
                                   {9600, B9600},     {4800, B4800},   {2400, B2400},
                                   {1200, B1200},     {300, B300}};

// The termios speed constant of a rate of the table, or 0 when the table does not know it.
constexpr speed_t baudConstant(int baud) {
  for (const LineRate& rate : kLineRates) {
    if (rate.baud == baud) return rate.speed;
  }
  return 0;
}

// The classic reply wait: kReplyPolls looks at the line, kPollPause apart, the first at once.
// Both interfaces look at the line until at least kLastLook after sending.
constexpr int kReplyPolls = 11;
constexpr std::chrono::microseconds kPollPause{1000};
constexpr std::chrono::microseconds kReplyWindow = kReplyPolls * kPollPause;  // 11 ms
constexpr std::chrono::microseconds kLastLook = (kReplyPolls - 1) * kPollPause;

// True when a command text of this length (as snprintf returns it) fits a frame with its
// checksum byte and newline.
constexpr bool textFits(int length) { return length >= 0 && length <= kMaxCommandText; }

// The most bytes a text value may have in "$set <index> <text>".
inline int textRoom(int index) {
  char prefix[kFrameSize];
  return kMaxCommandText - snprintf(prefix, sizeof prefix, "$set %d ", index);
}

// The text a float value becomes on the wire, as "%.3f" writes it in the C locale.
inline std::string wireText(float value) {
  char text[kFrameSize];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 3);
  return std::string(text, result.ptr);
}

}  // namespace detail
}  // namespace serial_driver
