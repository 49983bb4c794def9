// A software CH340 (1a86:7523) on the USB-host side of a usbredir connection: QEMU's usb-redir
// device presents it to a guest, whose own ch341 driver binds to it. Its serial side is a
// Controller, reached through a socket pair.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "chassis_sim/controller.h"

struct usbredirparser;

namespace chassis_sim {

class RedirCh340 {
 public:
  // `redir_fd` is connected to QEMU's usb-redir chardev and becomes this object's.
  RedirCh340(int redir_fd, Controller& controller);
  ~RedirCh340();
  RedirCh340(const RedirCh340&) = delete;
  RedirCh340& operator=(const RedirCh340&) = delete;

  // Plugs the adapter in, with a USB serial number or none (as many real ones have).
  void plug(std::optional<std::string> serial);
  // The usbredir disconnect, as when the cable is pulled.
  void unplug();

  // One turn of a poll loop serving several chips: `addPollFds` appends this chip's two
  // descriptors (QEMU's socket, the controller's line); `service` takes the same two entries
  // after poll(). False once QEMU has gone.
  void addPollFds(std::vector<pollfd>& fds) const;
  bool service(const pollfd* fds);

  // The line as the guest's driver programmed the chip's registers.
  int baud() const;             // 0 until the divisor is written
  uint8_t lineControl() const;  // register 0x18: 0xc3 is 8N1 with receive and transmit on
  // The rate the controller's side of the line runs at (always 8N1). Bytes are garbled in both
  // directions while the chip's rate is more than 2 % away from it, or its data bits, parity or
  // stop bits are other than 8N1, as on a real line.
  void setControllerBaud(int baud);

  // The modem lines as the guest's driver set them (DTR, RTS), and the flow-control register:
  // non-zero is RTS/CTS flow control, under which the chip holds its output while CTS is low.
  bool dtr() const { return dtr_; }
  bool rts() const { return rts_; }
  uint8_t flowControl() const;
  // CTS from the controller's side, reported to the driver as a modem status change.
  void setCts(bool on);
  // A controller that resets when the host asserts DTR (the pin falls; an auto-reset circuit):
  // it ignores the line for `boot` and then prints `banner`. A zero `boot` turns it off.
  void setResetOnDtr(std::chrono::milliseconds boot, std::string banner);

 private:
  friend struct RedirCallbacks;
  void sendConnect();
  void answerControl(uint64_t id, const void* header, int length);
  void fromGuest(const uint8_t* data, int length);
  void fillReads();
  bool lineMatches() const;
  void garbleIfLinesDiffer(std::string& bytes) const;
  void applyPacing();
  void setModemControl(uint8_t value);
  void reportModemStatus();
  void toController(const std::string& bytes);
  void finishBoot();

  int redir_fd_;
  int serial_fd_ = -1;  // our end of the pair; the controller serves the other
  int controller_fd_ = -1;
  Controller& controller_;
  usbredirparser* parser_ = nullptr;
  bool hello_ = false;
  bool plugged_ = false;
  bool connected_ = false;
  bool awaiting_ack_ = false;
  std::optional<std::string> serial_;
  uint8_t registers_[256] = {};
  int controller_baud_ = 115200;
  std::deque<std::pair<uint64_t, int>> reads_;  // pending bulk IN requests: id, length
  std::string to_guest_;
  std::string held_;  // for the controller, held by flow control
  bool dtr_ = false;
  bool rts_ = false;
  bool cts_ = true;
  bool interrupt_started_ = false;
  uint64_t interrupt_id_ = 0;
  std::chrono::milliseconds boot_time_{0};
  std::string banner_;
  bool booting_ = false;
  std::chrono::steady_clock::time_point boot_end_;
};

}  // namespace chassis_sim
