// The category of ChassisLink's errors.
#include "serial_driver/link_error.h"

#include <string>

#include "serial_driver/link_error_table.h"

namespace serial_driver {

namespace {

class LinkCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "serial_driver::link"; }
  std::string message(int code) const override {
    if (code < 1 || code > static_cast<int>(std::size(detail::kErrcTable))) {
      return "unknown link error";
    }
    return detail::kErrcTable[code - 1].message;
  }
};

}  // namespace

const std::error_category& link_category() noexcept {
  static const LinkCategory category;
  return category;
}

std::error_code make_error_code(Errc e) noexcept { return {static_cast<int>(e), link_category()}; }

}  // namespace serial_driver
