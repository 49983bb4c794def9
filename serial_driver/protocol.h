// Protocol pieces shared by SerialDriver and ChassisLink: command texts, reply value
// conversion and the pause between polls. Internal to the library; not installed.
#pragma once

#include <cstddef>

namespace serial_driver {
namespace detail {

// Longest command text: text, checksum byte and newline fit one 64-byte frame.
constexpr int kMaxCommandText = 62;

// Numbers on the wire are written and read in the C locale whatever the process locale is:
// under de_DE "%.3f" would write "1,500" and "%f" would stop reading "2.250" at the dot.
class CLocaleScope {
 public:
  CLocaleScope();
  ~CLocaleScope();
  CLocaleScope(const CLocaleScope&) = delete;
  CLocaleScope& operator=(const CLocaleScope&) = delete;

 private:
  void* previous_;  // locale_t of the calling thread
};

// Command texts, NUL-terminated in buf (at least 64 bytes). Each returns the length the whole
// text has, as snprintf does: a text value can make it longer than kMaxCommandText, and then
// the command must not be sent. Numbers always fit.
int formatSetFloat(char* buf, int index, float value);
int formatSetInt(char* buf, int index, int value);
int formatSetText(char* buf, int index, const char* text);
int formatGet(char* buf, int index);

// Why a text value cannot go on the wire, or nullptr when it can: a null pointer would be sent
// as "(null)", and a newline would end the frame early and smuggle the rest in as frames.
const char* textRefusal(const char* text, size_t length);

// Appends the checksum byte and newline behind the length-byte text in buf; the frame's size.
int sealFrame(char* buf, int length);

// A decimal int as "%d" reads it (leading blanks, a sign, digits up to the first other byte),
// except that a number outside int's range is no number.
bool scanInt(const char* text, int* value);
// A float as "%f" reads it, in the C locale.
bool scanFloat(const char* text, float* value);

// Sleeps the whole time even when signals interrupt the sleep.
void pauseMicros(long micros);

}  // namespace detail
}  // namespace serial_driver
