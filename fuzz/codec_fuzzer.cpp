// Arbitrary received spans through frame validation and splitting.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "serial_driver/serial_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly the span's bytes on the heap, so a read past them is caught.
  std::vector<char> span(data, data + size);
  char text[64];
  const int ok = checkoutString(span.data(), static_cast<int>(size), text);
  if (ok != 0 && ok != 1) abort();
  if (ok == 0) return 0;

  // A valid frame yields a NUL-terminated text that starts like a frame and fits the buffer.
  const size_t len = strnlen(text, sizeof text);
  if (len == sizeof text || (text[0] != '$' && text[0] != '!')) abort();
  if (text[0] == '$' && static_cast<uint8_t>(span[size - 2]) != calcXOR(text) && len == size - 2) {
    abort();
  }
  char rows[4][64];
  memset(rows, 0, sizeof rows);
  if (parseString(text, rows) != 1) abort();
  for (const auto& row : rows) {
    if (strnlen(row, sizeof row) == sizeof row) abort();
  }
  return 0;
}
