#include "serial_driver/protocol.h"

#include <locale.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "serial_driver/serial_driver.h"

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

int formatSetFloat(char* buf, int index, float value) {
  CLocaleScope c_locale;
  return snprintf(buf, kFrameSize, "$set %d %.3f", index, static_cast<double>(value));
}

int formatSetInt(char* buf, int index, int value) {
  return snprintf(buf, kFrameSize, "$set %d %d", index, value);
}

int formatSetText(char* buf, int index, const char* text) {
  return snprintf(buf, kFrameSize, "$set %d %s", index, text);
}

int formatGet(char* buf, int index) { return snprintf(buf, kFrameSize, "$get %d", index); }

const char* textRefusal(const char* text, size_t length) {
  if (text == nullptr) return "text value is a null pointer, nothing sent";
  if (memchr(text, '\n', length) != nullptr) return "text value holds a newline, nothing sent";
  return nullptr;
}

int sealFrame(char* buf, int length) {
  buf[length] = static_cast<char>(calcXOR(buf));
  buf[length + 1] = '\n';
  return length + 2;
}

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

void pauseMicros(long micros) {
  timespec left{micros / 1000000, (micros % 1000000) * 1000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

bool ReplyBuffer::holdsFrame() {
  return checkoutString(buf_, size_, text_) == 1 && parseString(text_, tokens) == 1;
}

Verdict judgeAck(const char (*tokens)[64], int index) {
  if (strcmp(tokens[0], "$ack") != 0) return Verdict::kWrongKind;
  int index_seen = 0;
  if (!scanInt(tokens[1], &index_seen)) return Verdict::kBadIndex;
  return index_seen == index ? Verdict::kAccepted : Verdict::kKeepWaiting;
}

Verdict judgeFeedback(const char (*tokens)[64], int index, int data_type, void* value,
                      int* index_seen) {
  if (strcmp(tokens[0], "$fdb") != 0) return Verdict::kWrongKind;
  if (!scanInt(tokens[1], index_seen)) return Verdict::kBadIndex;
  if (*index_seen != index) return Verdict::kWrongIndex;
  // Converted into a local first: a failed conversion leaves the caller's value alone.
  switch (data_type) {
    case kValueFloat: {
      float converted = 0.0f;
      if (!scanFloat(tokens[2], &converted)) return Verdict::kBadValue;
      *static_cast<float*>(value) = converted;
      break;
    }
    case kValueInt: {
      int converted = 0;
      if (!scanInt(tokens[2], &converted)) return Verdict::kBadValue;
      *static_cast<int*>(value) = converted;
      break;
    }
    case kValueText:
      // Token 2 of a valid "$fdb" frame has at most 55 characters.
      strcpy(static_cast<char*>(value), tokens[2]);
      break;
    default:
      break;
  }
  return Verdict::kAccepted;
}

}  // namespace detail
}  // namespace serial_driver
