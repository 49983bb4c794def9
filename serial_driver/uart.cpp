// The classic serial-line functions: their results and log lines over the port's descriptor
// operations.
#include "serial_driver/uart.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "serial_driver/log.h"
#include "serial_driver/port.h"
#include "serial_driver/wire_facts.h"

using serial_driver::detail::LineFault;

namespace {

// An open descriptor (above 0), or 0 when the node cannot be opened; *error says why.
int openOrZero(const char* port, std::error_code* error) {
  int fd = 0;
  *error = serial_driver::detail::openNode(port, &fd);
  return *error ? 0 : fd;
}

}  // namespace

int uart_open(const char* port) {
  // No FIFO is created at a missing path: one would make the next open "succeed" on it and
  // block the device node when the adapter comes back.
  std::error_code error;
  const int fd = openOrZero(port, &error);
  if (fd <= 0) {
    SD_LOG(LogLevel::WARN, "Can't Open Serial Port, ReOpen again");
    SD_LOG(LogLevel::WARN, port, error.message());
    return 0;
  }
  // Clearing every status flag makes the descriptor blocking; O_CLOEXEC is a descriptor flag
  // and is kept.
  if (fcntl(fd, F_SETFL, 0) < 0) {
    close(fd);
    SD_LOG(LogLevel::INFO, "fcntl failed!\n");
    return 0;
  }
  SD_LOG(LogLevel::INFO, "fcntl=" + std::to_string(fcntl(fd, F_SETFL, 0)));
  SD_LOG(LogLevel::INFO, "fd->open=", fd);
  return fd;
}

int uart_open_no_block(const char* port) {
  std::error_code error;
  const int fd = openOrZero(port, &error);
  if (fd <= 0) {
    SD_LOG(LogLevel::ERROR, "Can't Open Serial Port");
    SD_LOG(LogLevel::ERROR, port, error.message());
    return 0;
  }
  SD_LOG(LogLevel::INFO, "Open Serial Port!");
  SD_LOG(LogLevel::INFO, "fd->open=", fd);
  return fd;
}

void uart_close(int fd) { close(fd); }

int uart_set(int fd, int speed, int flow_ctrl, int databits, int stopbits, int parity) {
  termios options{};
  if (tcgetattr(fd, &options) != 0) {
    SD_LOG(LogLevel::ERROR, "SetupSerial 1");
    return 0;
  }
  // An unknown rate keeps the speeds the port already has.
  const speed_t constant = serial_driver::detail::baudConstant(speed);
  switch (
      serial_driver::detail::makeRaw(&options, constant, flow_ctrl, databits, stopbits, parity)) {
    case LineFault::kDataBits:
      // Standard error on purpose, not the log: callers of uart_set rely on this exact text.
      fprintf(stderr, "Unsupported data size\n");
      return 0;
    case LineFault::kParity:
      SD_LOG(LogLevel::ERROR, "Unsupported parity");
      return 0;
    case LineFault::kStopBits:
      SD_LOG(LogLevel::ERROR, "Unsupported stop bits");
      return 0;
    case LineFault::kNone:
      break;
  }
  tcflush(fd, TCIFLUSH);
  if (tcsetattr(fd, TCSANOW, &options) != 0) {
    SD_LOG(LogLevel::ERROR, "com setEntry error!");
    return 0;
  }
  const int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  return 1;
}

// A signal that arrives as a tty write or read starts ends it with EINTR, even on a
// non-blocking port: nothing moved, so the call is made again.
int uart_send(int fd, const char* send_buf, int data_len) {
  int j = 0;
  do {
    j = static_cast<int>(write(fd, send_buf, data_len));
  } while (j < 0 && errno == EINTR);
  if (j < 0 && errno == EAGAIN) return 0;
  return j;
}

int uart_recv(int fd, char* rcv_buf, int data_len) {
  int len = 0;
  do {
    len = static_cast<int>(read(fd, rcv_buf, data_len));
  } while (len < 0 && errno == EINTR);
  if (len < 0 && errno == EAGAIN) return 0;
  return len;
}

int uart_recv_no_block(int fd, char* rcv_buf, int data_len) {
  return uart_recv(fd, rcv_buf, data_len);
}

int clear_receive_buf(const int fd) { return tcflush(fd, TCIFLUSH); }
