// How a ChassisLink is opened (LinkOptions) and what it has done (LinkStats).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "serial_driver/defaults.h"

namespace serial_driver {

struct LinkOptions {
  std::string serial;       // USB serial number of the 1a86:7523 adapter, or
  std::string device;       // a node or link such as /dev/ttyUSB0, /dev/serial/by-id/...
  int baud = kDefaultBaud;  // 115200, 38400, 19200, 9600, 4800, 2400, 1200 or 300
  // 0: long enough for the longest exchange at baud. Any length; the largest values mean
  // "wait as long as it takes".
  std::chrono::milliseconds reply_timeout{0};
  int reconnect_after = kReconnectAfter;  // the failure in a row that triggers a reconnection
  // Asked on the waiting thread when a signal interrupts an operation's wait, and every 20 ms
  // while an operation waits for its turn: true ends the operation with Errc::cancelled.
  // Lets a program's Ctrl-C end a long wait (the Python module raises KeyboardInterrupt). A
  // signal that lands in the moment before a wait begins interrupts nothing; cancel() from a
  // signal handler has no such gap.
  std::function<bool()> interrupt_check;
  // The port is this link's alone while it is open, through its reconnections: a second
  // program (or link) that opens it gets Errc::busy. Turn off only to watch a line another
  // program drives (a sniffer); two programs that both send steal each other's replies.
  bool exclusive = true;
  // Commands a Batch sends before their replies have come: 1 (each waits for its reply, as the
  // single calls do) up to kMaxInFlight. More is faster only while the controller's receive
  // buffer holds them all; `chassisctl bench` finds what a controller takes.
  int max_in_flight = 1;
  // While it holds the port, the link serves other programs' exchanges through a Unix socket
  // named after the adapter (a thread and a socket; see socket below): they read the chassis
  // between this link's own calls, which always go first. Off: they get Errc::busy.
  bool serve = true;
  // Whether programs served may also set entries; off, their sets fail as Errc::rejected.
  bool serve_writes = false;
  // The owner's socket. Empty: the one named after the adapter in the socket directory
  // ($SERIAL_DRIVER_RUN_DIR, else /run/serial_driver). A link that finds its port held by a
  // serving owner goes through it; with a path here it goes straight to that socket (one
  // forwarded from another machine, say), and serial and device may be left empty. An owner
  // serves on this path instead of the default one.
  std::string socket;
};

// The most commands a Batch may have in flight.
inline constexpr int kMaxInFlight = 16;

struct LinkStats {
  uint64_t exchanges = 0;      // operations that went to the wire, or tried to reopen it
  uint64_t failures = 0;       // of those, the ones that failed
  uint64_t reconnections = 0;  // times the port was reopened by the link itself
  std::chrono::microseconds last_exchange{0};  // command sent to reply taken (or given up)
  std::chrono::microseconds max_exchange{0};
  // Bytes of skipped text lines, and bytes that formed no line at all (noise, a stream without
  // newlines).
  uint64_t discarded_bytes = 0;
  // Whole lines that were not the awaited reply: the controller's own text and "!" lines,
  // frames for other entries, and late answers to failed commands.
  uint64_t skipped_lines = 0;
  // Of those, late answers to earlier, failed commands, recognised and dropped.
  uint64_t stale_replies = 0;
  // Commands failed because a reply showed the line out of step: it named a command in
  // flight that was not the oldest, or the oldest's entry with the wrong kind. Which command
  // it answered cannot be told, so none of those it may belong to takes it.
  uint64_t out_of_step = 0;
  // Times a command waited because the link remembered as many failed commands as it can.
  uint64_t held_back = 0;
  // The program whose link owns the port, when this link goes through it: its pid and name
  // ("robot_main"); 0 and empty on a link that holds the port itself.
  int owner_pid = 0;
  std::string owner_program;
  // Programs this link serves now, while it holds the port.
  int clients = 0;
};

}  // namespace serial_driver
