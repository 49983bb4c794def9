// Locale-free number reading and the C locale scope.
#include "serial_driver/numbers.h"

#include <locale.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace serial_driver {
namespace detail {

namespace {

locale_t cLocale() {
  // Made once and never freed: it is shared by every thread for the life of the process.
  static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return c;
}

}  // namespace

CLocaleScope::CLocaleScope() : previous_(uselocale(cLocale())) {}

CLocaleScope::~CLocaleScope() { uselocale(static_cast<locale_t>(previous_)); }

bool scanInt(const char* text, int* value) {
  // strtol reads what "%d" reads, and says when the number does not fit.
  char* end = nullptr;
  errno = 0;
  const long parsed = strtol(text, &end, 10);
  if (end == text || errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX) return false;
  *value = static_cast<int>(parsed);
  return true;
}

bool scanFloat(const char* text, float* value) {
  CLocaleScope c_locale;
  return sscanf(text, "%f", value) == 1;
}

bool parseIntExact(const char* text, int* value) {
  const char* end = text + strlen(text);
  if (*text == '+') ++text;  // from_chars takes no plus sign
  int parsed = 0;
  const auto [stop, error] = std::from_chars(text, end, parsed);
  if (error != std::errc() || stop != end) return false;
  *value = parsed;
  return true;
}

bool parseFloatExact(const char* text, float* value) {
  const char* end = text + strlen(text);
  if (*text == '+') ++text;
  float parsed = 0.0f;
  // from_chars reads the C locale's syntax whatever the process locale, and no hex without
  // chars_format::hex; out of range is an error, not infinity.
  const auto [stop, error] = std::from_chars(text, end, parsed, std::chars_format::general);
  if (error != std::errc() || stop != end || !std::isfinite(parsed)) return false;
  *value = parsed;
  return true;
}

}  // namespace detail
}  // namespace serial_driver
