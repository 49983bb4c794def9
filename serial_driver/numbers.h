// Numbers on the wire, written and read in the C locale whatever the process locale is: under
// de_DE "%.3f" would write "1,500" and "%f" would stop reading "2.250" at the dot. Internal.
#pragma once

namespace serial_driver {
namespace detail {

// The C locale on the calling thread while it lives.
class CLocaleScope {
 public:
  CLocaleScope();
  ~CLocaleScope();
  CLocaleScope(const CLocaleScope&) = delete;
  CLocaleScope& operator=(const CLocaleScope&) = delete;

 private:
  void* previous_;  // locale_t of the calling thread
};

// A decimal int as "%d" reads it (leading blanks, a sign, digits up to the first other byte),
// except that a number outside int's range is no number.
bool scanInt(const char* text, int* value);
// A float as "%f" reads it, in the C locale.
bool scanFloat(const char* text, float* value);
// The whole text is one decimal int within int's range (an optional sign, then digits).
bool parseIntExact(const char* text, int* value);
// The whole text is one finite decimal float within float's range ("nan", "inf", hex and
// numbers that overflow to infinity are none).
bool parseFloatExact(const char* text, float* value);

}  // namespace detail
}  // namespace serial_driver
