// One command of an operation: a single call is one item, a Batch holds several. Internal to
// the library.
#pragma once

#include <string_view>
#include <system_error>

#include "serial_driver/codec.h"
#include "serial_driver/reply.h"

namespace serial_driver {
namespace detail {

struct Item {
  int index = 0;
  bool is_get = false;
  int data_type = 0;      // for a get: kValueFloat, kValueInt or kValueText
  void* value = nullptr;  // the caller's float, int or std::string
  char command[kFrameSize] = {};
  int length = -1;  // of the command text; < 0: not to be sent (bad_value)
  std::error_code result;
  char text[kFrameSize] = {};  // a text reply until it is known good
};

// A set's command text, checked as every interface checks it: false (and nothing to send)
// for a value that cannot go on the wire.
bool fillSet(Item* item, float value);
bool fillSet(Item* item, int value);
bool fillSet(Item* item, std::string_view text);

// Takes reply as the item's answer: for a get, its value (a number stored at once, a text kept
// in item.text until deliver()); bad_reply when it does not answer the item.
std::error_code takeAnswer(Item* item, const Reply& reply);
// Hands a text read to the caller, once the item is known good.
void deliver(Item* item);

}  // namespace detail
}  // namespace serial_driver
