// The frame codec, the bottom of the protocol: checksum, frame check and tokenising.
//
// A frame is its text ("$set 5 1.500"), one raw XOR checksum byte of the text and a newline;
// "!" frames carry no checksum. Every frame, newline included, fits 64 bytes.
#pragma once

#include <cstdint>

#include "serial_driver/value_types.h"  // code that took the type codes from here keeps them
#include "serial_driver_export.h"

// Size of every frame buffer, and the most bytes one frame may take on the wire.
constexpr int kFrameSize = 64;

// Longest command text: text, checksum byte and newline fit one frame.
constexpr int kMaxCommandText = kFrameSize - 2;

// XOR of the bytes of a NUL-terminated text.
SERIAL_DRIVER_EXPORT uint8_t calcXOR(const char* string);
// 1 when the first len bytes of buf are exactly one valid frame; its text then goes to
// string (64 bytes, NUL-terminated).
SERIAL_DRIVER_EXPORT int checkoutString(const char* buf, const int len, char* string);
// Splits a frame text into token 0, token 1 and the rest (blanks included) in rows 0-2.
SERIAL_DRIVER_EXPORT int parseString(const char* s, char (*ss)[64]);
