// Crash report, for the client to install for the signals it chooses, e.g.
// signal(SIGSEGV, signal_handler).
#pragma once

#include "serial_driver_export.h"

// Writes a CRITICAL banner naming the signal, prints a stack trace by running gdb against the
// process, and ends the process with status 255.
SERIAL_DRIVER_EXPORT void signal_handler(int sig);
// Prints a stack trace of the calling process with gdb and returns when gdb is done.
SERIAL_DRIVER_EXPORT void backtrace();
