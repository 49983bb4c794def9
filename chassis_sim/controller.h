// A simulated chassis controller on the master side of a pseudo-terminal.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <iterator>
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

// Every fault once, in the enum's order: its name in messages and in the Python module. Tests,
// the soak, the kernel lane and the module's enum go through this list.
struct FaultInfo {
  Fault fault;
  const char* name;
  const char* python_name;
};
inline constexpr FaultInfo kFaults[] = {
    {Fault::kNone, "none", "NONE"},
    {Fault::kNoReply, "no reply", "NO_REPLY"},
    {Fault::kLateReply, "late reply", "LATE_REPLY"},
    {Fault::kBadChecksum, "bad checksum", "BAD_CHECKSUM"},
    {Fault::kWrongIndex, "wrong index", "WRONG_INDEX"},
    {Fault::kSplitReply, "split reply", "SPLIT_REPLY"},
    {Fault::kNoise, "noise", "NOISE"},
    {Fault::kBangFrame, "! frame", "BANG_FRAME"},
    {Fault::kWrongKind, "wrong kind", "WRONG_KIND"},
};
static_assert(static_cast<size_t>(Fault::kWrongKind) + 1 == std::size(kFaults),
              "every Fault needs an entry in kFaults: the last fault is its size less one");

const char* faultName(Fault fault);

// What a controller's firmware prints on its own, between its replies.
enum class Chatter {
  kText,     // a debug line, "dbg: imu ok"
  kBang,     // a warning line, "!low battery" (a "!" line has no checksum)
  kForeign,  // a valid frame for another entry, "$fdb <entry> 0.000" and "$ack <entry>" in turn
  kStream,   // bytes without any newline, one per interval
};

const char* chatterName(Chatter kind);

// How commands reach the controller and how it works through them.
struct LineModel {
  // false: every command is read as soon as the host wrote it, answered after its own bytes'
  // time on a paced line, and its reply written before the next one is looked at; nothing is
  // ever lost.
  // true: a full-duplex line. The host's bytes arrive one byte time apart however fast they
  // were written and go into a receive ring; the firmware takes one whole frame at a time,
  // handles it in `processing` and queues its reply, whose bytes leave one byte time apart
  // while further commands arrive.
  bool duplex = false;
  // Bytes the receive ring holds; one arriving at a full ring is lost (an overrun).
  size_t ring_bytes = 256;
  std::chrono::nanoseconds processing = std::chrono::microseconds(20);
  // The next frame is taken only once the previous reply is out.
  bool blocking_firmware = false;
};

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
  // its own bytes' time (on the duplex line, its bytes arrive this far apart), and the reply's
  // bytes leave this far apart. 0: no pacing; a negative time throws std::invalid_argument.
  void setBytePacing(std::chrono::nanoseconds per_byte);
  // setBytePacing at the time of one byte at `baud` 8N1; 0: no pacing.
  void setLineRate(int baud);
  // How late a kLateReply comes.
  void setLateDelay(std::chrono::milliseconds delay);

  // Takes effect at once: when attached, the controller starts afresh on the same descriptor
  // and what was on its way is lost. Throws std::invalid_argument for an empty ring or a
  // negative processing time.
  void setLineModel(const LineModel& model);
  LineModel lineModel() const;
  // Bytes lost at a full receive ring, over every attach.
  long overruns() const;

  // Sends `kind` every `interval` until stopChatter(), also across detach and attach; calling
  // again for a kind changes its interval. Chatter never goes out inside a reply's bytes, and
  // a paced line carries no more than its rate (a kind's next line waits for the last one).
  // A zero or negative interval throws std::invalid_argument.
  void startChatter(Chatter kind, std::chrono::microseconds interval);
  void stopChatter();
  // The entry kForeign frames name; 99 unless set.
  void setForeignEntry(int index);
  // Chatter that went out so far, over every attach: lines, or bytes for kStream.
  long chatterSent(Chatter kind) const;

  void setEntry(int index, const std::string& value);
  std::string entry(int index) const;  // "0" for an entry never written

  // Command frames received so far, byte for byte (checksum and newline included).
  std::vector<std::string> received() const;
  void clearReceived();
  // Both in one step: a frame taken in between is neither lost nor seen twice.
  std::vector<std::string> takeReceived();
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
  struct DuplexLine;
  static constexpr size_t kChatterKinds = 4;

  void serve();
  void serveDuplex();
  void consume();
  void handle(const std::string& frame);
  bool answer(const std::string& frame, std::string* reply_text, Fault* fault);
  void reply(const std::string& text, Fault fault);
  bool writeOut(const std::string& bytes);
  bool writeAll(const char* bytes, size_t size);
  void chatter();
  std::string chatterUnit(Chatter kind);

  int master_ = -1;
  int master_flags_ = 0;
  int wake_[2] = {-1, -1};
  int kick_ = -1;  // eventfd: chatter queued for the duplex line
  std::thread thread_;
  std::thread chatter_thread_;
  std::string rx_;
  std::mutex tx_mutex_;  // held for a whole reply or chatter line on the sequential model

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
  LineModel model_;
  std::atomic<long> overruns_{0};

  struct QueuedChatter {
    Chatter kind;
    std::string bytes;
    std::chrono::steady_clock::time_point queued_at;
  };
  std::condition_variable chatter_changed_;
  bool chatter_stop_ = false;
  std::array<std::chrono::microseconds, kChatterKinds> chatter_interval_{};  // 0: off
  std::array<long, kChatterKinds> chatter_sent_{};
  std::array<long, kChatterKinds> chatter_made_{};
  std::array<bool, kChatterKinds> chatter_queued_{};  // on the duplex line, not yet out
  bool chatter_on_line_ = false;                      // the duplex line is sending one
  std::deque<QueuedChatter> chatter_queue_;
  bool running_duplex_ = false;
  int replies_waiting_ = 0;  // for the line, on the sequential model
  int foreign_entry_ = 99;
};

}  // namespace chassis_sim
