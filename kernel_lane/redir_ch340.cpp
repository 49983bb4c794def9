#include "kernel_lane/redir_ch340.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "serial_driver/wire_facts.h"

namespace chassis_sim {
namespace {

using serial_driver::detail::kAdapterProduct;
using serial_driver::detail::kAdapterVendor;

// A USB id as the descriptor holds it, from its hexadecimal text ("1a86").
constexpr uint16_t adapterId(const char* hex) {
  uint16_t id = 0;
  for (const char* c = hex; *c != '\0'; ++c) {
    id = static_cast<uint16_t>(id * 16 + (*c <= '9' ? *c - '0' : *c - 'a' + 10));
  }
  return id;
}
static_assert(adapterId(kAdapterVendor) == 0x1a86);

constexpr uint8_t kBulkIn = 0x82;
constexpr uint8_t kBulkOut = 0x02;
constexpr uint8_t kInterruptIn = 0x81;
constexpr int kBulkPacket = 32;

// Vendor requests of the chip, as the Linux ch341 driver uses them.
constexpr uint8_t kReadVersion = 0x5f;
constexpr uint8_t kReadRegister = 0x95;
constexpr uint8_t kWriteRegister = 0x9a;
constexpr uint8_t kSerialInit = 0xa1;
constexpr uint8_t kModemControl = 0xa4;
constexpr uint8_t kPrescaler = 0x12;
constexpr uint8_t kDivisor = 0x13;
constexpr uint8_t kLineControl = 0x18;
constexpr uint8_t kModemStatus = 0x06;  // the inputs, active low: CTS, DSR, RI, DCD
constexpr uint8_t kFlowControl = 0x27;
constexpr uint8_t kStatusCts = 0x01;
constexpr uint8_t kStatusDsr = 0x02;
// The modem control request carries the outputs inverted.
constexpr uint8_t kControlDtr = 0x20;
constexpr uint8_t kControlRts = 0x40;
// The line control register: receive and transmit enable, then the frame's bits.
constexpr uint8_t kLcrEnables = 0xc0;
constexpr uint8_t kLcr8N1 = 0x03;  // 8 data bits; parity and 2-stop-bit flags clear
constexpr int kClockRate = 48000000;

int endpointIndex(uint8_t address) { return ((address & 0x80) >> 3) | (address & 0x0f); }

// One descriptor a row.
// clang-format off
std::vector<uint8_t> deviceDescriptor(bool has_serial) {
  return {18, 1, 0x10, 0x01, 0xff, 0, 0, 8, 0x86, 0x1a, 0x23, 0x75, 0x54, 0x02,
          0, 2, static_cast<uint8_t>(has_serial ? 3 : 0), 1};
}

std::vector<uint8_t> configurationDescriptor() {
  return {9, 2, 39, 0, 1, 1, 0, 0x80, 49,  // one interface, bus powered, 98 mA
          9, 4, 0, 0, 3, 0xff, 0x01, 0x02, 0,
          7, 5, kBulkIn, 2, kBulkPacket, 0, 0,
          7, 5, kBulkOut, 2, kBulkPacket, 0, 0,
          7, 5, kInterruptIn, 3, 8, 0, 1};
}
// clang-format on

std::vector<uint8_t> stringDescriptor(const std::string& text) {
  std::vector<uint8_t> out{static_cast<uint8_t>(2 + 2 * text.size()), 3};
  for (char c : text) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
  }
  return out;
}

}  // namespace

// The parser's callbacks, which reach the chip through `priv`.
struct RedirCallbacks {
  static RedirCh340& chip(void* priv) { return *static_cast<RedirCh340*>(priv); }

