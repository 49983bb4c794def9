// Installing the library's crash report: on a fatal signal the process writes a banner line,
// prints a stack trace taken by gdb, and ends with status 255.
#include <csignal>
#include <cstdio>

#include "serial_driver/log.h"

int main() {
  // The library installs no handler itself; the client chooses the signals.
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) signal(sig, signal_handler);

  printf("about to dereference a null pointer\n");
  volatile int* nowhere = nullptr;
  return *nowhere;
}
