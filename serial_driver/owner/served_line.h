// What goes over an owner's socket: the wire protocol's own frames. A served program sends
// "$get"/"$set" frames; each line it sends gets exactly one line back, in order: the
// controller's answer frame, or a "!" line naming why the command failed ("!timeout ...",
// "!read-only ..."). Internal to the library.
#pragma once

#include <string>
#include <system_error>

#include "serial_driver/engine/item.h"
#include "serial_driver/reply.h"

namespace serial_driver {
namespace detail {

// The "!" cause of a set refused because the owner serves reads only.
inline constexpr const char* kReadOnlyCause = "read-only";
// The "!" cause of a line that is no command frame.
inline constexpr const char* kBadFrameCause = "bad-frame";
// The "!" cause of a program refused because its user may not open the port.
inline constexpr const char* kDeniedCause = "denied";
// The line that asks an owner who is attached; answered with one "!clients" line.
inline constexpr const char* kClientsQuery = "?clients";

// A served program's command line (newline included) as an item for the engine; for a get,
// the value comes as text into *value_text. False when the line is no "$get"/"$set" frame.
bool parseRequest(const char* line, int length, Item* item, std::string* value_text);

// The line that answers a finished item: its answer frame, sealed, or a "!" line for its
// failure.
std::string replyLine(const Item& item, const std::string& value_text);
// "!<cause> <why>\n" for a failure the line names.
std::string failureLine(std::error_code ec);
std::string failureLine(const char* cause, const std::string& why);

// A served program's side: what a "!" line's first token says. Unknown causes are bad_reply.
std::error_code failureOf(const char* first_token);

}  // namespace detail
}  // namespace serial_driver
