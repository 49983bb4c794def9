// Arbitrary byte streams into the two reply waits, through a non-blocking pipe.
//
// The first input byte picks the wait and, for the feedback wait, the value type; the rest
// arrives on the port. A fuzzing build of the library skips the pauses between polls, so the
// fuzzer runs at full speed.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "serial_driver/serial_driver.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The waits log every failure; keep the fuzzer's own output readable.
  if (freopen("/dev/null", "w", stdout) == nullptr) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t selector = data[0];
  int port[2];
  if (pipe2(port, O_NONBLOCK | O_CLOEXEC) != 0) abort();
  if (size > 1 && write(port[1], data + 1, size - 1) != static_cast<ssize_t>(size - 1)) abort();

  int result = 0;
  const int index = selector & 0x0F;
  if (selector & 0x80) {
    result = checkAck(port[0], index);
  } else {
    const int data_type = (selector >> 4) & 0x07;  // 0..7: the known codes and unknown ones
    // A text value gets exactly the 56 bytes the interface promises are enough.
    auto value = std::make_unique<char[]>(56);
    memset(value.get(), 0x5A, 56);
    result = getFeedback(port[0], index, data_type, value.get());
    if (result == 0 && value[0] != 0x5A) abort();  // nothing stored on failure
  }
  if (result != 0 && result != 1) abort();
  close(port[0]);
  close(port[1]);
  return 0;
}
