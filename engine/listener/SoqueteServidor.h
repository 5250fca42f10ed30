// SoqueteServidor: the gateway's TCP listener, component 0 of the engine, and ClientConnection, one of its
// client connections. Non-blocking listening sockets, one per address it is given (every local IPv4 address
// unless told otherwise), each with a queue as long as the system allows (SOMAXCONN), each readiness taking
// in every connection waiting, served with the client connections on the GUI thread through socket notifiers;
// there is no thread per client. A client from outside the allowed networks is closed as it is accepted,
// before anything it sent is read. The engine owns the listener; the listener alone owns its connections
// and destroys each in a later turn of the event loop than the one that closed it (see ClientConnection).
//
// Each connection gathers what it receives into frames (FrameAssembler) and keeps the replies it could
// not send yet, so frames are handled however the transport cuts them and every reply reaches a client
// that is still reading, however large, also after the client has shut down its sending side. Memory
// stays bounded: a connection whose unsent replies pass a ceiling is not read until they drain, and
// the unfinished frames of all connections together have a ceiling past which the connection whose
// frame grows is closed, as for a frame over its own limit. Short of memory, the connection whose
// bytes can't be taken in or whose reply can't be queued is closed; the others and the listener go on.
// Everything here lives on the GUI thread, and nothing it does lets an exception into the event loop.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <QObject>
#include <QTimer>

#include "components/Componente.h"
#include "foundation/Descriptor.h"
#include "listener/Redes.h"
#include "protocol/WireProtocol.h"

class QSocketNotifier;

namespace vespril {

class SoqueteServidor;

// What happened to a client connection, as the listener reports it. The numbers are those the socket
// layer has always shown in "Asynchronous socket error <number>"; None suppresses the report.
enum class SocketError : int {
  None = 0,
  RemoteHostClosed = 1,  // the client went away or shut down its sending side
  Network = 7,           // any other failure of the connection
};

// The ceilings on what the listener holds in memory.
struct ListenerLimits {
  size_t frame = kMaxFrameBytes;                // one frame; past it the connection closes
  size_t pendingReplies = 64u * 1024u * 1024u;  // a connection's unsent replies; past it, not read
  // A connection's unanswered requests: the one it is busy with and what has come in behind it. Past
  // it, the connection is not read until the request ends.
  size_t pendingRequests = 64u * 1024u * 1024u;
  // All unfinished frames together, with the requests taken from their connections and not yet
  // finished; past it, the connection whose frame grows is closed.
  size_t unfinishedFrames = 512u * 1024u * 1024u;
};

// One client connection. Lives on the GUI thread. Owned by its listener, which destroys it once it is closed
// and control is back in the event loop, so a closing connection is never destroyed under its own calls;
// a handler that keeps one beyond its call holds a QPointer to it.
class ClientConnection final : public QObject {
  Q_OBJECT

 public:
  // The frames received so far; the read handler takes them with Next().
  FrameAssembler& Assembler() { return m_assembler; }
  // Queues bytes for the client; they go out as it takes them. Ignored once the connection is closing.
  void Send(std::string_view bytes);
  // Bytes queued and not yet taken by the client.
  size_t Pending() const { return m_pending; }
  // True while the unsent replies pass their ceiling: the handler should answer no more frames until
  // they drain (it is called again then); the connection is not read meanwhile.
  bool Congested() const;
  // Not closing and not closed: replies can still be sent.
  bool Open() const { return m_socket.Valid() && !m_closing; }
  // Stops reading and closes once everything queued has gone out (at once when nothing is), and not
  // before the request it is busy with has been answered.
  void Close();
  // Busy: one of its requests, of `bytes` bytes, is being carried out. Its further frames wait until
  // the handler clears the mark, which hands them out again; reading pauses meanwhile once a whole one
  // waits, or once the request and what came in behind it pass their ceiling. A busy connection that
  // is closing still takes its reply.
  bool Busy() const { return m_busy; }
  void SetBusy(bool busy, size_t bytes = 0);
  // The client's address and port ("127.0.0.1:50432"), as it was accepted.
  const std::string& Peer() const { return m_peer; }

 private:
  friend class SoqueteServidor;
  ClientConnection(SoqueteServidor& listener, Descriptor socket, size_t maxFrameBytes);

  void Readable();
  void ReadAvailable();
  void Writable();
  // Writes what the kernel takes; false when the connection failed (it is then gone).
  bool Flush();
  // Reading resumes, and the handler is called for the frames held, once the replies have drained.
  void Continue();
  void Fail(SocketError error);
  void Release();
  void UpdateReading();

  SoqueteServidor& m_listener;
  Descriptor m_socket;
  std::string m_peer;
  FrameAssembler m_assembler;
  QSocketNotifier* m_reader = nullptr;
  QSocketNotifier* m_writer = nullptr;
  std::deque<std::string> m_output;
  size_t m_sentOfFront = 0;
  size_t m_pending = 0;
  bool m_endOfInput = false;  // the client shut down its sending side
  bool m_closing = false;
  bool m_dispatching = false;
  bool m_busy = false;
  size_t m_busyBytes = 0;  // bytes of the request it is busy with
  // The bytes outside frames the log has told of, and when it last did.
  uint64_t m_skippedLogged = 0;
  std::chrono::steady_clock::time_point m_skippedLoggedAt{};
};

class SoqueteServidor final : public QObject, public Componente {
  Q_OBJECT

