// Log lines, the call-site prefix and the throttle.
#include "serial_driver/log.h"

#include <cctype>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "serial_driver/serial_driver.h"
#include "test_helpers.h"

namespace {

using test::StdoutCapture;

TEST(Log, WritesLevelLoggerAndTextOnOneLine) {
  StdoutCapture out;
  log(LogLevel::INFO, "console", "hello");
  log(LogLevel::CRITICAL, "");
  log(LogLevel::TRACE, "motor", "x y");
  log(LogLevel::ERROR, "banner\n");
  EXPECT_EQ(out.text(),
            "INFO console hello\nCRITICAL console \nTRACE motor x y\n"
            "ERROR console banner\n\n");
}

TEST(Log, LevelsOutsideTheNameTableStillWriteOneLine) {
  StdoutCapture out;
  log(LogLevel::OFF, "off");
  log(static_cast<LogLevel>(-1), "negative");
  log(static_cast<LogLevel>(1000), "huge");
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "UNKNOWN console off");
  EXPECT_EQ(lines[1], "UNKNOWN console negative");
  EXPECT_EQ(lines[2], "UNKNOWN console huge");
}

TEST(Log, NameTableHasSixLevels) {
  const std::vector<std::string> names(logStr, logStr + 6);
  EXPECT_EQ(names,
            (std::vector<std::string>{"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "CRITICAL"}));
}

void logFromHere(int count) { SD_LOG(LogLevel::WARN, "uart send failed", count, std::string("s")); }

TEST(CallSite, PrefixNamesBaseFileLineAndFunctionThenEachArgument) {
  StdoutCapture out;
  char buffer[64] = "abc";  // a fixed buffer is written up to its NUL
  SD_LOG(LogLevel::ERROR, "msg", -1, 12, buffer);
  logFromHere(3);
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(test::withoutLineNumber(lines[0]), "ERROR [log_test.cpp TestBody]; msg; -1; 12; abc");
  EXPECT_EQ(test::withoutLineNumber(lines[1]),
            "WARN [log_test.cpp logFromHere]; uart send failed; 3; s");
  EXPECT_NE(lines[0].find("[log_test.cpp:"), std::string::npos);
}

TEST(CallSite, PathWithoutSlashIsUsedWhole) {
  EXPECT_EQ(logBaseName("uart.cpp"), "uart.cpp");
  EXPECT_EQ(logBaseName("/a/b/uart.cpp"), "uart.cpp");
}

TEST(Throttle, WindowRunsFromTheLastWrittenLine) {
  std::unordered_map<std::string, double> table;
  EXPECT_TRUE(throttlePermits(table, "site", 100.0));
  EXPECT_FALSE(throttlePermits(table, "site", 101.0));
  EXPECT_DOUBLE_EQ(table["site"], 100.0) << "a suppressed call leaves the stored time alone";
  EXPECT_TRUE(throttlePermits(table, "site", 102.5));
  EXPECT_DOUBLE_EQ(table["site"], 102.5);
  // Reached every 1.5 s: writes at 0 s, 3 s, 6 s.
  std::unordered_map<std::string, double> every;
  std::vector<double> written;
  for (double t = 0.0; t < 7.0; t += 1.5) {
    if (throttlePermits(every, "site", t)) written.push_back(t);
  }
  EXPECT_EQ(written, (std::vector<double>{0.0, 3.0, 6.0}));
}

TEST(Throttle, ExactlyTwoSecondsIsStillInsideTheWindow) {
  std::unordered_map<std::string, double> table;
  EXPECT_TRUE(throttlePermits(table, "site", 0.0));
  EXPECT_FALSE(throttlePermits(table, "site", 2.0));
  EXPECT_TRUE(throttlePermits(table, "site", 2.001));
}

TEST(Throttle, SitesKeepSeparateWindows) {
  std::unordered_map<std::string, double> table;
  EXPECT_TRUE(throttlePermits(table, "a.cpp10", 0.0));
  EXPECT_TRUE(throttlePermits(table, "a.cpp11", 0.5));
  EXPECT_FALSE(throttlePermits(table, "a.cpp10", 1.0));
  EXPECT_FALSE(throttlePermits(table, "a.cpp11", 1.0));
}

// transmit's failure message is a throttled call site of the library.
std::vector<std::string> transmitOnClosedPort(int times) {
  StdoutCapture out;
  char frame[] = "$get 5G\n";
  for (int i = 0; i < times; ++i) EXPECT_EQ(transmit(-1, frame, 8), 0);
  return out.lines();
}

TEST(Throttle, LibraryCallSiteWritesOncePerWindow) {
  const auto lines = transmitOnClosedPort(5);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(test::withoutLineNumber(lines[0]),
            "ERROR [serial_driver.cpp transmit]; transmit error, port is closed; -1; 8");

  // The key is the call site's full source path and line, with no separator.
  ASSERT_EQ(map_time.size(), 1u);
  auto& [key, stored] = *map_time.begin();
  EXPECT_NE(key.find("/serial_driver/serial_driver.cpp"), std::string::npos) << key;
  EXPECT_TRUE(isdigit(static_cast<unsigned char>(key.back()))) << key;
  EXPECT_NEAR(stored, static_cast<double>(time(nullptr)), 2.0);

  // Moving the last write 2.5 s into the past releases the site once more.
  stored -= 2.5;
  EXPECT_EQ(transmitOnClosedPort(3).size(), 1u);
}

TEST(Throttle, ConcurrentCallsWriteOneLine) {
  StdoutCapture out;
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([] {
      char frame[] = "$get 5G\n";
      for (int j = 0; j < 200; ++j) transmit(-1, frame, 8);
    });
  }
  for (auto& t : threads) t.join();
  // Without the lock several threads can pass the check before one stores its time.
  EXPECT_EQ(out.lines().size(), 1u);
}

}  // namespace
