// The controller protocol's building blocks: frame codec, link wrappers and reply waits.
//
// A frame is its text ("$set 5 1.500"), one raw XOR checksum byte of the text and a newline;
// "!" frames carry no checksum. Every frame, newline included, fits 64 bytes.
#pragma once

#include <serial_driver.h>  // the SerialDriver class

#include <cstdint>

#include "serial_driver_export.h"

// Size of every frame buffer, and the most bytes one frame may take on the wire.
constexpr int kFrameSize = 64;

// Value type codes for getFeedback.
constexpr int kValueInt = 1;
constexpr int kValueFloat = 2;
constexpr int kValueText = 3;

// XOR of the bytes of a NUL-terminated text.
SERIAL_DRIVER_EXPORT uint8_t calcXOR(const char* string);
// 1 when the first len bytes of buf are exactly one valid frame; its text then goes to
// string (64 bytes, NUL-terminated).
SERIAL_DRIVER_EXPORT int checkoutString(const char* buf, const int len, char* string);
// Splits a frame text into token 0, token 1 and the rest (blanks included) in rows 0-2.
SERIAL_DRIVER_EXPORT int parseString(const char* s, char (*ss)[64]);

// Writes a whole frame: len on success, 0 on any shortfall (logged, throttled).
SERIAL_DRIVER_EXPORT int transmit(int fd, char* data_address, int len);
// Reads what is waiting, without waiting.
SERIAL_DRIVER_EXPORT int receive(int fd, char* data_address, int len);
// Closes fd when it is above 0 and ends the process with status 1.
[[noreturn]] SERIAL_DRIVER_EXPORT void exit_serial_driver(int fd);

// Waits up to 11 polls 1 ms apart for "$ack <index>": 1 when it came, else 0.
SERIAL_DRIVER_EXPORT int checkAck(int fd, int index);
// Waits the same way for "$fdb <index> <value>" and stores the value by data_type
// (kValueInt, kValueFloat, kValueText: a buffer of at least 56 bytes): 1 when stored, else 0.
SERIAL_DRIVER_EXPORT int getFeedback(int fd, int index, int data_type, void* data_address);
