// A simulated chassis controller on the master side of a pseudo-terminal.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace chassis_sim {

// What goes wrong with the next reply. The command itself always takes effect.
enum class Fault {
  kNone,
  kNoReply,      // the reply is lost
  kLateReply,    // the reply comes after the driver stopped waiting
  kBadChecksum,  // one checksum bit flipped
  kWrongIndex,   // the reply names the next entry
  kSplitReply,   // the text first, the checksum and newline a few milliseconds later
  kNoise,        // stray bytes before the reply
  kBangFrame,    // a "!" frame instead of the reply
  kWrongKind,    // "$ack" to a "$get", "$fdb" to a "$set"
};

const char* faultName(Fault fault);

class Controller {
 public:
  Controller() = default;
  ~Controller();
  Controller(const Controller&) = delete;
  Controller& operator=(const Controller&) = delete;

  // Serves the given pty master until detach(); the descriptor stays the caller's.
  void attach(int master_fd);
  void detach();

  // Queues faults for the next replies, one fault per reply.
  void inject(Fault fault, int count = 1);
  // Time one byte takes on the line (86.8 us at 115200 baud 8N1): a command is answered after
  // its own bytes' time, and the reply's bytes leave this far apart. 0: no pacing; a negative
  // time throws std::invalid_argument.
  void setBytePacing(std::chrono::nanoseconds per_byte);
  // How late a kLateReply comes.
  void setLateDelay(std::chrono::milliseconds delay);

  void setEntry(int index, const std::string& value);
  std::string entry(int index) const;  // "0" for an entry never written

  // Command frames received so far, byte for byte (checksum and newline included).
  std::vector<std::string> received() const;
  void clearReceived();
  // Command frames taken since the controller was made, over every attach.
  long commands() const;
  // Blocks until every received command has been answered (late replies included).
  void waitIdle() const;
  // Whether the machine, not the driver, failed an exchange that began at `began`, when the
  // controller had taken `commands_before` commands: its answer left 10 ms or more after the
  // exchange began, and both driver interfaces look at the line until at least 10 ms after
  // sending (the library's kLastLook). Waits (up to a second) until the command has arrived and
  // been answered, so no late reply runs into the next exchange.
  bool answeredLate(long commands_before, std::chrono::steady_clock::time_point began) const;

 private:
  void serve();
  void consume();
  void handle(const std::string& frame);
  void reply(const std::string& text, Fault fault);
  void writeOut(const std::string& bytes);

  int master_ = -1;
  int wake_[2] = {-1, -1};
  std::thread thread_;
  std::string rx_;

  mutable std::mutex mutex_;
  mutable std::condition_variable idle_;
  bool busy_ = false;
  bool serving_ = false;  // the thread runs and takes commands
  std::map<int, std::string> entries_;
  std::deque<Fault> faults_;
  std::vector<std::string> received_;
  long commands_ = 0;
  std::chrono::nanoseconds per_byte_{0};
  std::chrono::milliseconds late_delay_{30};
  std::chrono::steady_clock::time_point last_reply_at_;
};

}  // namespace chassis_sim
