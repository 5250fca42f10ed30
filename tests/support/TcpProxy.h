// TcpProxy: a loopback TCP proxy that stands in front of a server so a test can make that server go
// away and come back without touching it. It listens on a free port of 127.0.0.1 and forwards every
// connection to 127.0.0.1:targetPort on a thread of its own, so the code under test may block in a
// client library meanwhile. Cut() drops every forwarded connection and stops listening, which is what
// a stopped or unreachable server looks like to a client; Restore() listens again on the same port.
// Given a delay, every byte is held that long each way, as on the link to a distant server.
//
//   TcpProxy proxy(3050);
//   slot.baseDados.SetDatabaseName("localhost/" + std::to_string(proxy.Port()) + ":" + db.Path());
//   proxy.Cut();      // the slot's attachment is now dead
//   proxy.Restore();  // a new attach gets through again
//   proxy.Mute();     // connections stay open, and nothing more goes through
//   proxy.CutAfter(n);  // the server's next n bytes still go through, then everything is cut
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>

namespace vespril::test {

class TcpProxy {
 public:
  // Throws vespril::Error when no loopback port can be taken.
  explicit TcpProxy(int targetPort, std::chrono::microseconds delay = {});
  ~TcpProxy();
  TcpProxy(const TcpProxy&) = delete;
  TcpProxy& operator=(const TcpProxy&) = delete;

  int Port() const;
  // Both return once done: after Cut() nothing is forwarded and connecting is refused; after
  // Restore() new connections are forwarded again. Restore() throws when the port was taken meanwhile.
  void Cut();
  // Returns once done: the connections stay open and nothing more is forwarded either way, which is
  // what a server that went silent, or a link that dropped its answers, looks like. Cut() ends it.
  void Mute();
  // Returns at once: the next `bytes` bytes the server sends, over every connection, still go
  // through, and then everything is cut as by Cut(): a server lost in the middle of its answer.
  void CutAfter(size_t bytes);
  void Restore();

 private:
  class Worker;
  std::unique_ptr<Worker> m_worker;
};

}  // namespace vespril::test
