// Where the library's messages go: one line per message on standard output, or the client's
// sink.
#pragma once

#include <functional>
#include <string>

#include "serial_driver_export.h"

enum class LogLevel : int { TRACE = 0, DEBUG, INFO, WARN, ERROR, CRITICAL, OFF };

namespace serial_driver {

// Where library messages go instead of stdout. line is what stdout would have shown, without
// the newline: "LEVEL logger text". The sink may be called from any thread that uses the
// library, from several at once, but never while the library holds a link's lock; it must not
// call setLogSink itself.
using LogSink = std::function<void(LogLevel level, const std::string& line)>;

// Every library message goes to sink from now on; an empty sink restores stdout.
SERIAL_DRIVER_EXPORT void setLogSink(LogSink sink);
// A sink that writes each line to standard error at once.
SERIAL_DRIVER_EXPORT LogSink stderrLogSink();

}  // namespace serial_driver
