// serial_driver: talk to a chassis controller behind a 1a86:7523 USB serial adapter.
//
//   SerialDriver driver{};
//   std::string dev;
//   if (driver.init("ABC123", dev, 115200)) {   // USB serial number, node found, baud rate
//     float speed = 1.5f;
//     driver.setEntry(5, &speed);                // "$set 5 1.500", waits for "$ack 5"
//     driver.getEntry(5, &speed);                // "$get 5", waits for "$fdb 5 <value>"
//     driver.close();
//   }
//
// Every exchange is one frame out and one reply back within about 11 ms. After 151 failed
// exchanges in a row the driver reopens the port by itself. Use one object from one thread at a
// time; separate objects on separate ports may run in separate threads.
#ifndef SERIAL_DRIVER_H_
#define SERIAL_DRIVER_H_

#include <string>

#include "serial_driver_export.h"

class SERIAL_DRIVER_EXPORT SerialDriver {
 public:
  // Finds the adapter whose USB serial number is portname, puts its node path in dev, opens it
  // and sets baudRate 8N1 raw. False when no such adapter is attached or it cannot be opened.
  bool init(const std::string& portname, std::string& dev, int baudRate);
  // Closes the port; a second close does nothing.
  void close();

  // Writes an entry and waits for the controller's acknowledgement. Called on a driver whose
  // last init failed to open the port, these end the process with status 1.
  bool setEntry(int index, const float* data_address);
  bool setEntry(int index, const int* data_address);
  // The text must fit one frame: "$set <index> <text>" at most 62 characters.
  bool setEntry(int index, const char* data_address);

  // Reads an entry. The text form needs a buffer of at least 56 bytes.
  bool getEntry(int index, float* data_address);
  bool getEntry(int index, int* data_address);
  bool getEntry(int index, char* data_address);

 private:
  bool handleTimeout(int res);

  int fd_ = 0;
  bool isOpened_ = false;
  int conn_timeout_cnt_ = 0;
  int baud_rate_ = 0;
  std::string portname_;
};

#endif  // SERIAL_DRIVER_H_
