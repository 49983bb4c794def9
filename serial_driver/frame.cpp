// Command frames: their texts in the C locale, the text-value rule and sealing.
#include "serial_driver/frame.h"

#include <cstdio>
#include <cstring>

#include "serial_driver/numbers.h"

namespace serial_driver {
namespace detail {

int formatSetFloat(char* buf, int index, float value) {
  CLocaleScope c_locale;
  return snprintf(buf, kFrameSize, "$set %d %.3f", index, static_cast<double>(value));
}

int formatSetInt(char* buf, int index, int value) {
  return snprintf(buf, kFrameSize, "$set %d %d", index, value);
}

int formatSetText(char* buf, int index, const char* text) {
  return snprintf(buf, kFrameSize, "$set %d %s", index, text);
}

int formatGet(char* buf, int index) { return snprintf(buf, kFrameSize, "$get %d", index); }

const char* textRefusal(const char* text, size_t length) {
  if (text == nullptr) return "text value is a null pointer, nothing sent";
  if (memchr(text, '\n', length) != nullptr) return "text value holds a newline, nothing sent";
  if (memchr(text, '\0', length) != nullptr) return "text value holds a NUL byte, nothing sent";
  return nullptr;
}

int sealFrame(char* buf, int length) {
  buf[length] = static_cast<char>(calcXOR(buf));
  buf[length + 1] = '\n';
  return length + 2;
}

}  // namespace detail
}  // namespace serial_driver
