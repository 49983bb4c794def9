// A client that installs the crash report and then crashes in the way its argument names.
#include <fcntl.h>
#include <malloc.h>
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

// Leaves a thread blocked inside the allocator with its lock held: malloc_stats() writes to
// stderr under the arena lock, and stderr is a pipe nobody reads.
void blockAThreadInsideTheAllocator() {
  int full[2];
  if (pipe(full) != 0) return;
  fcntl(full[1], F_SETFL, O_NONBLOCK);
  char junk[4096] = {};
  while (write(full[1], junk, sizeof junk) > 0) {
  }
  fcntl(full[1], F_SETFL, 0);
  const int saved_stderr = dup(STDERR_FILENO);
  dup2(full[1], STDERR_FILENO);
  pthread_t stuck;
  pthread_create(
      &stuck, nullptr,
      [](void*) -> void* {
        malloc_stats();
        return nullptr;
      },
      nullptr);
  usleep(200000);
  dup2(saved_stderr, STDERR_FILENO);  // the report's own stderr
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
  } else if (strcmp(mode, "allocator-held") == 0) {
    blockAThreadInsideTheAllocator();
    crashInClientCode();
  } else if (strcmp(mode, "no-handler") == 0) {
    signal(SIGSEGV, SIG_DFL);
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
