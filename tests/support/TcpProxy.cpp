#include "tests/support/TcpProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/Error.h"

namespace vespril::test {

namespace {

using Clock = std::chrono::steady_clock;

// Every write goes out at once, as the client and the server send theirs: a small write held back for
// an acknowledgement would add a delay of its own.
void NoDelay(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A listening socket on 127.0.0.1:port (0 for any free port); -1 when the port can't be taken.
int Listen(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in address = Loopback(port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const sockaddr_in address = Loopback(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  NoDelay(fd);
  return fd;
}

// Writes everything or reports that the peer is gone.
bool WriteAll(int fd, const char* data, ssize_t size) {
  while (size > 0) {
    const ssize_t written = send(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

}  // namespace

// Owns every descriptor; only its thread touches the connections. Commands from the test's thread
// are handed over under the mutex and wake the thread through a pipe.
class TcpProxy::Worker {
 public:
  Worker(int targetPort, std::chrono::microseconds delay) : m_targetPort(targetPort), m_delay(delay) {
    m_listener = Listen(0);
    if (m_listener < 0 || pipe2(m_wake, O_CLOEXEC) != 0) throw Error("TcpProxy: no loopback port");
    sockaddr_in address{};
    socklen_t size = sizeof address;
    getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Run(); });
  }

  ~Worker() {
    Command(Order::Stop);
    m_thread.join();
    close(m_wake[0]);
    close(m_wake[1]);
  }

  int Port() const { return m_port; }

  void Cut() { Command(Order::Cut); }
  void Mute() { Command(Order::Mute); }

  void CutAfter(size_t bytes) {
    std::unique_lock lock(m_mutex);
    m_newBudget = bytes;
    lock.unlock();
    Command(Order::CutAfter);
  }

  void Restore() {
    const int listener = Listen(m_port);
    if (listener < 0) throw Error("TcpProxy: port " + std::to_string(m_port) + " was taken meanwhile");
    std::unique_lock lock(m_mutex);
    m_restored = listener;
    lock.unlock();
    Command(Order::Restore);
  }

 private:
  enum class Order { None, Cut, CutAfter, Mute, Restore, Stop };

  void Command(Order order) {
    std::unique_lock lock(m_mutex);
    m_order = order;
    const char byte = 0;
    (void)!write(m_wake[1], &byte, 1);
    m_done.wait(lock, [this] { return m_order == Order::None; });
  }

  // Bytes on their way, held until `due`.
  struct Held {
    Clock::time_point due;
    int to;
    std::string bytes;
  };

  void CloseAll() {
    for (const auto& [client, server] : m_pairs) {
      close(client);
      close(server);
    }
    m_pairs.clear();
    m_held.clear();
    if (m_listener >= 0) close(m_listener);
    m_listener = -1;
  }

  // Forwards what one side of a pair has, or holds it for the delay; false when that side or its peer
  // is gone.
  bool Forward(int from, int to, bool fromServer) {
    char buffer[65536];
    ssize_t got;
    do got = recv(from, buffer, sizeof buffer, 0);
    while (got < 0 && errno == EINTR);
    if (got <= 0) return false;
    if (fromServer && m_budget) {
      got = std::min(got, static_cast<ssize_t>(*m_budget));
      *m_budget -= static_cast<size_t>(got);
    }
    if (m_delay.count() == 0) return WriteAll(to, buffer, got);
    m_held.push_back({Clock::now() + m_delay, to, std::string(buffer, static_cast<size_t>(got))});
    return true;
  }

  // Sends the held bytes that are due (a peer that is gone shows when its side is read); returns the
  // time until the next are due, or null when none are held.
  const timespec* SendDue(timespec& wait) {
    const Clock::time_point now = Clock::now();
    for (; !m_held.empty() && m_held.front().due <= now; m_held.pop_front()) {
      const Held& held = m_held.front();
      WriteAll(held.to, held.bytes.data(), static_cast<ssize_t>(held.bytes.size()));
    }
    if (m_held.empty()) return nullptr;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(m_held.front().due - now).count();
    wait.tv_sec = static_cast<time_t>(ns / 1000000000);
    wait.tv_nsec = static_cast<long>(ns % 1000000000);
    return &wait;
  }

  // A pair that goes first has what was held for it sent, so the last words of a side that closes are
  // still heard, and none of it reaches a later pair given the same descriptors.
  void ClosePair(int client, int server) {
    std::deque<Held> others;
    for (const Held& held : m_held) {
      if (held.to == client || held.to == server) {
        WriteAll(held.to, held.bytes.data(), static_cast<ssize_t>(held.bytes.size()));
      } else {
        others.push_back(held);
      }
    }
    m_held.swap(others);
    close(client);
    close(server);
  }

  void Run() {
    for (;;) {
      std::vector<pollfd> fds{{m_wake[0], POLLIN, 0}, {m_listener, POLLIN, 0}};
      // Muted, the pairs stay open and what either side sends waits, unread.
      for (const auto& [client, server] : m_pairs) {
        fds.push_back({client, static_cast<short>(m_muted ? 0 : POLLIN), 0});
        fds.push_back({server, static_cast<short>(m_muted ? 0 : POLLIN), 0});
      }
      timespec wait{};
      const timespec* timeout = m_muted ? nullptr : SendDue(wait);
      if (ppoll(fds.data(), fds.size(), timeout, nullptr) < 0) continue;

      if (fds[0].revents != 0) {
        char byte;
        (void)!read(m_wake[0], &byte, 1);
        std::unique_lock lock(m_mutex);
        const Order order = std::exchange(m_order, Order::None);
        if (order == Order::Cut || order == Order::Stop) CloseAll();
        if (order == Order::Cut || order == Order::Restore) m_muted = false;
        if (order == Order::Mute) m_muted = true;
        if (order == Order::Restore) m_listener = std::exchange(m_restored, -1);
        if (order == Order::CutAfter) m_budget = m_newBudget;
        m_done.notify_all();
        if (order == Order::Stop) return;
        continue;  // the descriptors polled may be closed now
      }
      std::vector<size_t> gone;
      for (size_t i = 0; i < m_pairs.size(); ++i) {
        const auto [client, server] = m_pairs[i];
        const short fromClient = fds[2 + 2 * i].revents;
        const short fromServer = fds[3 + 2 * i].revents;
        if ((fromClient != 0 && !Forward(client, server, false)) ||
            (fromServer != 0 && !Forward(server, client, true))) {
          gone.push_back(i);
        }
        if (m_budget == 0u) break;
      }
      if (m_budget == 0u) {
        // The bytes of the budget are heard before the link goes.
        for (const Held& held : m_held)
          WriteAll(held.to, held.bytes.data(), static_cast<ssize_t>(held.bytes.size()));
        CloseAll();
        m_budget.reset();
        m_muted = false;
        continue;
      }
      for (auto i = gone.rbegin(); i != gone.rend(); ++i) {
        ClosePair(m_pairs[*i].first, m_pairs[*i].second);
        m_pairs.erase(m_pairs.begin() + static_cast<std::ptrdiff_t>(*i));
      }
      if (m_listener >= 0 && fds[1].revents != 0) {
        const int client = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        NoDelay(client);
        const int server = Connect(m_targetPort);
        if (server < 0) {
          close(client);
        } else {
          m_pairs.emplace_back(client, server);
        }
      }
    }
  }

  const int m_targetPort;
  const std::chrono::microseconds m_delay;
  int m_port = 0;
  int m_listener = -1;  // -1 while cut
  int m_wake[2] = {-1, -1};
  std::vector<std::pair<int, int>> m_pairs;  // client side, server side
  std::thread m_thread;
  std::mutex m_mutex;
  std::condition_variable m_done;
  Order m_order = Order::None;
  int m_restored = -1;
  size_t m_newBudget = 0;          // guarded by m_mutex
  std::optional<size_t> m_budget;  // the thread's own; bytes from the server until everything is cut
  bool m_muted = false;            // the thread's own
  std::deque<Held> m_held;         // the thread's own; in the order received, so in the order due
};

TcpProxy::TcpProxy(int targetPort, std::chrono::microseconds delay)
    : m_worker(std::make_unique<Worker>(targetPort, delay)) {}

TcpProxy::~TcpProxy() = default;

int TcpProxy::Port() const { return m_worker->Port(); }

void TcpProxy::Cut() { m_worker->Cut(); }

void TcpProxy::Mute() { m_worker->Mute(); }

void TcpProxy::CutAfter(size_t bytes) { m_worker->CutAfter(bytes); }

void TcpProxy::Restore() { m_worker->Restore(); }

}  // namespace vespril::test
