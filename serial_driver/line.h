// The serial line the controller runs on, and the USB adapter it sits behind. Internal to the
// project: the library, its tools and its simulator share these facts.
#pragma once

#include <termios.h>

#include <chrono>

namespace serial_driver {
namespace detail {

// The controller's USB serial adapter.
constexpr char kAdapterVendor[] = "1a86";
constexpr char kAdapterProduct[] = "7523";

// The line: 8 data bits, no parity, 1 stop bit, no flow control.
constexpr int kFlowControlNone = 0;
constexpr int kDataBits = 8;
constexpr int kStopBits = 1;
constexpr int kParityNone = 'N';
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

}  // namespace detail
}  // namespace serial_driver
