// The classic interface's building blocks: the frame codec, link wrappers and reply waits.
#pragma once

#include <serial_driver.h>  // the SerialDriver class

#include "serial_driver/codec.h"
#include "serial_driver/value_types.h"
#include "serial_driver_export.h"

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
