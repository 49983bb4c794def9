// Serving other programs from the link that holds the port.
#include "serial_driver/owner/owner_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <deque>

#include "serial_driver/codec.h"
#include "serial_driver/owner/served_line.h"
#include "serial_driver/port.h"

namespace serial_driver {
namespace detail {

namespace {

// Bytes of a served program's lines read but not yet taken apart, and of its answers not yet
// taken: beyond either the owner waits for it.
constexpr size_t kInRoom = 4096;
constexpr size_t kOutRoom = 4096;

// What a forked child's copy of an owner must never free, held where leak checkers see it is
// still in reach.
std::atomic<void*> kept_forever[8];

void keepForever(void* kept) {
  for (std::atomic<void*>& slot : kept_forever) {
    void* empty = nullptr;
    if (slot.compare_exchange_strong(empty, kept)) return;
  }
}

int acceptOne(int listen_fd) {
  for (;;) {
    const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

}  // namespace

struct OwnerServer::Client {
  UniqueFd fd;
  Peer peer;
  std::string program;
  std::string in;         // bytes read, not yet a whole line
  bool overlong = false;  // dropping a line too long for a frame, up to its newline
  bool ended = false;     // it sent all it will: answer what it sent, then let it go
  struct Line {
    bool ready = false;  // text is the answer; else item is still to run
    std::string text;
    Item item;
    std::string value;
  };
  std::deque<Line> queue;
  std::string out;

  ~Client() {
    if (fd.get() >= 0) forgetPort(fd.get());
  }
  bool gone() const { return ended && queue.empty() && in.empty() && out.empty(); }
};

std::unique_ptr<OwnerServer> OwnerServer::start(const std::string& path, const struct stat& tty,
                                                bool allow_writes, RunItem run_item,
                                                std::error_code* error) {
  std::unique_ptr<OwnerServer> server(
      new OwnerServer(path, tty, allow_writes, std::move(run_item)));
  *error = listenAt(path, tty, &server->listen_fd_);
  if (!*error) {
    server->wake_fd_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (server->wake_fd_.get() < 0) *error = {errno, std::generic_category()};
  }
  if (*error) return nullptr;  // the destructor removes the socket if it made one
  rememberPort(server->listen_fd_.get());
  rememberPort(server->wake_fd_.get());
  server->thread_.reset(new std::thread([s = server.get()] { s->serve(); }));
  return server;
}

OwnerServer::OwnerServer(std::string path, const struct stat& tty, bool allow_writes,
                         RunItem run_item)
    : path_(std::move(path)),
      tty_(tty),
      allow_writes_(allow_writes),
      run_item_(std::move(run_item)),
      started_by_(getpid()) {}

OwnerServer::~OwnerServer() {
  if (getpid() != started_by_) {
    // A child's copy: the descriptors were closed at fork, the thread and the socket's name
    // are the parent's.
    listen_fd_.release();
    wake_fd_.release();
    // Moved out and never freed: the serving thread may have been changing them at fork.
    keepForever(held_.release());
    keepForever(thread_.release());
    return;
  }
  stopSoon();
  if (thread_) thread_->join();
  held_.reset();
  forgetPort(wake_fd_.get());
  // Only a socket this owner made: a path it could not take is someone else's.
  if (listen_fd_.get() >= 0) {
    forgetPort(listen_fd_.get());
    unlink(path_.c_str());
  }
}

void OwnerServer::stopSoon() {
  stopping_.store(true);
  const uint64_t one = 1;
  if (wake_fd_.get() >= 0) (void)!write(wake_fd_.get(), &one, sizeof one);
}

void OwnerServer::serve() {
  std::vector<pollfd> polled;
  while (!stopping_.load()) {
    polled.assign({{wake_fd_.get(), POLLIN, 0}, {listen_fd_.get(), POLLIN, 0}});
    bool runnable = false;
    for (const auto& client : served_) {
      takeLines(*client);
      short events = 0;
      if (!client->ended && client->in.size() < kInRoom) events |= POLLIN;
      if (!client->out.empty()) events |= POLLOUT;
      polled.push_back({client->fd.get(), events, 0});
      runnable = runnable || (!client->queue.empty() && client->out.size() < kOutRoom);
    }
    if (poll(polled.data(), polled.size(), runnable ? 0 : -1) < 0 && errno != EINTR) break;
    if (stopping_.load()) break;
    if (polled[1].revents & POLLIN) acceptClients();
    for (size_t i = 0; i < served_.size() && i + 2 < polled.size(); ++i) {
      Client& client = *served_[i];
      const short revents = polled[i + 2].revents;
      bool alive = true;
      if (revents & (POLLIN | POLLHUP | POLLERR)) alive = readFrom(client);
      if (alive && (revents & POLLOUT)) alive = writeTo(client);
      if (!alive) client.ended = true, client.queue.clear(), client.in.clear(), client.out.clear();
    }
    runOne();
    for (auto it = served_.begin(); it != served_.end();) {
      it = (*it)->gone() ? served_.erase(it) : it + 1;
    }
    clients_.store(static_cast<int>(served_.size()), std::memory_order_relaxed);
  }
}

void OwnerServer::acceptClients() {
  for (int fd = acceptOne(listen_fd_.get()); fd >= 0; fd = acceptOne(listen_fd_.get())) {
    std::unique_ptr<Client> client(new Client);
    client->fd.reset(fd);
    rememberPort(fd);
    client->peer = peerOf(fd);
    std::string refusal;
    if (!peerMayOpen(fd, client->peer, tty_)) {
      refusal = failureLine(kDeniedCause, "this user may not open the port the owner holds");
    } else if (served_.size() >= kMaxServed) {
      refusal = failureLine("busy", "the owner serves as many programs as it can");
    }
    if (!refusal.empty()) {
      (void)!send(fd, refusal.data(), refusal.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      continue;
    }
    client->program = programName(client->peer.pid);
    served_.push_back(std::move(client));
  }
}

// False when the program is gone.
bool OwnerServer::readFrom(Client& client) {
  if (!client.ended && client.in.size() < kInRoom) {
    char buf[kInRoom];
    const ssize_t got = recv(client.fd.get(), buf, kInRoom - client.in.size(), MSG_DONTWAIT);
    if (got == 0) {
      client.ended = true;
    } else if (got < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else if (got > 0) {
      client.in.append(buf, static_cast<size_t>(got));
    }
  }
  takeLines(client);
  return true;
}

// Moves whole lines read into the queue while it has room: on every pass, since the room comes
// as commands are answered, not as bytes arrive.
void OwnerServer::takeLines(Client& client) {
  while (client.queue.size() < kServedQueueLines) {
    const size_t newline = client.in.find('\n');
    if (newline == std::string::npos) {
      if (client.in.size() >= static_cast<size_t>(kFrameSize)) {
        client.overlong = true;
        client.in.clear();
      }
      // A program that ended in the middle of a line sent no command.
      if (client.ended) client.in.clear();
      return;
    }
    if (client.overlong) {
      client.overlong = false;
      Client::Line refused;
      refused.ready = true;
      refused.text = failureLine(kBadFrameCause, "the line is longer than a frame");
      client.queue.push_back(std::move(refused));
    } else {
      queueLine(client, client.in.data(), static_cast<int>(newline + 1));
    }
    client.in.erase(0, newline + 1);
  }
}

void OwnerServer::queueLine(Client& client, const char* line, int length) {
  const std::string text(line, static_cast<size_t>(length));
  if (text == "\n" || text == "\r\n") return;  // a blank line from a shell asks nothing
  Client::Line entry;
  if (text == std::string(kClientsQuery) + "\n") {
    entry.ready = true;
    entry.text = clientsLine();
  } else if (!parseRequest(line, length, &entry.item, &entry.value)) {
    entry.ready = true;
    entry.text = failureLine(kBadFrameCause, "not a $get or $set frame with its checksum");
  } else if (!entry.item.is_get && !allow_writes_) {
    entry.ready = true;
    entry.text = failureLine(kReadOnlyCause,
                             "the owner serves reads only; it allows sets with "
                             "LinkOptions::serve_writes (chassisd --allow-writes)");
  }
  client.queue.push_back(std::move(entry));
}

bool OwnerServer::writeTo(Client& client) {
  // Answers that were ready go out behind the ones before them, in order.
  while (!client.queue.empty() && client.queue.front().ready) {
    client.out += client.queue.front().text;
    client.queue.pop_front();
  }
  if (client.out.empty()) return true;
  const ssize_t sent =
      send(client.fd.get(), client.out.data(), client.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent < 0) return errno == EAGAIN || errno == EINTR;
  client.out.erase(0, static_cast<size_t>(sent));
  return true;
}

// Runs the next served command, taking programs in turn: true when one ran.
bool OwnerServer::runOne() {
  bool ran = false;
  for (size_t tried = 0; tried < served_.size() && !ran; ++tried) {
    const size_t at = (next_turn_ + tried) % served_.size();
    Client& client = *served_[at];
    (void)writeTo(client);
    if (client.queue.empty() || client.out.size() >= kOutRoom) continue;
    Client::Line& line = client.queue.front();
    line.item.value = &line.value;  // the line may have moved since it was parsed
    run_item_(&line.item);
    line.ready = true;
    line.text = replyLine(line.item, line.value);
    next_turn_ = at + 1;
    ran = true;
    if (!writeTo(client)) client.ended = true, client.queue.clear(), client.out.clear();
  }
  return ran;
}

std::string OwnerServer::clientsLine() const {
  std::string line = "!clients " + std::to_string(served_.size());
  for (const auto& client : served_) {
    line += " pid " + std::to_string(client->peer.pid);
    if (!client->program.empty()) line += " (" + client->program + ")";
  }
  return line + "\n";
}

}  // namespace detail
}  // namespace serial_driver