  static int read(void* priv, uint8_t* data, int count) {
    const ssize_t n = ::read(chip(priv).redir_fd_, data, static_cast<size_t>(count));
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return -1;  // QEMU closed the connection
  }
  static int write(void* priv, uint8_t* data, int count) {
    const ssize_t n = ::send(chip(priv).redir_fd_, data, static_cast<size_t>(count), MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    return errno == EAGAIN || errno == EINTR ? 0 : -1;
  }
  static void log(void*, int level, const char* msg) {
    if (level <= usbredirparser_warning) fprintf(stderr, "redir_ch340: %s\n", msg);
  }
  static void hello(void* priv, usb_redir_hello_header*) {
    RedirCh340& c = chip(priv);
    c.hello_ = true;
    if (c.plugged_) c.sendConnect();
  }
  static void disconnectAck(void* priv) {
    RedirCh340& c = chip(priv);
    c.awaiting_ack_ = false;
    if (c.plugged_) c.sendConnect();
  }
  static void reset(void*) {}
  static void setConfiguration(void* priv, uint64_t id, usb_redir_set_configuration_header* h) {
    usb_redir_configuration_status_header status{usb_redir_success, h->configuration};
    usbredirparser_send_configuration_status(chip(priv).parser_, id, &status);
  }
  static void getConfiguration(void* priv, uint64_t id) {
    usb_redir_configuration_status_header status{usb_redir_success, 1};
    usbredirparser_send_configuration_status(chip(priv).parser_, id, &status);
  }
  static void setAltSetting(void* priv, uint64_t id, usb_redir_set_alt_setting_header* h) {
    usb_redir_alt_setting_status_header status{usb_redir_success, h->interface, h->alt};
    usbredirparser_send_alt_setting_status(chip(priv).parser_, id, &status);
  }
  static void getAltSetting(void* priv, uint64_t id, usb_redir_get_alt_setting_header* h) {
    usb_redir_alt_setting_status_header status{usb_redir_success, h->interface, 0};
    usbredirparser_send_alt_setting_status(chip(priv).parser_, id, &status);
  }
  // The interrupt endpoint carries modem status changes (setCts).
  static void startInterrupt(void* priv, uint64_t id,
                             usb_redir_start_interrupt_receiving_header* h) {
    usb_redir_interrupt_receiving_status_header status{usb_redir_success, h->endpoint};
    usbredirparser_send_interrupt_receiving_status(chip(priv).parser_, id, &status);
    chip(priv).interrupt_started_ = true;
    // A change while no one listened (the port closed, or just opening) is not lost.
    chip(priv).reportModemStatus();
  }
  static void stopInterrupt(void* priv, uint64_t id, usb_redir_stop_interrupt_receiving_header* h) {
    usb_redir_interrupt_receiving_status_header status{usb_redir_success, h->endpoint};
    usbredirparser_send_interrupt_receiving_status(chip(priv).parser_, id, &status);
    chip(priv).interrupt_started_ = false;
  }
  static void filter(void*, usbredirfilter_rule* rules, int) { free(rules); }
  static void cancel(void* priv, uint64_t id) {
    RedirCh340& c = chip(priv);
    for (auto it = c.reads_.begin(); it != c.reads_.end(); ++it) {
      if (it->first != id) continue;
      c.reads_.erase(it);
      usb_redir_bulk_packet_header h{kBulkIn, usb_redir_cancelled, 0, 0, 0};
      usbredirparser_send_bulk_packet(c.parser_, id, &h, nullptr, 0);
      return;
    }
  }
  static void control(void* priv, uint64_t id, usb_redir_control_packet_header* h, uint8_t* data,
                      int length) {
    chip(priv).answerControl(id, h, length);
    usbredirparser_free_packet_data(chip(priv).parser_, data);
  }
  static void bulk(void* priv, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data,
                   int length) {
    RedirCh340& c = chip(priv);
    if (h->endpoint == kBulkOut) {
      c.fromGuest(data, length);
      usb_redir_bulk_packet_header done = *h;
      done.status = usb_redir_success;
      usbredirparser_send_bulk_packet(c.parser_, id, &done, nullptr, 0);
    } else {
      c.reads_.emplace_back(id, h->length | (h->length_high << 16));
      c.fillReads();
    }
    usbredirparser_free_packet_data(c.parser_, data);
  }
};

RedirCh340::RedirCh340(int redir_fd, Controller& controller)
    : redir_fd_(redir_fd), controller_(controller) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    throw std::runtime_error("redir_ch340: socketpair failed");
  }
  serial_fd_ = pair[0];
  controller_fd_ = pair[1];
  fcntl(redir_fd_, F_SETFL, fcntl(redir_fd_, F_GETFL) | O_NONBLOCK);
  fcntl(serial_fd_, F_SETFL, fcntl(serial_fd_, F_GETFL) | O_NONBLOCK);
  controller_.attach(controller_fd_);

  parser_ = usbredirparser_create();
  parser_->priv = this;
  parser_->log_func = RedirCallbacks::log;
  parser_->read_func = RedirCallbacks::read;
  parser_->write_func = RedirCallbacks::write;
  parser_->hello_func = RedirCallbacks::hello;
  parser_->reset_func = RedirCallbacks::reset;
  parser_->set_configuration_func = RedirCallbacks::setConfiguration;
  parser_->get_configuration_func = RedirCallbacks::getConfiguration;
  parser_->set_alt_setting_func = RedirCallbacks::setAltSetting;
  parser_->get_alt_setting_func = RedirCallbacks::getAltSetting;
  parser_->start_interrupt_receiving_func = RedirCallbacks::startInterrupt;
  parser_->stop_interrupt_receiving_func = RedirCallbacks::stopInterrupt;
  parser_->filter_filter_func = RedirCallbacks::filter;
  parser_->device_disconnect_ack_func = RedirCallbacks::disconnectAck;
  parser_->cancel_data_packet_func = RedirCallbacks::cancel;
  parser_->control_packet_func = RedirCallbacks::control;
  parser_->bulk_packet_func = RedirCallbacks::bulk;
  uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
  for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_filter,
                  usb_redir_cap_device_disconnect_ack, usb_redir_cap_ep_info_max_packet_size,
                  usb_redir_cap_64bits_ids, usb_redir_cap_32bits_bulk_length}) {
    usbredirparser_caps_set_cap(caps, cap);
  }
  usbredirparser_init(parser_, "kernel_lane redir_ch340", caps, USB_REDIR_CAPS_SIZE,
                      usbredirparser_fl_usb_host);
}

