// The serial line's settings as the library configures it. The rates, the byte time and the
// adapter's ids are wire facts (wire_facts.h). Internal to the library.
#pragma once

#include "serial_driver/wire_facts.h"

namespace serial_driver {
namespace detail {

// The line: 8 data bits, no parity, 1 stop bit, no flow control.
constexpr int kFlowControlNone = 0;
constexpr int kDataBits = 8;
constexpr int kStopBits = 1;
constexpr int kParityNone = 'N';

}  // namespace detail
}  // namespace serial_driver
