// Every Errc with its message and its names in Python: the category, the Python module's
// exceptions and enum, and the check of its type stubs all read this one table. Internal.
#pragma once

#include <iterator>

#include "serial_driver/link_error.h"

namespace serial_driver {
namespace detail {

struct ErrcInfo {
  Errc code;
  const char* python_name;  // the member of serial_driver.Errc
  const char* exception;    // the exception class raised for it
  const char* message;
  const char* wire_name;  // on an owner's socket: "!timeout"
};

inline constexpr ErrcInfo kErrcTable[] = {
    {Errc::not_found, "NOT_FOUND", "NotFoundError", "no such adapter or device is attached",
     "not-found"},
    {Errc::open_failed, "OPEN_FAILED", "OpenFailedError",
     "the port could not be opened or configured", "open-failed"},
    {Errc::bad_baud, "BAD_BAUD", "BadBaudError", "unsupported baud rate", "bad-baud"},
    {Errc::not_open, "NOT_OPEN", "NotOpenError", "the link is not open", "not-open"},
    {Errc::send_failed, "SEND_FAILED", "SendFailedError", "the command could not be sent",
     "send-failed"},
    {Errc::hung_up, "HUNG_UP", "HungUpError", "the port hung up (adapter unplugged?)", "hung-up"},
    {Errc::timeout, "TIMEOUT", "TimeoutError", "no valid reply in time", "timeout"},
    {Errc::rejected, "REJECTED", "RejectedError", "the controller refused the command", "rejected"},
    {Errc::bad_reply, "BAD_REPLY", "BadReplyError", "the reply does not answer the command",
     "bad-reply"},
    {Errc::bad_value, "BAD_VALUE", "BadValueError", "the value cannot be sent", "bad-value"},
    {Errc::cancelled, "CANCELLED", "CancelledError", "the operation was cancelled", "cancelled"},
    {Errc::busy, "BUSY", "BusyError", "the port is held by another program", "busy"},
};

// The table lists every code once, in the enum's order from 1: a code's entry is
// kErrcTable[code - 1].
constexpr bool tableInEnumOrder() {
  for (size_t i = 0; i < std::size(kErrcTable); ++i) {
    if (static_cast<size_t>(kErrcTable[i].code) != i + 1) return false;
  }
  return true;
}
static_assert(tableInEnumOrder(), "kErrcTable must follow Errc's order");
static_assert(static_cast<size_t>(Errc::busy) == std::size(kErrcTable),
              "every Errc needs an entry in kErrcTable: the last code is its size");

}  // namespace detail
}  // namespace serial_driver
