// Filling a batch: each item's command text, checked as the single calls check theirs.
#include "serial_driver/batch.h"

#include <vector>

#include "serial_driver/engine/item.h"
#include "serial_driver/frame.h"
#include "serial_driver/value_types.h"

namespace serial_driver {

struct Batch::Items {
  std::vector<detail::Item> list;
};

// The items come with the first one: a moved-from batch has none and is still usable.
Batch::Batch() = default;
Batch::~Batch() = default;
Batch::Batch(const Batch& other) : items_(other.items_ ? new Items(*other.items_) : nullptr) {}
Batch& Batch::operator=(const Batch& other) {
  if (this != &other) items_.reset(other.items_ ? new Items(*other.items_) : nullptr);
  return *this;
}
Batch::Batch(Batch&& other) noexcept = default;
Batch& Batch::operator=(Batch&& other) noexcept = default;

size_t Batch::size() const { return items_ ? items_->list.size() : 0; }

std::error_code Batch::result(size_t i) const {
  return i < size() ? items_->list[i].result : make_error_code(Errc::bad_value);
}

void Batch::clear() {
  if (items_) items_->list.clear();
}

detail::Item* Batch::items() { return items_ ? items_->list.data() : nullptr; }

detail::Item& Batch::add(int index, bool is_get, int data_type, void* value) {
  if (!items_) items_.reset(new Items);
  detail::Item& item = items_->list.emplace_back();
  item.index = index;
  item.is_get = is_get;
  item.data_type = data_type;
  item.value = value;
  if (is_get) item.length = detail::formatGet(item.command, index);
  return item;
}

void Batch::get(int index, float& value) { add(index, true, kValueFloat, &value); }
void Batch::get(int index, int& value) { add(index, true, kValueInt, &value); }
void Batch::get(int index, std::string& text) { add(index, true, kValueText, &text); }

void Batch::set(int index, float value) { detail::fillSet(&add(index, false, 0, nullptr), value); }
void Batch::set(int index, int value) { detail::fillSet(&add(index, false, 0, nullptr), value); }
void Batch::set(int index, std::string_view text) {
  detail::fillSet(&add(index, false, 0, nullptr), text);
}

void Batch::set(int index, const char* text) {
  if (text == nullptr) {
    add(index, false, 0, nullptr);
    return;
  }
  set(index, std::string_view(text));
}

}  // namespace serial_driver
