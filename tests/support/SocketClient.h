// SocketClient: a client connection to a gateway, on the GUI thread, for the tests that speak the
// protocol on the wire. Bytes go out and come in as the event loop runs, and every wait here spins it,
// so an engine in this process answers meanwhile; what arrives is gathered in order until taken.
//
//   SocketClient client(gateway.port);
//   EXPECT_EQ(client.Ask(Pedir("c", "1", "Baixar")), MontarResposta("c", "1", "", path));
//
// The tests that need the kernel's own view of a socket (its send queue, a half-closed connection,
// sockets that are never read, a crowd on a thread without an event loop) use Dial instead, which
// hands out the descriptor itself, with SendAll and Receive for blocking conversations over it.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include <QTcpSocket>

#include "foundation/Descriptor.h"

namespace vespril::test {

inline constexpr int kSocketWaitMs = 5000;

class SocketClient {
 public:
  // Starts connecting to host:port (a numeric IPv4 or IPv6 address), from the local address `from`
  // when one is given.
  explicit SocketClient(int port, const std::string& host = "127.0.0.1", const std::string& from = "");
  SocketClient(const SocketClient&) = delete;
  SocketClient& operator=(const SocketClient&) = delete;

  // Whether the connection was made, waiting up to ms for it (a refused one ends the wait at once).
  bool Connected(int ms = kSocketWaitMs);
  // Queues bytes for sending, after the connection is made; a test fails when it never is.
  void Send(std::string_view bytes);
  // Everything received and not yet taken, once at least `count` bytes of it have arrived (or the
  // wait ran out, or the peer closed).
  const std::string& Received(size_t count = 0, int ms = kSocketWaitMs);
  // Sends request and takes what arrives up to the end of a whole reply, or what came by the peer's
  // close or the end of the wait; "(not connected)" when the connection was never made.
  std::string Ask(std::string_view request, int ms = 20000);
  // Whether the connection is over (closed by the peer, refused or reset), waiting up to ms.
  bool Closed(int ms = kSocketWaitMs);
  // Called with each piece of bytes as it arrives, while the event loop runs; those bytes are then
  // the callback's, not Received()'s.
  void OnBytes(std::function<void(std::string_view)> callback) { m_onBytes = std::move(callback); }

  QTcpSocket& Socket() { return m_socket; }

 private:
  void Gather();

  QTcpSocket m_socket;
  bool m_connected = false;
  std::string m_received;
  std::function<void(std::string_view)> m_onBytes;
};

// A blocking TCP connection to 127.0.0.1:port (non-blocking, its connect under way, with
// `nonBlocking`); invalid when it is refused.
Descriptor Dial(int port, bool nonBlocking = false);
// Whether all of bytes went out; a connection the peer closed is no signal, only a false.
bool SendAll(const Descriptor& socket, std::string_view bytes);

enum class Outcome { Answered, Closed, Silent };
// Reads until `count` bytes came (Answered, with them in *received), the peer closed (Closed) or
// nothing came for timeoutMs (Silent).
Outcome Receive(const Descriptor& socket, size_t count, std::string* received, int timeoutMs = 3000);

}  // namespace vespril::test
