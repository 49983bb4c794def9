#include "serial_driver/uart.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "serial_driver/line.h"
#include "serial_driver/log.h"

namespace {

constexpr int kPortFlags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;

// A daemon may run with stdin, stdout or stderr closed; a port that landed on one of their
// numbers would be taken for failure (0) or receive the log lines (1). Moved above 2, the port
// never shares a standard stream's number.
int openPort(const char* port) {
  // A node that is gone is not opened: the open could only fail, and some tty layers (umockdev's
  // preload, for one) keep a slot for every failed open until they run out.
  if (access(port, F_OK) != 0) return -1;
  const int fd = open(port, kPortFlags);
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  close(fd);
  return moved;
}

}  // namespace

int uart_open(const char* port) {
  // No FIFO is created at a missing path: one would make the next open "succeed" on it and
  // block the device node when the adapter comes back.
  int fd = openPort(port);
  if (fd <= 0) {
    SD_LOG(LogLevel::WARN, "Can't Open Serial Port, ReOpen again");
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
  int fd = openPort(port);
  if (fd <= 0) {
    SD_LOG(LogLevel::ERROR, "Can't Open Serial Port");
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
  if (const speed_t constant = serial_driver::detail::baudConstant(speed); constant != 0) {
    cfsetispeed(&options, constant);
    cfsetospeed(&options, constant);
  }

  options.c_cflag |= CLOCAL | CREAD;

  switch (flow_ctrl) {
    case 0:
      options.c_cflag &= ~CRTSCTS;
      break;
    case 1:
      options.c_cflag |= CRTSCTS;
      break;
    case 2:
      options.c_iflag |= IXON | IXOFF | IXANY;
      break;
    default:
      break;
  }

  options.c_cflag &= ~CSIZE;
  switch (databits) {
    case 5:
      options.c_cflag |= CS5;
      break;
    case 6:
      options.c_cflag |= CS6;
      break;
    case 7:
      options.c_cflag |= CS7;
      break;
    case 8:
      options.c_cflag |= CS8;
      break;
    default:
      // Standard error on purpose, not the log: callers of uart_set rely on this exact text.
      fprintf(stderr, "Unsupported data size\n");
      return 0;
  }

  switch (parity) {
    case 'n':
    case 'N':
      options.c_cflag &= ~PARENB;
      options.c_iflag &= ~INPCK;
      break;
    case 'o':
    case 'O':
      options.c_cflag |= PARENB | PARODD;
      options.c_iflag |= INPCK;
      break;
    case 'e':
    case 'E':
      options.c_cflag |= PARENB;
      options.c_cflag &= ~PARODD;
      options.c_iflag |= INPCK;
      break;
    case 's':
    case 'S':
      options.c_cflag &= ~PARENB;
      break;
    default:
      SD_LOG(LogLevel::ERROR, "Unsupported parity");
      return 0;
  }

  switch (stopbits) {
    case 1:
      options.c_cflag &= ~CSTOPB;
      break;
    case 2:
      options.c_cflag |= CSTOPB;
      break;
    default:
      SD_LOG(LogLevel::ERROR, "Unsupported stop bits");
      return 0;
  }

  // A fresh tty translates CR to NL and takes 0x11/0x13 as XON/XOFF; checksum bytes take every
  // value, so input is passed through untouched unless software flow control was asked for.
  options.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC);
  if (flow_ctrl != 2) options.c_iflag &= ~(IXON | IXOFF | IXANY);
  options.c_oflag &= ~OPOST;
  options.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
  options.c_cc[VTIME] = 1;
  options.c_cc[VMIN] = 1;

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
