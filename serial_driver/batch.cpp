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

Batch::Batch() : items_(new Items) {}
Batch::~Batch() = default;
Batch::Batch(const Batch& other) : items_(new Items(*other.items_)) {}
Batch& Batch::operator=(const Batch& other) {
  if (this != &other) *items_ = *other.items_;
  return *this;
}
// A moved-from batch is empty and still usable.
Batch::Batch(Batch&& other) noexcept : items_(new Items) { items_.swap(other.items_); }
Batch& Batch::operator=(Batch&& other) noexcept {
  items_.swap(other.items_);
  other.items_->list.clear();
  return *this;
}

size_t Batch::size() const { return items_->list.size(); }

std::error_code Batch::result(size_t i) const {
  return i < items_->list.size() ? items_->list[i].result : make_error_code(Errc::bad_value);
}

void Batch::clear() { items_->list.clear(); }

detail::Item* Batch::items() { return items_->list.data(); }

detail::Item& Batch::add(int index, bool is_get, int data_type, void* value) {
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