RedirCh340::~RedirCh340() {
  controller_.detach();
  usbredirparser_destroy(parser_);
  ::close(serial_fd_);
  ::close(controller_fd_);
  ::close(redir_fd_);
}

void RedirCh340::plug(std::optional<std::string> serial) {
  serial_ = std::move(serial);
  plugged_ = true;
  if (hello_ && !awaiting_ack_ && !connected_) sendConnect();
}

void RedirCh340::unplug() {
  plugged_ = false;
  if (!connected_) return;
  connected_ = false;
  reads_.clear();
  to_guest_.clear();
  usbredirparser_send_device_disconnect(parser_);
  awaiting_ack_ = true;
}

void RedirCh340::sendConnect() {
  if (connected_) return;
  usb_redir_interface_info_header interfaces{};
  interfaces.interface_count = 1;
  interfaces.interface_class[0] = 0xff;
  interfaces.interface_subclass[0] = 0x01;
  interfaces.interface_protocol[0] = 0x02;
  usbredirparser_send_interface_info(parser_, &interfaces);
  usb_redir_ep_info_header endpoints{};
  memset(endpoints.type, usb_redir_type_invalid, sizeof endpoints.type);
  endpoints.type[0] = endpoints.type[16] = usb_redir_type_control;
  endpoints.max_packet_size[0] = endpoints.max_packet_size[16] = 8;
  endpoints.type[endpointIndex(kBulkIn)] = usb_redir_type_bulk;
  endpoints.max_packet_size[endpointIndex(kBulkIn)] = kBulkPacket;
  endpoints.type[endpointIndex(kBulkOut)] = usb_redir_type_bulk;
  endpoints.max_packet_size[endpointIndex(kBulkOut)] = kBulkPacket;
  endpoints.type[endpointIndex(kInterruptIn)] = usb_redir_type_interrupt;
  endpoints.max_packet_size[endpointIndex(kInterruptIn)] = 8;
  endpoints.interval[endpointIndex(kInterruptIn)] = 1;
  usbredirparser_send_ep_info(parser_, &endpoints);
  usb_redir_device_connect_header device{
      usb_redir_speed_full,       0xff,  0, 0, adapterId(kAdapterVendor),
      adapterId(kAdapterProduct), 0x0254};
  usbredirparser_send_device_connect(parser_, &device);
  connected_ = true;
  // A new plug is a new chip: registers at their power-on values, outputs off.
  memset(registers_, 0, sizeof registers_);
  dtr_ = rts_ = false;
  interrupt_started_ = false;
  held_.clear();
  registers_[kModemStatus] = static_cast<uint8_t>(~(kStatusDsr | (cts_ ? kStatusCts : 0)));
}

