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
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "serial_driver/link_error.h"
#include "serial_driver_export.h"

namespace serial_driver {

class ChassisLink;

namespace detail {
struct Item;
}

class SERIAL_DRIVER_EXPORT Batch {
 public:
  Batch();
  ~Batch();
  Batch(const Batch& other);
  Batch& operator=(const Batch& other);
  Batch(Batch&& other) noexcept;
  Batch& operator=(Batch&& other) noexcept;

  void get(int index, float& value);
  void get(int index, int& value);
  void get(int index, std::string& text);
  void set(int index, float value);
  void set(int index, int value);
  void set(int index, std::string_view text);
  void set(int index, const char* text);  // a null pointer is bad_value

  size_t size() const;
  // Item i's result after ChassisLink::exchange; a value that cannot be sent is bad_value at
  // once, and so is an i past the end.
  std::error_code result(size_t i) const;
  // Empties the batch and keeps its room.
  void clear();

 private:
  friend class ChassisLink;
  struct Items;
  SERIAL_DRIVER_NO_EXPORT detail::Item& add(int index, bool is_get, int data_type, void* value);
  SERIAL_DRIVER_NO_EXPORT detail::Item* items();

  std::unique_ptr<Items> items_;
};

}  // namespace serial_driver
