#include "listener/SoqueteServidor.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include <QPointer>
#include <QSocketNotifier>

#include "foundation/Error.h"
#include "foundation/Text.h"

namespace vespril {

namespace {

// As long as the system allows: clients that start together (after a network blip, at the start of a
// shift) would otherwise be dropped by the kernel and left to TCP's retries, a second and more later.
constexpr int kListenQueue = SOMAXCONN;
// Accepting pauses this long when it fails for want of descriptors or memory.
constexpr int kAcceptPauseMs = 100;
// One wake-up takes in every connection waiting, which the queue bounds, so a crowd is not made to
// wait for further turns of the event loop while the clients already in are served between them.
constexpr int kAcceptsPerEvent = kListenQueue;
constexpr size_t kReadPerEvent = 1u << 20;

// The socket layer's message for a failed bind or listen; operators know it by this text.
Error BindError(int error, std::string_view api) {
  const std::string pattern =
      ReplaceAll("Windows socket error: %s (%d), on API '%s'", "%d", std::to_string(error));
  return Error(Format(Format(pattern, std::strerror(error)), api));
}

std::string AsynchronousSocketError(int code) { return "Asynchronous socket error " + std::to_string(code); }

std::string ShortageMessage(int error) {
  const bool descriptors = error == EMFILE || error == ENFILE;
  return AsynchronousSocketError(error) + ": " + std::strerror(error) +
         (descriptors ? ". The limit of open descriptors was reached" : "") +
         "; new clients are turned away until connections close";
}

// "address:port" of the socket's peer ("[::1]:port" for IPv6); "" when it can't be told.
std::string PeerOf(int socket) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "";
  return EnderecoRede::De(reinterpret_cast<const sockaddr*>(&address), length).TextoComPorta();
}

SocketError ClientError(int error) {
  return error == ECONNRESET || error == EPIPE ? SocketError::RemoteHostClosed : SocketError::Network;
}

}  // namespace

// ClientConnection

ClientConnection::ClientConnection(SoqueteServidor& listener, Descriptor socket, size_t maxFrameBytes)
    : m_listener(listener),
      m_socket(std::move(socket)),
      m_peer(PeerOf(m_socket.Get())),
      m_assembler(maxFrameBytes) {
  const auto fd = static_cast<qintptr>(m_socket.Get());
  m_reader = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  m_writer = new QSocketNotifier(fd, QSocketNotifier::Write, this);
  m_writer->setEnabled(false);
  connect(m_reader, &QSocketNotifier::activated, this, &ClientConnection::Readable);
  connect(m_writer, &QSocketNotifier::activated, this, &ClientConnection::Writable);
}

bool ClientConnection::Congested() const { return m_pending > m_listener.Limits().pendingReplies; }

void ClientConnection::Send(std::string_view bytes) {
  if (!m_socket.Valid() || (m_closing && !m_busy) || bytes.empty()) return;
  try {
    m_output.emplace_back(bytes);
  } catch (const std::bad_alloc&) {
    // A reply that can't be queued must not be skipped silently: the client learns it by the close.
    Fail(SocketError::Network);
    return;
  }
  m_pending += bytes.size();
  Flush();
}

void ClientConnection::Close() {
  if (!m_socket.Valid()) return;
  m_closing = true;
  UpdateReading();
  if (m_output.empty() && !m_busy) Release();
}

void ClientConnection::SetBusy(bool busy, size_t bytes) {
  m_busy = busy;
  m_busyBytes = busy ? bytes : 0;
  if (busy || !m_socket.Valid()) return;
  if (m_closing) {
    if (m_output.empty()) Release();
    return;
  }
  Continue();
}

void ClientConnection::Readable() {
  try {
    ReadAvailable();
  } catch (...) {
    // What it sent can't be taken in: this connection goes, the others stay served.
    if (!m_socket.Valid()) return;
    m_assembler.Discard(true);
    m_listener.Recount(*this);
    Fail(SocketError::Network);
  }
}

