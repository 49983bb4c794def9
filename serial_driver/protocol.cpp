#include "serial_driver/protocol.h"

#include <locale.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace serial_driver {
namespace detail {

namespace {

locale_t cLocale() {
  // Made once and never freed: it is shared by every thread for the life of the process.
  static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return c;
}

}  // namespace

CLocaleScope::CLocaleScope() : previous_(uselocale(cLocale())) {}

CLocaleScope::~CLocaleScope() { uselocale(static_cast<locale_t>(previous_)); }

int formatSetFloat(char* buf, int index, float value) {
  CLocaleScope c_locale;
  return snprintf(buf, kFrameSize, "$set %d %.3f", index, static_cast<double>(value));
}

int formatSetInt(char* buf, int index, int value) {
  return snprintf(buf, kFrameSize, "$set %d %d", index, value);
}

int formatSetText(char* buf, int index, const char* text) {
  return snprintf(buf, kFrameSize, "$set %d %s", index, text);
}

int formatGet(char* buf, int index) { return snprintf(buf, kFrameSize, "$get %d", index); }

const char* textRefusal(const char* text, size_t length) {
  if (text == nullptr) return "text value is a null pointer, nothing sent";
  if (memchr(text, '\n', length) != nullptr) return "text value holds a newline, nothing sent";
  return nullptr;
}

bool scanInt(const char* text, int* value) {
  // strtol reads what "%d" reads, and says when the number does not fit.
  char* end = nullptr;
  errno = 0;
  const long parsed = strtol(text, &end, 10);
  if (end == text || errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX) return false;
  *value = static_cast<int>(parsed);
  return true;
}

bool scanFloat(const char* text, float* value) {
  CLocaleScope c_locale;
  return sscanf(text, "%f", value) == 1;
}

bool parseIntExact(const char* text, int* value) {
  const char* end = text + strlen(text);
  if (*text == '+') ++text;  // from_chars takes no plus sign
  int parsed = 0;
  const auto [stop, error] = std::from_chars(text, end, parsed);
  if (error != std::errc() || stop != end) return false;
  *value = parsed;
  return true;
}

bool parseFloatExact(const char* text, float* value) {
  const char* end = text + strlen(text);
  if (*text == '+') ++text;
  float parsed = 0.0f;
  // from_chars reads the C locale's syntax whatever the process locale, and no hex without
  // chars_format::hex; out of range is an error, not infinity.
  const auto [stop, error] = std::from_chars(text, end, parsed, std::chars_format::general);
  if (error != std::errc() || stop != end || !std::isfinite(parsed)) return false;
  *value = parsed;
  return true;
}

void pauseMicros(long micros) {
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
  // A fuzzing build skips the pauses: every input that times out would sleep its whole window.
  (void)micros;
  return;
#else
  timespec left{micros / 1000000, (micros % 1000000) * 1000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
#endif
}

bool ReplyBuffer::holdsFrame() {
  return checkoutString(buf_, size_, text_) == 1 && parseString(text_, tokens) == 1;
}

Verdict judgeAck(const char (*tokens)[64], int index) {
  if (strcmp(tokens[0], "$ack") != 0) return Verdict::kWrongKind;
  int index_seen = 0;
  if (!scanInt(tokens[1], &index_seen)) return Verdict::kBadIndex;
  return index_seen == index ? Verdict::kAccepted : Verdict::kKeepWaiting;
}

Verdict judgeFeedback(const char (*tokens)[64], int index, int data_type, void* value,
                      int* index_seen, NumberSyntax syntax) {
  const bool exact = syntax == NumberSyntax::kExact;
  if (strcmp(tokens[0], "$fdb") != 0) return Verdict::kWrongKind;
  if (!scanInt(tokens[1], index_seen)) return Verdict::kBadIndex;
  if (*index_seen != index) return Verdict::kWrongIndex;
  // Converted into a local first: a failed conversion leaves the caller's value alone.
  switch (data_type) {
    case kValueFloat: {
      float converted = 0.0f;
      if (!(exact ? parseFloatExact(tokens[2], &converted) : scanFloat(tokens[2], &converted))) {
        return Verdict::kBadValue;
      }
      *static_cast<float*>(value) = converted;
      break;
    }
    case kValueInt: {
      int converted = 0;
      if (!(exact ? parseIntExact(tokens[2], &converted) : scanInt(tokens[2], &converted))) {
        return Verdict::kBadValue;
      }
      *static_cast<int*>(value) = converted;
      break;
    }
    case kValueText:
      // Token 2 of a valid "$fdb" frame has at most 55 characters.
      strcpy(static_cast<char*>(value), tokens[2]);
      break;
    default:
      break;
  }
  return Verdict::kAccepted;
}

std::chrono::nanoseconds resyncQuietTime(std::chrono::nanoseconds deadline, int failures_in_row,
                                         std::chrono::nanoseconds longest) {
  const int deadlines = failures_in_row >= 2 ? 4 : 1;
  // Compared by division: the largest deadlines would overflow when multiplied.
  return deadline > longest / deadlines ? longest : deadlines * deadline;
}

timespec timeLeft(std::chrono::steady_clock::time_point deadline) {
  using Clock = std::chrono::steady_clock;
  const auto left = std::clamp<Clock::duration>(deadline - Clock::now(), Clock::duration::zero(),
                                                std::chrono::hours(24));
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

Resync discardUntilQuiet(int fd, std::chrono::nanoseconds quiet, int wake_fd,
                         const std::function<bool()>& stop) {
  using Clock = std::chrono::steady_clock;
  Resync result;
  auto quiet_until = Clock::now() + quiet;
  for (;;) {
    const timespec wait = timeLeft(quiet_until);
    if (wait.tv_sec == 0 && wait.tv_nsec == 0) return result;
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    const int ready = ppoll(fds, wake_fd >= 0 ? 2 : 1, &wait, nullptr);
    if (ready < 0 && errno != EINTR) {
      result.end = QuietEnd::kHungUp;
      return result;
    }
    if ((ready < 0 || fds[1].revents != 0) && stop && stop()) {
      result.end = QuietEnd::kCancelled;
      return result;
    }
    if (ready <= 0 || fds[0].revents == 0) continue;
    if ((fds[0].revents & POLLIN) == 0) {  // POLLHUP, POLLERR, POLLNVAL
      result.end = QuietEnd::kHungUp;
      return result;
    }
    char buf[256];
    const ssize_t got = read(fd, buf, sizeof buf);
    if (got > 0) {
      result.discarded += static_cast<uint64_t>(got);
      quiet_until = Clock::now() + quiet;
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      result.end = QuietEnd::kHungUp;  // end of file or EIO: the port hung up
      return result;
    }
  }
}

}  // namespace detail
}  // namespace serial_driver
