// The link's line reader on any bytes, fed in pieces of any size: it never reads or writes out
// of bounds, every line it hands out fits a frame, and whatever came before, a reply that
// starts a line is still found.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "serial_driver/engine/line_reader.h"

using serial_driver::detail::LineReader;

namespace {

// Feeds bytes in pieces of `piece` bytes; the last frame seen goes to *last.
void feed(LineReader& reader, const std::string& bytes, size_t piece, int* last_ack) {
  for (size_t at = 0; at < bytes.size();) {
    const size_t n = std::min({piece, bytes.size() - at, static_cast<size_t>(reader.room())});
    if (n == 0) abort();  // the reader must always keep room
    memcpy(reader.space(), bytes.data() + at, n);
    reader.added(static_cast<int>(n));
    at += n;
    for (auto item = reader.next(); item != LineReader::Item::kNone; item = reader.next()) {
      if (item == LineReader::Item::kText) {
        if (reader.textLength() < 1 || reader.textLength() > kFrameSize) abort();
        *last_ack = -1;
      } else {
        const auto& reply = reader.reply();
        *last_ack = reply.kind == serial_driver::detail::ReplyKind::kAck && reply.has_index
                        ? reply.index
                        : -1;
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t piece = data[0] % 70 + 1;
  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string reply = "$ack 7";
  char sum = 0;
  for (char c : reply) sum ^= c;
  bytes += "\n" + reply + sum + "\n";
  LineReader reader;
  int last_ack = -1;
  feed(reader, bytes, piece, &last_ack);
  if (last_ack != 7) abort();
  return 0;
}