// OUT requests' data is not needed: every register write carries its value in the header.
void RedirCh340::answerControl(uint64_t id, const void* raw, int length) {
  usb_redir_control_packet_header h = *static_cast<const usb_redir_control_packet_header*>(raw);
  std::vector<uint8_t> reply;
  bool ok = true;
  const bool in = (h.requesttype & 0x80) != 0;
  if ((h.requesttype & 0x60) == 0) {  // standard
    if (h.request == 6) {             // GET_DESCRIPTOR
      const int type = h.value >> 8, index = h.value & 0xff;
      if (type == 1) {
        reply = deviceDescriptor(serial_.has_value());
      } else if (type == 2) {
        reply = configurationDescriptor();
      } else if (type == 3 && index == 0) {
        reply = {4, 3, 0x09, 0x04};  // US English
      } else if (type == 3 && index == 2) {
        reply = stringDescriptor("USB Serial");
      } else if (type == 3 && index == 3 && serial_) {
        reply = stringDescriptor(*serial_);
      } else {
        ok = false;
      }
    } else if (h.request == 0 && in) {  // GET_STATUS
      reply = {0, 0};
    } else if (h.request == 8 && in) {  // GET_CONFIGURATION
      reply = {1};
    }
  } else if ((h.requesttype & 0x60) == 0x40) {  // vendor
    switch (h.request) {
      case kReadVersion:
        reply = {0x31, 0x00};
        break;
      case kReadRegister:
        reply = {registers_[h.value & 0xff], registers_[h.value >> 8]};
        break;
      case kWriteRegister:
        registers_[h.value & 0xff] = static_cast<uint8_t>(h.index & 0xff);
        registers_[h.value >> 8] = static_cast<uint8_t>(h.index >> 8);
        applyPacing();
        toController("");  // flow control may have been turned off
        break;
      case kModemControl:
        setModemControl(static_cast<uint8_t>(h.value & 0xff));
        break;
      case kSerialInit:
        break;
      default:
        ok = false;
    }
  } else {
    ok = false;
  }
  if (in && reply.size() > h.length) reply.resize(h.length);
  h.status = ok ? usb_redir_success : usb_redir_stall;
  if (in) {
    h.length = static_cast<uint16_t>(ok ? reply.size() : 0);
    usbredirparser_send_control_packet(parser_, id, &h, ok ? reply.data() : nullptr,
                                       ok ? static_cast<int>(reply.size()) : 0);
  } else {
    h.length = static_cast<uint16_t>(ok ? length : 0);
    usbredirparser_send_control_packet(parser_, id, &h, nullptr, 0);
  }
}

int RedirCh340::baud() const {
  // The divisor the driver chose: 48 MHz / (clock divider * divisor).
  const uint8_t prescaler = registers_[kPrescaler];
  const int divisor = 0x100 - registers_[kDivisor];
  if (registers_[kDivisor] == 0 || divisor == 0) return 0;
  const int ps = prescaler & 0x03, fact = (prescaler >> 2) & 0x01;
  const int clock_divider = 1 << (12 - 3 * ps - fact);
  return kClockRate / (clock_divider * divisor);
}

uint8_t RedirCh340::lineControl() const { return registers_[kLineControl]; }

void RedirCh340::setControllerBaud(int baud) {
  controller_baud_ = baud;
  applyPacing();
}

bool RedirCh340::lineMatches() const {
  const int rate = baud();
  return rate > 0 && std::abs(rate - controller_baud_) * 50 <= controller_baud_ &&
         (registers_[kLineControl] & ~kLcrEnables) == kLcr8N1;
}

void RedirCh340::applyPacing() {
  const int rate = baud();
  controller_.setBytePacing(rate > 0 ? serial_driver::detail::byteTime(rate)
                                     : std::chrono::nanoseconds(0));
}

void RedirCh340::garbleIfLinesDiffer(std::string& bytes) const {
  // A receiver framing bytes otherwise than the sender sees framing and parity errors: bytes
  // with the top bit set, never a frame.
  if (lineMatches()) return;
  for (char& c : bytes) c = static_cast<char>(0x80 | (static_cast<uint8_t>(c) >> 1));
}