 public:
  explicit SoqueteServidor(std::string name);
  ~SoqueteServidor() override;

  int Port() const { return m_port; }
  // Takes effect at the next activation.
  void SetPort(int port) { m_port = port; }
  bool Active() const { return !m_listening.empty(); }
  // The addresses the port is opened on, from the next activation (0.0.0.0 until set; IPv6 ones take
  // IPv6 clients only); `named` when the operator chose them, so messages say which one failed.
  void SetAddresses(std::vector<EnderecoRede> addresses, bool named) {
    m_addresses = std::move(addresses);
    m_addressesNamed = named;
  }
  // The networks whose clients are taken (every one until set). A client from elsewhere is closed
  // as it is accepted, and the log names its address.
  void SetAllowedClients(RedesPermitidas clients) { m_allowedClients = std::move(clients); }
  // Opening: Error "Can't create new socket", or "Windows socket error: <description> (<number>), on
  // API 'bind'" (or 'listen') when the port can't be taken; a port outside 0..65535 fails as bind
  // with EINVAL. The listener is then inactive. Port 0 means "do not listen": activating with it
  // leaves the listener inactive without error. Activating an active listener does nothing.
  // Closing also closes every client connection (replies already queued are still delivered).
  void SetActive(bool active);
  // Why the last activation failed; "" once one succeeded.
  const std::string& ListenFailure() const { return m_listenFailure; }

  // For tests; connections made later take the new frame limit.
  void SetLimits(const ListenerLimits& limits) { m_limits = limits; }
  const ListenerLimits& Limits() const { return m_limits; }

  // The port being listened on; 0 when inactive.
  int BoundPort() const;
  // Client connections alive (a closed one counts until it has been destroyed).
  int ClientCount() const { return static_cast<int>(m_connections.size()); }
  // Some connection is busy with a request or still has replies to send.
  bool Answering() const;
  // The bytes of all connections' frames not yet taken by the handler, complete or not.
  size_t Unfinished() const { return m_unfinished; }
  // A request taken from its connection is held until it has finished, waiting its turn or running,
  // whether or not its connection is still there: the handler says so, and its bytes count against
  // the ceiling of unfinished frames meanwhile.
  void HoldRequest(size_t bytes) { m_held += bytes; }
  void ReleaseRequest(size_t bytes) { m_held -= bytes; }

  // Called after bytes of a connection have been added to its frames (and again once its replies have
  // drained) while it has frames to hand out; the handler answers them. Without a handler the frames
  // are dropped.
  std::function<void(ClientConnection&)> OnClientRead;
  // Called when a client connection fails or the client goes away, with what happened. A handler that
  // sets it to None suppresses it; anything else is passed on to OnListenerError as "Asynchronous
  // socket error <number>".
  std::function<void(ClientConnection&, SocketError& errorCode)> OnClientError;
  // An error of the listening socket itself: "Asynchronous socket error <number>...". When accepting
  // fails for want of descriptors or memory, the newcomer is turned away, accepting pauses for a short
  // while, and the operator is told once until a client is accepted again.
  std::function<void(const std::string&)> OnListenerError;
  // For the log: the port opened or closed, a limit reached (and what was done about it). And the
  // number of client connections alive, whenever it changes.
  std::function<void(const std::string&)> OnEvent;
  std::function<void(int)> OnClientCount;

 private:
  friend class ClientConnection;

  // One listening socket of the port, and the notifier that tells it has clients waiting.
  struct ListeningSocket {
    Descriptor socket;
    QSocketNotifier* acceptor = nullptr;
  };

  void Acceptable(ListeningSocket& listening);
  void TurnAway(ListeningSocket& listening, int error);
  Descriptor OpenSocket(const EnderecoRede& address) const;
  void Adopt(Descriptor socket);
  // Adds received bytes to a connection's frames, keeping the count of unfinished bytes.
  void Receive(ClientConnection& connection, std::string_view bytes);
  // Brings the connection's share of Unfinished() up to date; returns the new total.
  size_t Recount(ClientConnection& connection);
  void Dispatch(ClientConnection& connection);
  // A closed connection is destroyed at the next turn of the event loop, whatever the stack holds now.
  void Retire(ClientConnection& connection);
  void DestroyRetired();
  void ReportClientError(ClientConnection& connection, SocketError code);
  void ReportError(const std::string& message);
  void Tell(const std::string& text);
  void ReportCount();
  void OpenSpare();
  // SetActive(true)'s work.
  void Listen();

  int m_port = 0;
  std::vector<EnderecoRede> m_addresses = LerEnderecos("0.0.0.0", "");
  bool m_addressesNamed = false;
  RedesPermitidas m_allowedClients;
  std::vector<ListeningSocket> m_listening;  // one per address while active
  std::string m_listenFailure;
  Descriptor m_spare;  // given up to accept and close a newcomer when descriptors run out
  QTimer m_pause;
  bool m_shortageReported = false;
  ListenerLimits m_limits;
  size_t m_unfinished = 0;
  size_t m_held = 0;
  // Every connection, until it is destroyed, with the unfinished bytes it holds.
  struct Client {
    std::unique_ptr<ClientConnection> connection;
    size_t unfinished = 0;
  };
  std::vector<ClientConnection*> m_retired;  // closed, to be destroyed
  std::unordered_map<ClientConnection*, Client> m_connections;
};

}  // namespace vespril
