// Defaults both interfaces share.
#pragma once

namespace serial_driver {

// The line's rate when none is chosen.
inline constexpr int kDefaultBaud = 115200;
// The failed exchange in a row on which an interface reopens the port by itself.
inline constexpr int kReconnectAfter = 151;

}  // namespace serial_driver
