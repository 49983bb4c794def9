#include "serial_driver/codec.h"

#include <cstring>

uint8_t calcXOR(const char* string) {
  uint8_t xor_calcu = 0;
  for (const char* p = string; *p != '\0'; ++p) xor_calcu ^= static_cast<uint8_t>(*p);
  return xor_calcu;
}

int checkoutString(const char* buf, const int len, char* string) {
  if (buf == nullptr || len < 1) return 0;
  memset(string, 0, kFrameSize);
  // No frame is longer than a buffer; a longer span could only overflow string.
  if (len > kFrameSize) return 0;
  // Only the last byte terminates; a newline inside the span may be a checksum byte, but one
  // before that is the end of another frame (three frames back to back can pass the checksum).
  if (buf[len - 1] != '\n') return 0;
  const int text_end = buf[0] == '$' ? len - 2 : len - 1;
  if (text_end > 0 && memchr(buf, '\n', text_end) != nullptr) return 0;
  if (buf[0] == '$') {
    uint8_t xor_calcu = 0;
    for (int i = 0; i < len - 2; ++i) xor_calcu ^= static_cast<uint8_t>(buf[i]);
    const uint8_t xor_cmd = static_cast<uint8_t>(buf[len - 2]);
    if (xor_calcu != xor_cmd) return 0;
    // string was zeroed above: the text stays NUL-terminated.
    memcpy(string, buf, len - 2);  // NOLINT(bugprone-not-null-terminated-result)
    return 1;
  }
  if (buf[0] == '!') {
    memcpy(string, buf, len - 1);  // NOLINT(bugprone-not-null-terminated-result): zeroed above
    return 1;
  }
  return 0;
}

int parseString(const char* s, char (*ss)[64]) {
  if (s[0] != '$' && s[0] != '!') return 0;
  const size_t l = strlen(s);
  if (l > 64) return 0;
  // A 64-character text without a blank would be one token plus its NUL: 65 bytes in a row.
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result): a search, nothing is copied
  if (l == 64 && memchr(s, ' ', l) == nullptr) return 0;
  int j = 0;
  int k = 0;
  for (size_t i = 0; i < l; ++i) {
    const char c = s[i];
    if (c == ' ' && j < 2) {
      ss[j][k] = '\0';
      ++j;
      k = 0;
    } else {
      ss[j][k++] = c;
    }
  }
  ss[j][k] = '\0';
  return 1;
}
