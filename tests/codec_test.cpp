// The frame codec: checksum, frame validation and splitting.
#include <cstring>
#include <string>

#include "serial_driver/serial_driver.h"
#include "test_helpers.h"

namespace {

using test::frame;

// Runs checkoutString on bytes; the text it extracted, or nullopt-like "<rejected>".
std::string checkout(const std::string& bytes) {
  char text[64];
  memset(text, 'x', sizeof text);
  if (checkoutString(bytes.data(), static_cast<int>(bytes.size()), text) != 1) {
    EXPECT_EQ(text[0], '\0') << "a rejected span leaves the text empty";
    return "<rejected>";
  }
  return std::string(text);
}

TEST(CalcXOR, MatchesTheChecksumsOfTheProtocol) {
  EXPECT_EQ(calcXOR(""), 0);
  EXPECT_EQ(calcXOR("abc"), 0x60);
  EXPECT_EQ(calcXOR("$get 5"), 0x47);
  EXPECT_EQ(calcXOR("$set 5 1.500"), 0x59);
  EXPECT_EQ(calcXOR("$set 1 w"), 0x00);
  EXPECT_EQ(calcXOR("$ack 5"), 0x58);
  EXPECT_EQ(calcXOR("$fdb 5 1.500"), 0x5B);
  EXPECT_EQ(calcXOR("\xff\x01"), 0xFE) << "bytes above 0x7f are not sign-extended";
}

TEST(CheckoutString, AcceptsExactlyOneWholeFrame) {
  EXPECT_EQ(checkout(frame("$ack 5")), "$ack 5");
  EXPECT_EQ(checkout(std::string("$ack 5Y\n")), "<rejected>") << "wrong checksum";
  EXPECT_EQ(checkout("$ack 5"), "<rejected>") << "no terminator yet";
  EXPECT_EQ(checkout("$\x24\n"), "$") << "shortest frame: its checksum equals '$'";
  EXPECT_EQ(checkout("$\n"), "<rejected>");
  EXPECT_EQ(checkout("\n"), "<rejected>");
  EXPECT_EQ(checkout("!\n"), "!");
  EXPECT_EQ(checkout("!overheat 3\n"), "!overheat 3") << "'!' frames carry no checksum";
  EXPECT_EQ(checkout("x" + frame("$ack 5")), "<rejected>") << "noise before the frame";
  EXPECT_EQ(checkout(frame("$ack 5") + frame("$ack 5")), "<rejected>") << "two frames";
  EXPECT_EQ(checkout(frame("$ack 5") + frame("$ack 6")), "<rejected>") << "two frames";
}

TEST(CheckoutString, ChecksumBytesThatLookLikeTerminators) {
  // "$set 1 w" has checksum 0x00: the byte is part of the frame, not the end of the text.
  std::string zero = frame("$set 1 w");
  ASSERT_EQ(zero.size(), 10u);
  EXPECT_EQ(checkout(zero), "$set 1 w");

  // Find a text whose checksum is 0x0A: the frame then ends in two newlines.
  std::string text = "$fdb 1 a";
  for (char c = 'a'; calcXOR(text.c_str()) != '\n'; ++c) text.back() = c;
  const std::string bytes = frame(text);
  EXPECT_EQ(checkout(bytes), text);
  EXPECT_EQ(checkout(bytes.substr(0, bytes.size() - 1)), "<rejected>")
      << "only the checksum byte has arrived";
}

TEST(CheckoutString, ThreeFramesBackToBackAreNotOne) {
  // The XORs of the first two cancel, so the checksum of the span is the third frame's.
  const std::string three = frame("$ack 5") + frame("$ack 5") + frame("$fdb 5 1");
  ASSERT_EQ(calcXOR(three.substr(0, three.size() - 2).c_str()),
            static_cast<uint8_t>(three[three.size() - 2]));
  EXPECT_EQ(checkout(three), "<rejected>");
  EXPECT_EQ(checkout("!a\n!b\n"), "<rejected>") << "two '!' frames";
}

TEST(CheckoutString, RejectsNullEmptyAndOversizedSpansWithoutTouchingMemory) {
  char text[64] = "untouched";
  EXPECT_EQ(checkoutString(nullptr, 5, text), 0);
  EXPECT_STREQ(text, "untouched");
  EXPECT_EQ(checkoutString("$", 0, text), 0);
  EXPECT_STREQ(text, "untouched");

  // The longest "$" frame fills 64 bytes; its 62-byte text fits the 64-byte text buffer.
  const std::string longest = frame("$fdb 5 " + std::string(55, 'v'));
  ASSERT_EQ(longest.size(), 64u);
  EXPECT_EQ(checkout(longest), "$fdb 5 " + std::string(55, 'v'));
  // A span longer than any buffer is no frame, and never copied.
  const std::string too_long = "!" + std::string(70, 'v') + "\n";
  EXPECT_EQ(checkout(too_long), "<rejected>");
}

TEST(ParseString, SplitsOnTheFirstTwoBlanksOnly) {
  char rows[4][64];
  memset(rows, '#', sizeof rows);
  ASSERT_EQ(parseString("$fdb 7 hello world", rows), 1);
  EXPECT_STREQ(rows[0], "$fdb");
  EXPECT_STREQ(rows[1], "7");
  EXPECT_STREQ(rows[2], "hello world");
  EXPECT_EQ(rows[3][0], '#') << "row 3 is never written";

  ASSERT_EQ(parseString("$ack  5", rows), 1);
  EXPECT_STREQ(rows[1], "");
  EXPECT_STREQ(rows[2], "5");

  memset(rows, '#', sizeof rows);
  ASSERT_EQ(parseString("$ack 5", rows), 1);
  EXPECT_STREQ(rows[0], "$ack");
  EXPECT_STREQ(rows[1], "5");
  EXPECT_EQ(rows[2][0], '#') << "rows past the last token keep what they held";

  ASSERT_EQ(parseString("!", rows), 1);
  EXPECT_STREQ(rows[0], "!");
}

TEST(ParseString, RefusesTextsThatAreNoFrameOrDoNotFit) {
  char rows[4][64];
  memset(rows, '#', sizeof rows);
  EXPECT_EQ(parseString("#ack 5", rows), 0);
  EXPECT_EQ(parseString("", rows), 0);
  EXPECT_EQ(parseString(("$" + std::string(64, 'a')).c_str(), rows), 0) << "65 characters";
  // 64 characters without a blank would need 65 bytes in row 0.
  EXPECT_EQ(parseString(("$" + std::string(63, 'a')).c_str(), rows), 0);
  EXPECT_EQ(rows[0][0], '#') << "a refused text leaves the rows alone";

  const std::string sixty_four = "$ack 5 " + std::string(57, 'z');
  ASSERT_EQ(sixty_four.size(), 64u);
  ASSERT_EQ(parseString(sixty_four.c_str(), rows), 1);
  EXPECT_EQ(std::string(rows[2]), std::string(57, 'z'));
}

}  // namespace
