// Building command frames: the command texts, the rule for a text value that may go on the
// wire, and sealing a text with its checksum byte and newline. Internal to the library.
#pragma once

#include <cstddef>

#include "serial_driver/codec.h"
#include "serial_driver/wire_facts.h"  // textFits, textRoom, wireText

namespace serial_driver {
namespace detail {

// Command texts, NUL-terminated in buf (at least 64 bytes). Each returns the length the whole
// text has, as snprintf does; numbers always fit, a text value may not (textFits, wire_facts.h).
int formatSetFloat(char* buf, int index, float value);
int formatSetInt(char* buf, int index, int value);
int formatSetText(char* buf, int index, const char* text);
int formatGet(char* buf, int index);

// Why a text value cannot go on the wire, or nullptr when it can: a null pointer would be sent
// as "(null)", a NUL would end it early, a newline would end the frame and smuggle the rest in
// as frames.
const char* textRefusal(const char* text, size_t length);
// Appends the checksum byte and newline to the length-byte text in buf; the frame's size.
int sealFrame(char* buf, int length);

}  // namespace detail
}  // namespace serial_driver
