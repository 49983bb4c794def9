// Set commands as items: the checks every interface makes on a value before it is sent.
#include "serial_driver/engine/item.h"

#include <cmath>
#include <cstring>
#include <string>

#include "serial_driver/frame.h"  // the command texts
#include "serial_driver/link_error.h"
#include "serial_driver/value_types.h"
#include "serial_driver/wire_facts.h"

namespace serial_driver {
namespace detail {

bool fillSet(Item* item, float value) {
  if (!std::isfinite(value)) return false;
  item->length = formatSetFloat(item->command, item->index, value);
  return true;
}

bool fillSet(Item* item, int value) {
  item->length = formatSetInt(item->command, item->index, value);
  return true;
}

bool fillSet(Item* item, std::string_view text) {
  // An empty view may have no data at all.
  if (textRefusal(text.empty() ? "" : text.data(), text.size()) != nullptr ||
      text.size() >= kFrameSize) {
    return false;
  }
  char value[kFrameSize];
  if (!text.empty()) memcpy(value, text.data(), text.size());
  value[text.size()] = '\0';
  const int length = formatSetText(item->command, item->index, value);
  if (!textFits(length)) return false;
  item->length = length;
  return true;
}

std::error_code takeAnswer(Item* item, const Reply& reply) {
  if (!item->is_get) {
    return judgeAck(reply, item->index) == Verdict::kAccepted ? std::error_code() : Errc::bad_reply;
  }
  void* into = item->data_type == kValueText ? item->text : item->value;
  int seen = 0;
  return judgeFeedback(reply, item->index, item->data_type, into, &seen, NumberSyntax::kExact) ==
                 Verdict::kAccepted
             ? std::error_code()
             : Errc::bad_reply;
}

void deliver(Item* item) {
  if (!item->result && item->is_get && item->data_type == kValueText) {
    static_cast<std::string*>(item->value)->assign(item->text);
  }
}

}  // namespace detail
}  // namespace serial_driver
