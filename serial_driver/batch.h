// A control cycle's entries in one exchange: the gets and sets a loop makes every cycle, sent
// with up to LinkOptions::max_in_flight commands on the line before their replies, and matched
// to their replies by kind and index.
//
//   serial_driver::Batch batch;        // reuse it: once warmed up a cycle allocates nothing
//   batch.get(5, speed_left);          // written only on success
//   batch.set(1, 0.25f);               // checked as ChassisLink::set checks it
//   std::error_code ec = link.exchange(batch);  // the first failure in item order, or {}
//   if (batch.result(0)) { ... }
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "serial_driver/codec.h"
#include "serial_driver/link_error.h"
#include "serial_driver_export.h"

namespace serial_driver {

class ChassisLink;

namespace detail {
// One entry of a batch: its command, where a get's value goes, and its result.
struct BatchItem {
  int index = 0;
  bool is_get = false;
  int data_type = 0;      // for a get: kValueFloat, kValueInt or kValueText
  void* value = nullptr;  // the caller's float, int or std::string
  char command[kFrameSize] = {};
  int length = -1;  // of the command text; < 0: not to be sent (bad_value)
  std::error_code result;
  char text[kFrameSize] = {};  // a text reply until it is known good
};
}  // namespace detail

class SERIAL_DRIVER_EXPORT Batch {
 public:
  void get(int index, float& value);
  void get(int index, int& value);
  void get(int index, std::string& text);
  void set(int index, float value);
  void set(int index, int value);
  void set(int index, std::string_view text);
  void set(int index, const char* text);  // a null pointer is bad_value

  size_t size() const { return items_.size(); }
  // Item i's result after ChassisLink::exchange; a value that cannot be sent is bad_value at
  // once, and so is an i past the end.
  std::error_code result(size_t i) const {
    return i < items_.size() ? items_[i].result : make_error_code(Errc::bad_value);
  }
  // Empties the batch and keeps its room.
  void clear() { items_.clear(); }

 private:
  friend class ChassisLink;
  using Item = detail::BatchItem;
  SERIAL_DRIVER_NO_EXPORT Item& add(int index, bool is_get, int data_type, void* value);

  std::vector<Item> items_;
};

}  // namespace serial_driver