uint8_t RedirCh340::flowControl() const { return registers_[kFlowControl]; }

void RedirCh340::setModemControl(uint8_t value) {
  const bool was_dtr = dtr_;
  dtr_ = (value & kControlDtr) == 0;
  rts_ = (value & kControlRts) == 0;
  if (dtr_ && !was_dtr && boot_time_.count() > 0) {
    booting_ = true;
    boot_end_ = std::chrono::steady_clock::now() + boot_time_;
    held_.clear();
  }
}

void RedirCh340::setCts(bool on) {
  cts_ = on;
  registers_[kModemStatus] = static_cast<uint8_t>(~(kStatusDsr | (cts_ ? kStatusCts : 0)));
  reportModemStatus();
  toController("");
}

void RedirCh340::reportModemStatus() {
  if (!connected_ || !interrupt_started_) return;
  // The driver reads the inverted status from the third byte of a 4-byte report.
  uint8_t report[4] = {0, 0, registers_[kModemStatus], 0};
  usb_redir_interrupt_packet_header h{kInterruptIn, usb_redir_success, sizeof report};
  usbredirparser_send_interrupt_packet(parser_, ++interrupt_id_, &h, report, sizeof report);
}

void RedirCh340::setResetOnDtr(std::chrono::milliseconds boot, std::string banner) {
  boot_time_ = boot;
  banner_ = std::move(banner);
  booting_ = false;
}

void RedirCh340::finishBoot() {
  if (!booting_ || std::chrono::steady_clock::now() < boot_end_) return;
  booting_ = false;
  if (!connected_) return;
  to_guest_ += banner_;
  fillReads();
}

void RedirCh340::toController(const std::string& bytes) {
  if (booting_) return;  // a controller in reset hears nothing
  held_ += bytes;
  if (registers_[kFlowControl] != 0 && !cts_) return;
  (void)!::write(serial_fd_, held_.data(), held_.size());
  held_.clear();
}

void RedirCh340::fromGuest(const uint8_t* data, int length) {
  std::string bytes(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
  garbleIfLinesDiffer(bytes);
  toController(bytes);
}

void RedirCh340::fillReads() {
  while (connected_ && !reads_.empty() && !to_guest_.empty()) {
    auto [id, wanted] = reads_.front();
    reads_.pop_front();
    const size_t n = std::min(to_guest_.size(), static_cast<size_t>(wanted));
    usb_redir_bulk_packet_header h{kBulkIn, usb_redir_success, static_cast<uint16_t>(n & 0xffff), 0,
                                   static_cast<uint16_t>(n >> 16)};
    usbredirparser_send_bulk_packet(parser_, id, &h, reinterpret_cast<uint8_t*>(to_guest_.data()),
                                    static_cast<int>(n));
    to_guest_.erase(0, n);
  }
}

void RedirCh340::addPollFds(std::vector<pollfd>& fds) const {
  fds.push_back(
      {redir_fd_,
       static_cast<short>(POLLIN | (usbredirparser_has_data_to_write(parser_) ? POLLOUT : 0)), 0});
  fds.push_back({serial_fd_, POLLIN, 0});
}

bool RedirCh340::service(const pollfd* fds) {
  finishBoot();
  if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
    if (usbredirparser_do_read(parser_) != 0) return false;
  }
  if (fds[1].revents & POLLIN) {
    char buf[256];
    const ssize_t n = ::read(serial_fd_, buf, sizeof buf);
    // Bytes sent while unplugged fall on the floor, as with a pulled cable.
    if (n > 0 && connected_) {
      std::string bytes(buf, static_cast<size_t>(n));
      garbleIfLinesDiffer(bytes);
      to_guest_ += bytes;
      fillReads();
    }
  }
  while (usbredirparser_has_data_to_write(parser_)) {
    if (usbredirparser_do_write(parser_) != 0) return false;
    if (usbredirparser_has_data_to_write(parser_)) {
      pollfd out{redir_fd_, POLLOUT, 0};
      poll(&out, 1, 100);
    }
  }
  return true;
}

}  // namespace chassis_sim
