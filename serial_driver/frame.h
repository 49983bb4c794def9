// Building command frames: the command texts, the rule for a text value that fits a frame, and
// sealing a text with its checksum byte and newline. Internal to the library.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdio>
#include <string>

#include "serial_driver/codec.h"

namespace serial_driver {
namespace detail {

// Command texts, NUL-terminated in buf (at least 64 bytes). Each returns the length the whole
// text has, as snprintf does; numbers always fit, a text value may not (see textFits).
int formatSetFloat(char* buf, int index, float value);
int formatSetInt(char* buf, int index, int value);
int formatSetText(char* buf, int index, const char* text);
int formatGet(char* buf, int index);

// Why a text value cannot go on the wire, or nullptr when it can: a null pointer would be sent
// as "(null)", a NUL would end it early, a newline would end the frame and smuggle the rest in
// as frames.
const char* textRefusal(const char* text, size_t length);
// True when a command text of this length (as the format functions return it) fits a frame
// with its checksum byte and newline.
constexpr bool textFits(int length) { return length >= 0 && length <= kMaxCommandText; }
// The most bytes a text value may have in "$set <index> <text>". Inline, as wireText below:
// the tools use them too.
inline int textRoom(int index) {
  char prefix[kFrameSize];
  return kMaxCommandText - snprintf(prefix, sizeof prefix, "$set %d ", index);
}

// The text a float value becomes on the wire, as "%.3f" writes it in the C locale.
inline std::string wireText(float value) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 3);
  return std::string(text, result.ptr);
}

// Appends the checksum byte and newline to the length-byte text in buf; the frame's size.
int sealFrame(char* buf, int length);

}  // namespace detail
}  // namespace serial_driver