void ClientConnection::ReadAvailable() {
  std::string received;
  int error = 0;
  char chunk[1 << 16];
  while (received.size() < kReadPerEvent) {
    const ssize_t n = ::recv(m_socket.Get(), chunk, sizeof chunk, 0);
    if (n > 0) {
      received.append(chunk, static_cast<size_t>(n));
    } else if (n == 0) {
      m_endOfInput = true;
      break;
    } else if (errno != EINTR) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) error = errno;
      break;
    }
  }
  if (error != 0) {
    Fail(ClientError(error));
    return;
  }
  if (!received.empty()) m_listener.Receive(*this, received);
  // A client that shut down its sending side may still be reading: its replies are still sent.
  if (m_endOfInput) {
    const QPointer<ClientConnection> self(this);
    m_listener.ReportClientError(*this, SocketError::RemoteHostClosed);
    if (!self) return;
  }
  Continue();
}

void ClientConnection::Writable() {
  if (!Flush()) return;
  if (m_output.empty() && m_closing && !m_busy) {
    Release();
    return;
  }
  Continue();
}

bool ClientConnection::Flush() {
  while (!m_output.empty()) {
    const std::string& front = m_output.front();
    const ssize_t n =
        ::send(m_socket.Get(), front.data() + m_sentOfFront, front.size() - m_sentOfFront, MSG_NOSIGNAL);
    if (n > 0) {
      m_sentOfFront += static_cast<size_t>(n);
      m_pending -= static_cast<size_t>(n);
      if (m_sentOfFront == front.size()) {
        m_output.pop_front();
        m_sentOfFront = 0;
      }
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else {
      Fail(ClientError(n < 0 ? errno : EPIPE));
      return false;
    }
  }
  m_writer->setEnabled(!m_output.empty());
  return true;
}

void ClientConnection::Continue() {
  if (!m_socket.Valid() || m_dispatching) return;
  const QPointer<ClientConnection> self(this);
  if (!m_busy && !Congested() && m_assembler.HasFrame()) {
    m_dispatching = true;
    m_listener.Dispatch(*this);
    if (!self) return;
    m_dispatching = false;
    m_listener.Recount(*this);  // the frames taken are the handler's now
  }
  if (!m_socket.Valid()) return;
  // Nothing more will come: the connection ends once the frames that did are answered.
  if ((m_endOfInput || m_assembler.Overflowed()) && !m_assembler.HasFrame() && !m_busy) {
    Close();
  } else {
    UpdateReading();
  }
}

void ClientConnection::Fail(SocketError error) {
  const QPointer<ClientConnection> self(this);
  Release();
  if (self) m_listener.ReportClientError(*this, error);
}

void ClientConnection::Release() {
  if (!m_socket.Valid()) return;
  m_reader->setEnabled(false);
  m_writer->setEnabled(false);
  m_socket.Reset();
  m_output.clear();
  m_pending = 0;
  m_listener.Retire(*this);
}

void ClientConnection::UpdateReading() {
  if (!m_socket.Valid()) return;
  const bool full =
      m_assembler.HasFrame() || m_busyBytes + m_assembler.Held() >= m_listener.Limits().pendingRequests;
  m_reader->setEnabled(!m_closing && !m_endOfInput && !m_assembler.Overflowed() && !Congested() &&
                       !(m_busy && full));
}

// SoqueteServidor

SoqueteServidor::SoqueteServidor(std::string name) : Componente(std::move(name)) {
  m_pause.setSingleShot(true);
  connect(&m_pause, &QTimer::timeout, this, [this] {
    for (ListeningSocket& listening : m_listening) listening.acceptor->setEnabled(true);
  });
}

SoqueteServidor::~SoqueteServidor() = default;

void SoqueteServidor::SetActive(bool active) {
  if (!active) {
    if (Active()) {
      const int port = BoundPort();
      for (ListeningSocket& listening : m_listening) {
        listening.acceptor->setEnabled(false);
        listening.acceptor->deleteLater();
      }
      m_pause.stop();
      m_listening.clear();
      Tell("porta " + std::to_string(port) + " fechada");
    }
    m_spare.Reset();
    // Closing calls no handler and destroys nothing yet, so the table stays as it is meanwhile.
    for (const auto& entry : m_connections) entry.first->Close();
    return;
  }
  if (Active() || m_port == 0) return;
  try {
    Listen();
    m_listenFailure.clear();
  } catch (const Error& e) {
    m_listenFailure = e.Message();
    throw;
  }
}

void SoqueteServidor::Listen() {
  if (m_port < 0 || m_port > 65535) throw BindError(EINVAL, "bind");

  // Every address is taken or none is.
  std::vector<ListeningSocket> sockets;
  std::string where;
  for (const EnderecoRede& address : m_addresses) {
    sockets.push_back(ListeningSocket{OpenSocket(address), nullptr});
    where += (where.empty() ? " em " : ", ") + address.Texto();
  }
  m_listening = std::move(sockets);
  for (ListeningSocket& listening : m_listening) {
    listening.acceptor =
        new QSocketNotifier(static_cast<qintptr>(listening.socket.Get()), QSocketNotifier::Read, this);
    connect(listening.acceptor, &QSocketNotifier::activated, this,
            [this, &listening] { Acceptable(listening); });
  }
  m_shortageReported = false;
  OpenSpare();
  Tell("porta " + std::to_string(BoundPort()) + " aberta" + (m_addressesNamed ? where : ""));
}

// The socket is made here so that a failure names the call that failed and keeps the system's error
// number; and the address, when the operator chose it.
Descriptor SoqueteServidor::OpenSocket(const EnderecoRede& address) const {
  const auto failure = [&](int error, std::string_view api) {
    Error bound = BindError(error, api);
    return m_addressesNamed ? Error(bound.Message() + " (" + address.Texto() + ")") : bound;
  };
  Descriptor socket(::socket(address.Familia(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!socket.Valid()) throw Error("Can't create new socket");
  const int on = 1;
  ::setsockopt(socket.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // "::" means IPv6 only, so that it can stand beside "0.0.0.0" on the same port.
  if (address.Familia() == AF_INET6) ::setsockopt(socket.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  EnderecoRede target = address;
  target.SetPorta(m_port);
  if (::bind(socket.Get(), target.Sockaddr(), target.tamanho) != 0) throw failure(errno, "bind");
  if (::listen(socket.Get(), kListenQueue) != 0) throw failure(errno, "listen");
  return socket;
}

int SoqueteServidor::BoundPort() const {
  if (!Active()) return 0;
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(m_listening.front().socket.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return 0;
  return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

void SoqueteServidor::OpenSpare() {
  if (!m_spare.Valid()) m_spare.Reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
}

void SoqueteServidor::Acceptable(ListeningSocket& listening) {
  const int fd = listening.socket.Get();
  for (int i = 0; i < kAcceptsPerEvent && Active(); ++i) {
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    Descriptor client(
        ::accept4(fd, reinterpret_cast<sockaddr*>(&from), &length, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (client.Valid()) {
      m_shortageReported = false;
      const EnderecoRede peer = EnderecoRede::De(reinterpret_cast<const sockaddr*>(&from), length);
      if (!m_allowedClients.Permite(peer)) {
        // Closed unread: nothing it sent reaches the gateway, and it gets no reply.
        client.Reset();
        Tell("cliente recusado: " + peer.TextoComPorta() + " fora de VESPRIL_CLIENTES");
        continue;
      }
      try {
        Adopt(std::move(client));
      } catch (...) {
        TurnAway(listening, ENOMEM);  // the newcomer, if it was not taken in, is closed with its holder
        return;
      }
      continue;
    }
    const int error = errno;
    if (error == EINTR || error == ECONNABORTED || error == EPROTO) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) return;
    TurnAway(listening, error);
    return;
  }
}

// Without this, a listener out of descriptors is told of the same waiting client again at once, for
// ever: the newcomer is accepted on the spare descriptor and closed, so it learns at once, and
// accepting pauses a while.
void SoqueteServidor::TurnAway(ListeningSocket& listening, int error) {
  m_spare.Reset();
  Descriptor(::accept4(listening.socket.Get(), nullptr, nullptr, SOCK_CLOEXEC)).Reset();
  OpenSpare();
  for (ListeningSocket& other : m_listening) other.acceptor->setEnabled(false);
  m_pause.start(kAcceptPauseMs);
  if (m_shortageReported) return;
  m_shortageReported = true;
  Tell(ShortageMessage(error));
  ReportError(ShortageMessage(error));
}

void SoqueteServidor::Adopt(Descriptor socket) {
  auto connection =
      std::unique_ptr<ClientConnection>(new ClientConnection(*this, std::move(socket), m_limits.frame));
  ClientConnection* const key = connection.get();
  m_connections.emplace(key, Client{std::move(connection)});
  ReportCount();
}

void SoqueteServidor::Receive(ClientConnection& connection, std::string_view bytes) {
  const bool overflowedBefore = connection.Assembler().Overflowed();
  connection.Assembler().Append(bytes);
  if (!overflowedBefore && connection.Assembler().Overflowed()) {
    Tell("quadro maior que " + std::to_string(m_limits.frame) + " bytes: " + connection.Peer() + " fechada");
  }
  // Bytes that are no frame are skipped, and the log says whose; a client that keeps sending them
  // gets a line a second at most.
  const uint64_t skipped = connection.Assembler().Skipped() - connection.m_skippedLogged;
  const auto now = std::chrono::steady_clock::now();
  if (skipped > 0 &&
      (connection.m_skippedLogged == 0 || now - connection.m_skippedLoggedAt >= std::chrono::seconds(1))) {
    Tell(connection.Peer() + ": " + std::to_string(skipped) + " bytes fora de um quadro descartados");
    connection.m_skippedLogged += skipped;
    connection.m_skippedLoggedAt = now;
  }
  if (Recount(connection) + m_held > m_limits.unfinishedFrames) {
    // The others' frames stay: only the connection that grows past the ceiling gives up what it holds.
    connection.Assembler().Discard(true);
    Recount(connection);
    Tell("quadros inacabados passaram de " + std::to_string(m_limits.unfinishedFrames) +
         " bytes: " + connection.Peer() + " fechada");
  }
}

size_t SoqueteServidor::Recount(ClientConnection& connection) {
  const auto entry = m_connections.find(&connection);
  if (entry == m_connections.end()) return m_unfinished;
  const size_t held = connection.Assembler().Held();
  m_unfinished = m_unfinished - entry->second.unfinished + held;
  entry->second.unfinished = held;
  return m_unfinished;
}

void SoqueteServidor::Dispatch(ClientConnection& connection) {
  try {
    if (OnClientRead) {
      OnClientRead(connection);
    } else {
      while (connection.Assembler().Next()) {
      }
    }
  } catch (...) {
    // Nothing may escape into the event loop.
  }
}

bool SoqueteServidor::Answering() const {
  for (const auto& entry : m_connections) {
    const ClientConnection& connection = *entry.first;
    if (connection.m_socket.Valid() && (connection.m_busy || !connection.m_output.empty())) return true;
  }
  return false;
}

void SoqueteServidor::Retire(ClientConnection& connection) {
  // Its notifiers are off, and a queued call to a listener that is gone is never made.
  if (m_retired.empty()) {
    QMetaObject::invokeMethod(this, &SoqueteServidor::DestroyRetired, Qt::QueuedConnection);
  }
  m_retired.push_back(&connection);
}

void SoqueteServidor::DestroyRetired() {
  for (ClientConnection* connection : std::exchange(m_retired, {})) {
    const auto entry = m_connections.find(connection);
    if (entry == m_connections.end()) continue;
    m_unfinished -= entry->second.unfinished;
    m_connections.erase(entry);
    ReportCount();
  }
}

void SoqueteServidor::ReportClientError(ClientConnection& connection, SocketError code) {
  if (OnClientError) OnClientError(connection, code);
  if (code != SocketError::None) ReportError(AsynchronousSocketError(static_cast<int>(code)));
}

void SoqueteServidor::ReportError(const std::string& message) {
  if (OnListenerError) OnListenerError(message);
}

void SoqueteServidor::Tell(const std::string& text) {
  try {
    if (OnEvent) OnEvent(text);
  } catch (...) {
  }
}

void SoqueteServidor::ReportCount() {
  if (OnClientCount) OnClientCount(ClientCount());
}

}  // namespace vespril
