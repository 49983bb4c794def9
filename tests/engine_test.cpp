// The engine's pure pieces, without a port: the line reader on byte strings, the failed-command
// memory on an injected clock, and the rule that ties a reply to a command in flight.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial_driver/engine/late_answers.h"
#include "serial_driver/engine/line_reader.h"
#include "serial_driver/engine/window.h"
#include "serial_driver/turns.h"

namespace {

using serial_driver::detail::Clock;
using serial_driver::detail::Item;
using serial_driver::detail::Judgement;
using serial_driver::detail::LateAnswers;
using serial_driver::detail::LineReader;
using serial_driver::detail::Reply;
using serial_driver::detail::ReplyKind;
using serial_driver::detail::Slot;
using serial_driver::detail::Window;
using std::chrono::milliseconds;

std::string frame(const std::string& text) {
  char sum = 0;
  for (char c : text) sum ^= c;
  return text + sum + '\n';
}

// Everything the reader makes of the bytes, fed in one piece: "F:<kind> <index>" for a frame,
// "T:<line>" for text.
std::string readAll(const std::string& bytes, uint64_t* dropped = nullptr) {
  LineReader reader;
  memcpy(reader.space(), bytes.data(), bytes.size());
  reader.added(static_cast<int>(bytes.size()));
  std::string seen;
  for (auto item = reader.next(); item != LineReader::Item::kNone; item = reader.next()) {
    if (item == LineReader::Item::kText) {
      seen += "T:" + std::string(reader.text(), reader.textLength() - 1) + "|";
    } else {
      seen += "F:" + std::string(reader.tokens[0]) + " " + reader.tokens[1] + " " +
              reader.reply().value + "|";
    }
  }
  if (dropped != nullptr) *dropped = reader.takeDropped();
  return seen;
}

TEST(LineReader, NoiseBeforeAReplyNeverSpoilsIt) {
  // "$$" and "$x$x" XOR to nil, so a checksum over them and the reply holds: still noise.
  for (const std::string noise : {"$$", "$x$x", "$fdb 3 1.2", "xyz", "$"}) {
    uint64_t dropped = 0;
    EXPECT_EQ(readAll(noise + frame("$fdb 5 1.500"), &dropped), "F:$fdb 5 1.500|") << noise;
    EXPECT_EQ(dropped, noise.size()) << noise;
  }
  EXPECT_EQ(readAll("dbg $x\n" + frame("$ack 2")), "T:dbg $x|F:$ack 2 |");
}

TEST(LineReader, TextValuesBangLinesAndForeignFramesComeOutWhole) {
  EXPECT_EQ(readAll(frame("$fdb 5 a$fdb 1 b")), "F:$fdb 5 a$fdb 1 b|")
      << "a \"$\" inside a text value starts no frame";
  EXPECT_EQ(readAll("!low battery\n" + frame("$ack 1")), "F:!low battery |F:$ack 1 |");
  const std::string foreign = frame("$log 1 x");
  EXPECT_EQ(readAll(foreign + frame("$ack 1")),
            "T:" + foreign.substr(0, foreign.size() - 1) + "|F:$ack 1 |")
      << "a frame of no reply kind is text";
  EXPECT_EQ(readAll("x!busy\n"), "T:x!busy|") << "a \"!\" inside a line is text";
}

TEST(LineReader, AStreamWithoutNewlinesIsDroppedAndKeepsRoom) {
  LineReader reader;
  uint64_t dropped = 0;
  for (int round = 0; round < 100; ++round) {
    const std::string junk(static_cast<size_t>(reader.room()), 'x');
    memcpy(reader.space(), junk.data(), junk.size());
    reader.added(static_cast<int>(junk.size()));
    EXPECT_EQ(reader.next(), LineReader::Item::kNone);
    dropped += reader.takeDropped();
    ASSERT_GE(reader.room(), kFrameSize);
  }
  EXPECT_GT(dropped, 0u);
  const std::string reply = frame("$ack 7");
  memcpy(reader.space(), reply.data(), reply.size());
  reader.added(static_cast<int>(reply.size()));
  ASSERT_EQ(reader.next(), LineReader::Item::kFrame);
  EXPECT_EQ(reader.reply().index, 7);
}

Reply reply(ReplyKind kind, int index) {
  Reply r;
  r.kind = kind;
  r.has_index = true;
  r.index = index;
  return r;
}

class LateAnswersTest : public ::testing::Test {
 protected:
  void SetUp() override { late_.setWindows(milliseconds(50), milliseconds(200)); }
  LateAnswers late_;
  const Clock::time_point t0_ = Clock::now();
};

TEST_F(LateAnswersTest, NothingIsForgottenBeforeItsTimeHoweverManyFail) {
  for (int i = 0; i < LateAnswers::kRoom; ++i) {
    ASSERT_TRUE(late_.hasRoom(1, t0_));
    late_.add(true, i, static_cast<uint64_t>(i + 1), t0_);
  }
  EXPECT_FALSE(late_.hasRoom(1, t0_ + milliseconds(199)));
  for (int i = 0; i < LateAnswers::kRoom; ++i) {
    EXPECT_EQ(late_.clearAt(i, t0_ + milliseconds(199)), t0_ + milliseconds(200)) << i;
  }
  EXPECT_EQ(late_.firstEnd(), t0_ + milliseconds(200));
  EXPECT_TRUE(late_.hasRoom(LateAnswers::kRoom, t0_ + milliseconds(200)));
  EXPECT_EQ(late_.size(), 0);
}

TEST_F(LateAnswersTest, AnAnswerToALaterCommandShortensOnlyTheOlderOnesWait) {
  late_.add(true, 1, 10, t0_);
  late_.add(false, 2, 12, t0_);
  late_.answered(11);
  EXPECT_EQ(late_.clearAt(1, t0_), t0_ + milliseconds(50));
  EXPECT_EQ(late_.clearAt(2, t0_), t0_ + milliseconds(200));
  EXPECT_EQ(late_.clearAt(3, t0_), t0_) << "another entry goes at once";
}

TEST_F(LateAnswersTest, ALateAnswerIsTakenByKindAndEntryAndHoldsBackEitherKind) {
  late_.add(false, 5, 1, t0_);  // a set
  EXPECT_EQ(late_.clearAt(5, t0_), t0_ + milliseconds(200)) << "a get of 5 waits too";
  EXPECT_FALSE(late_.takes(reply(ReplyKind::kFeedback, 5), t0_)) << "not the set's answer";
  EXPECT_FALSE(late_.takes(reply(ReplyKind::kAck, 6), t0_));
  EXPECT_TRUE(late_.takes(reply(ReplyKind::kAck, 5), t0_));
  EXPECT_FALSE(late_.takes(reply(ReplyKind::kAck, 5), t0_)) << "one answer per command";
  EXPECT_EQ(late_.clearAt(5, t0_), t0_);
  late_.add(true, 5, 2, t0_);
  EXPECT_FALSE(late_.takes(reply(ReplyKind::kFeedback, 5), t0_ + milliseconds(200)))
      << "past its time it is no answer of a remembered command";
}

TEST_F(LateAnswersTest, ACommandGivenUpEarlyHoldsBackEveryEntryUntilItsDeadline) {
  // Cancelled, or failed with the line out of step: until its deadline its answer may come
  // under any number; after it, only as a late answer of its own entry.
  late_.add(true, 5, 1, t0_, t0_ + milliseconds(30));
  late_.add(true, 6, 2, t0_);
  EXPECT_EQ(late_.clearAt(7, t0_), t0_ + milliseconds(30));
  EXPECT_EQ(late_.clearAt(7, t0_ + milliseconds(30)), t0_ + milliseconds(30));
  EXPECT_EQ(late_.clearAt(5, t0_ + milliseconds(30)), t0_ + milliseconds(200));
  EXPECT_TRUE(late_.takes(reply(ReplyKind::kFeedback, 5), t0_));
  EXPECT_EQ(late_.clearAt(7, t0_), t0_);
  EXPECT_EQ(late_.clearAt(6, t0_), t0_ + milliseconds(200));
  EXPECT_TRUE(late_.takes(reply(ReplyKind::kFeedback, 6), t0_));
  late_.add(true, 1, 3, t0_);
  late_.add(true, 2, 4, t0_);
  EXPECT_TRUE(late_.takes(reply(ReplyKind::kFeedback, 2), t0_));
  EXPECT_EQ(late_.clearAt(1, t0_), t0_ + milliseconds(50))
      << "a later command's late answer came: the earlier one's had its chance";
}

// A window holding commands given as "g5" (get 5) or "s5" (set 5), oldest first.
class WindowTest : public ::testing::Test {
 protected:
  Judgement judge(std::initializer_list<const char*> flight, ReplyKind kind, int index) {
    Window window;
    int n = 0;
    for (const char* command : flight) {
      items_[n].is_get = command[0] == 'g';
      items_[n].index = atoi(command + 1);
      Slot slot;
      slot.item = &items_[n++];
      window.push(slot);
    }
    return window.judge(reply(kind, index));
  }
  Item items_[serial_driver::kMaxInFlight];
};

TEST_F(WindowTest, OnlyTheOldestCommandsOwnKindAndEntryIsAnAnswer) {
  const auto fdb = ReplyKind::kFeedback;
  const auto ack = ReplyKind::kAck;
  EXPECT_EQ(judge({"g5", "g6"}, fdb, 5).what, Judgement::kAnswer);
  EXPECT_EQ(judge({"s5", "g5"}, ack, 5).what, Judgement::kAnswer) << "kinds tell a pair apart";
  EXPECT_EQ(judge({"g5", "g6"}, fdb, 9).what, Judgement::kNotOurs) << "chatter costs nothing";
  EXPECT_EQ(judge({}, fdb, 5).what, Judgement::kNotOurs);
  EXPECT_EQ(judge({"g5"}, ReplyKind::kBang, 5).what, Judgement::kNotOurs);
}

TEST_F(WindowTest, AReplyThatCouldBeAnotherCommandsFailsEveryCommandItMayBelongTo) {
  const auto fdb = ReplyKind::kFeedback;
  const auto ack = ReplyKind::kAck;
  // Entry 5's answer misnumbered as 6, or 5's lost: which, the line cannot say.
  Judgement j = judge({"g5", "g6", "g7"}, fdb, 6);
  EXPECT_EQ(j.what, Judgement::kOutOfStep);
  EXPECT_EQ(j.through, 1);
  // A set answered with a feedback: the get of the same entry must not take it.
  j = judge({"s5", "g5"}, fdb, 5);
  EXPECT_EQ(j.what, Judgement::kOutOfStep);
  EXPECT_EQ(j.through, 1);
  // The oldest's entry with the wrong kind, and no command of that kind in flight.
  j = judge({"g5", "g7"}, ack, 5);
  EXPECT_EQ(j.what, Judgement::kOutOfStep);
  EXPECT_EQ(j.through, 0);
  j = judge({"g7", "s5", "g5", "g8"}, ack, 5);
  EXPECT_EQ(j.through, 1) << "up to the command of its own kind";
  j = judge({"g7", "s5", "g8"}, fdb, 5);
  EXPECT_EQ(j.through, 1) << "up to the last command for its entry";
}

}  // namespace

