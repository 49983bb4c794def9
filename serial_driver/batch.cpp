// Filling a batch: each item's command text, checked as the single calls check theirs.
#include "serial_driver/batch.h"

#include <cmath>
#include <cstring>

#include "serial_driver/frame.h"
#include "serial_driver/link_error.h"
#include "serial_driver/value_types.h"

namespace serial_driver {

Batch::Item& Batch::add(int index, bool is_get, int data_type, void* value) {
  items_.push_back(Item{index, is_get, data_type, value, {}, -1, {}, {}});
  return items_.back();
}

void Batch::get(int index, float& value) {
  Item& item = add(index, true, kValueFloat, &value);
  item.length = detail::formatGet(item.command, index);
}

void Batch::get(int index, int& value) {
  Item& item = add(index, true, kValueInt, &value);
  item.length = detail::formatGet(item.command, index);
}

void Batch::get(int index, std::string& text) {
  Item& item = add(index, true, kValueText, &text);
  item.length = detail::formatGet(item.command, index);
}

void Batch::set(int index, float value) {
  Item& item = add(index, false, 0, nullptr);
  if (std::isfinite(value)) item.length = detail::formatSetFloat(item.command, index, value);
}

void Batch::set(int index, int value) {
  Item& item = add(index, false, 0, nullptr);
  item.length = detail::formatSetInt(item.command, index, value);
}

void Batch::set(int index, std::string_view text) {
  Item& item = add(index, false, 0, nullptr);
  if (detail::textRefusal(text.empty() ? "" : text.data(), text.size()) != nullptr ||
      text.size() >= kFrameSize) {
    return;
  }
  char value[kFrameSize];
  if (!text.empty()) memcpy(value, text.data(), text.size());
  value[text.size()] = '\0';
  const int length = detail::formatSetText(item.command, index, value);
  if (detail::textFits(length)) item.length = length;
}

void Batch::set(int index, const char* text) {
  if (text == nullptr) {
    add(index, false, 0, nullptr);
    return;
  }
  set(index, std::string_view(text));
}

}  // namespace serial_driver
