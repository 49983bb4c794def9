// The served programs' protocol: parsing their commands, writing their answers.
#include "serial_driver/owner/served_line.h"

#include <cstdio>
#include <cstring>

#include "serial_driver/frame.h"
#include "serial_driver/link_error.h"
#include "serial_driver/link_error_table.h"
#include "serial_driver/numbers.h"
#include "serial_driver/value_types.h"

namespace serial_driver {
namespace detail {

bool parseRequest(const char* line, int length, Item* item, std::string* value_text) {
  char text[kFrameSize] = {};
  if (length > kFrameSize || checkoutString(line, length, text) != 1) return false;
  char tokens[3][kFrameSize] = {};
  parseString(text, tokens);
  int index = 0;
  if (!parseIntExact(tokens[1], &index)) return false;
  *item = Item{};
  item->index = index;
  if (std::strcmp(tokens[0], "$get") == 0 && tokens[2][0] == '\0') {
    item->is_get = true;
    item->data_type = kValueText;
    item->value = value_text;
    item->length = formatGet(item->command, index);
    return true;
  }
  if (std::strcmp(tokens[0], "$set") != 0 || tokens[2][0] == '\0') return false;
  item->length = static_cast<int>(std::strlen(text));
  std::memcpy(item->command, text, static_cast<size_t>(item->length) + 1);
  return true;
}

std::string replyLine(const Item& item, const std::string& value_text) {
  if (item.result) return failureLine(item.result);
  char frame[kFrameSize] = {};
  const int length =
      item.is_get ? std::snprintf(frame, sizeof frame, "$fdb %d %s", item.index, value_text.c_str())
                  : std::snprintf(frame, sizeof frame, "$ack %d", item.index);
  // A text the controller sent fits, as its own frame did.
  if (length < 0 || length > kMaxCommandText) return failureLine(Errc::bad_reply);
  return std::string(frame, static_cast<size_t>(sealFrame(frame, length)));
}

std::string failureLine(std::error_code ec) {
  if (ec.category() != link_category() || ec.value() < 1 ||
      ec.value() > static_cast<int>(std::size(kErrcTable))) {
    return failureLine("bad-reply", ec.message());
  }
  const ErrcInfo& info = kErrcTable[ec.value() - 1];
  return failureLine(info.wire_name, info.message);
}

std::string failureLine(const char* cause, const std::string& why) {
  std::string line = std::string("!") + cause + " " + why;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line + "\n";
}

std::error_code failureOf(const char* first_token) {
  const char* cause = first_token[0] == '!' ? first_token + 1 : first_token;
  if (std::strcmp(cause, kReadOnlyCause) == 0) return Errc::rejected;
  if (std::strcmp(cause, kDeniedCause) == 0) return Errc::open_failed;
  for (const ErrcInfo& info : kErrcTable) {
    if (std::strcmp(cause, info.wire_name) == 0) return info.code;
  }
  return Errc::bad_reply;
}

}  // namespace detail
}  // namespace serial_driver