namespace {

// Turns taken by threads queued one after the other behind a held turn, in the order taken.
class TurnOrder {
 public:
  // A thread that waits for the turn (a served program's when served), notes `name` once it
  // has it, and gives it back; returns once the thread waits.
  void queue(char name, bool served) {
    const int before = turns_.waiting();
    threads_.emplace_back([this, name, served] {
      ASSERT_FALSE(turns_.take(turns_.epoch(), true, served));
      {
        std::lock_guard<std::mutex> lock(mutex_);
        order_ += name;
      }
      turns_.give();
    });
    while (turns_.waiting() == before) std::this_thread::yield();
  }
  // Gives the held turn back and waits for every queued thread.
  std::string afterGiving() {
    turns_.give();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
    return order_;
  }
  serial_driver::detail::Turns turns_;

 private:
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::string order_;
};

}  // namespace

// The link's own calls go first, but a served program waits behind at most one of them: the
// owner's cycle waits behind at most one served command, and served ones never starve.
TEST(Turns, AServedOperationGoesAfterTheLinksOwnButGetsEveryOtherTurn) {
  TurnOrder after_served;
  ASSERT_FALSE(after_served.turns_.take(0, false, true));
  after_served.queue('s', true);
  after_served.queue('O', false);
  EXPECT_EQ(after_served.afterGiving(), "Os") << "the link's own call goes first";

  TurnOrder after_own;
  ASSERT_FALSE(after_own.turns_.take(0, false));
  after_own.queue('O', false);
  after_own.queue('s', true);
  EXPECT_EQ(after_own.afterGiving(), "sO") << "after one of the link's own, a served one is due";
}
