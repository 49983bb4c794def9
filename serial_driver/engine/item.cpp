// Set commands as items: the checks every interface makes on a value before it is sent.
#include "serial_driver/engine/item.h"

#include <cmath>
#include <cstring>

#include "serial_driver/frame.h"  // the command texts
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

}  // namespace detail
}  // namespace serial_driver
