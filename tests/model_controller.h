// A scripted chassis controller on a pseudo-terminal, for the property tests: it answers the
// link's commands from its entries in order, applies a fault chosen per command (at random from
// a seed, or by a test's script), and records every command it read and every write it made,
// with times, so a checker can hold each result the link reported against what was on the line.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "test_helpers.h"

namespace test {

using Clock = std::chrono::steady_clock;

// kBang answers "!busy" and leaves a set undone; every other fault carries the command out.
enum class Fault { kNone, kDrop, kDelay, kStall, kDuplicate, kMisindex, kWrongKind, kBang };
const char* faultName(Fault fault);

// What the controller does with one command.
struct Plan {
  Fault fault = Fault::kNone;
  Clock::duration wait{0};        // kDelay: how late the reply is; kStall: how long reading stops
  int other_index = 0;            // kMisindex: the entry the reply names
  std::string wrong_value = "0";  // kWrongKind on a set: the value its "$fdb" carries
  std::string before;             // chatter or "$" noise written in front of the reply
};

// A command as the controller read it.
struct Received {
  long seq = 0;
  std::string text;  // without checksum and newline
  bool is_get = false;
  int index = 0;
  std::string value;  // a set's
  Clock::time_point at;
  bool held = false;       // read when a stall ended
  bool discarded = false;  // did not fit the receive ring while the controller stalled
  bool stored = false;     // a set whose value the entry took
  Plan plan;
};

// One write() of the controller.
struct Written {
  long answers = -1;  // the seq of the command it answers; -1: chatter
  std::string bytes;
  Clock::time_point at;  // taken before the write: no reader saw the bytes earlier
  Fault fault = Fault::kNone;
  bool proper = false;  // holds the command's right reply: its "$ack" or its "$fdb" and value
  std::string value;    // a proper "$fdb"'s
};

// Chances per command. Chatter comes before a reply: text, "!" lines, frames for entries 90..99
// (never the program's) or "$" noise glued in front.
struct FaultRates {
  double drop = 0, delay = 0, stall = 0, duplicate = 0, misindex = 0, wrong_kind = 0, bang = 0;
  double chatter = 0;
  int ring = 0;  // receive ring bytes while stalled; 0: no limit
};

class ModelController {
 public:
  struct Options {
    std::chrono::milliseconds reply_timeout{50};
    uint64_t seed = 1;
    FaultRates rates;
    std::vector<int> indices;  // the program's entries
  };
  using Script = std::function<Plan(const Received&)>;

  explicit ModelController(Options options, Script script = nullptr);
  ~ModelController();
  ModelController(const ModelController&) = delete;
  ModelController& operator=(const ModelController&) = delete;

  bool ok() const { return pty_.ok(); }
  const std::string& device() const { return pty_.slavePath(); }
  void setEntry(int index, const std::string& value);
  std::string entry(int index) const;
  // Until nothing the link sent is left unread or unanswered.
  void waitIdle();

  std::vector<Received> received() const;
  std::vector<Written> written() const;
  int count(Fault fault) const;

 private:
  struct Reply {
    long seq;
    std::string bytes;
    Clock::time_point due;
    Fault fault;
    bool proper;
    std::string value;
  };

  void run();
  void readInput();
  void process(bool held);
  void answer(const std::string& text, bool held, int frame_bytes);
  Plan randomPlan(const Received& command, Clock::time_point now);
  std::string chatter();
  void writeDue(Clock::time_point now);

  const Options options_;
  const Script script_;
  const Clock::duration deadline_;
  PtyPair pty_;
  std::mt19937_64 random_;
  std::string input_;  // bytes read, not yet taken as frames
  std::deque<Reply> replies_;
  bool stalled_ = false;
  Clock::time_point stall_end_;
  Clock::duration last_stall_{0};
  Clock::time_point last_lost_{};  // a reply that never came or was not the command's
  Clock::time_point last_loop_{};
  bool behind_ = false;  // this loop came late
  int ring_used_ = 0;

  mutable std::mutex mutex_;  // guards what follows, and the entries' values
  std::map<int, std::string> entries_;
  std::vector<Received> received_;
  std::vector<Written> written_;
  bool idle_ = false;
  long loops_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace test
