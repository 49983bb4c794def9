#include "serial_driver/uart.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "serial_driver/log.h"

namespace {

constexpr int kPortFlags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;

const int speed_arr[8] = {B115200, B38400, B19200, B9600, B4800, B2400, B1200, B300};
const int name_arr[8] = {115200, 38400, 19200, 9600, 4800, 2400, 1200, 300};

// Descriptor 0 means failure to every caller, so an open that lands on it (stdin was closed)
// must not keep it: closing it here is the only way it does not leak.
int openPort(const char* port) {
  int fd = open(port, kPortFlags);
  if (fd == 0) {
    close(fd);
    fd = -1;
  }
  return fd;
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
  for (int i = 0; i < 8; ++i) {
    if (speed == name_arr[i]) {
      cfsetispeed(&options, speed_arr[i]);
      cfsetospeed(&options, speed_arr[i]);
    }
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

int uart_send(int fd, const char* send_buf, int data_len) {
  const int j = static_cast<int>(write(fd, send_buf, data_len));
  if (j < 0 && errno == EAGAIN) return 0;
  return j;
}

int uart_recv(int fd, char* rcv_buf, int data_len) {
  const int len = static_cast<int>(read(fd, rcv_buf, data_len));
  if (len < 0 && errno == EAGAIN) return 0;
  return len;
}

int uart_recv_no_block(int fd, char* rcv_buf, int data_len) {
  return uart_recv(fd, rcv_buf, data_len);
}

int clear_receive_buf(const int fd) { return tcflush(fd, TCIFLUSH); }
