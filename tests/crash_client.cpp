// A client that installs the crash report and then crashes in the way its argument names.
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial_driver/log.h"

namespace {

// Its name shows up in the stack trace.
__attribute__((noinline)) void crashInClientCode() {
  volatile int* nowhere = nullptr;
  *nowhere = 1;
}

void* holdStdout(void*) {
  flockfile(stdout);
  for (;;) pause();
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "segv";
  signal(SIGSEGV, signal_handler);
  // Buffered output that the report must flush once, not twice.
  printf("client output before the crash\n");
  if (strcmp(mode, "segv") == 0) {
    crashInClientCode();
  } else if (strcmp(mode, "stdout-locked") == 0) {
    pthread_t holder;
    pthread_create(&holder, nullptr, holdStdout, nullptr);
    usleep(100000);
    crashInClientCode();
  } else if (strcmp(mode, "negative") == 0) {
    signal_handler(-2147483647 - 1);
  } else if (strcmp(mode, "backtrace") == 0) {
    backtrace();
    printf("returned from backtrace\n");
    return 0;
  }
  return 3;
}
