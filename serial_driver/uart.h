// The serial line: open, configure, move bytes, flush and close a tty with POSIX calls.
// Open operations return a descriptor >= 1, or 0 on failure; transfers return a byte count,
// 0 when the call would have had to wait, -1 on any other error (errno as the system set it).
#pragma once

#include "serial_driver_export.h"

SERIAL_DRIVER_EXPORT int uart_open(const char* port);
SERIAL_DRIVER_EXPORT int uart_open_no_block(const char* port);
SERIAL_DRIVER_EXPORT void uart_close(int fd);

// parity is a character code: 'N', 'O', 'E' or 'S' (either case).
SERIAL_DRIVER_EXPORT int uart_set(int fd, int speed, int flow_ctrl, int databits, int stopbits,
                                  int parity);

SERIAL_DRIVER_EXPORT int uart_send(int fd, const char* send_buf, int data_len);
SERIAL_DRIVER_EXPORT int uart_recv(int fd, char* rcv_buf, int data_len);
SERIAL_DRIVER_EXPORT int uart_recv_no_block(int fd, char* rcv_buf, int data_len);
SERIAL_DRIVER_EXPORT int clear_receive_buf(const int fd);
