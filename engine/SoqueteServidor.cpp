#include "engine/SoqueteServidor.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractSocket>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include "engine/ArquivoConsulta.h"
#include "engine/UVESPRIL.h"
#include "foundation/Error.h"
#include "foundation/Text.h"

namespace vespril {

namespace {

constexpr int kListenQueue = 5;
constexpr int kAcceptRetryMs = 1000;

// The socket layer's message for a failed bind or listen; operators know it by this text.
Error SocketError(std::string_view description, int number, std::string_view api) {
  const std::string pattern =
      ReplaceAll("Windows socket error: %s (%d), on API '%s'", "%d", std::to_string(number));
  return Error(Format(Format(pattern, description), api));
}

Error SocketError(int error, std::string_view api) { return SocketError(std::strerror(error), error, api); }

std::string AsynchronousSocketError(int code) { return "Asynchronous socket error " + std::to_string(code); }

}  // namespace

SoqueteServidor::SoqueteServidor(std::string name)
    : Componente(std::move(name)), m_server(new QTcpServer(this)) {
  connect(m_server, &QTcpServer::newConnection, this, &SoqueteServidor::Accept);
  connect(m_server, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError error) {
    // The signal comes straight from the failed accept(), so errno still holds the system's number;
    // Qt's own code stands in should it not.
    const int number = errno != 0 ? errno : static_cast<int>(error);
    // Qt stops accepting after such an error; without a retry the port would stay deaf for good.
    QTimer::singleShot(kAcceptRetryMs, m_server, [server = m_server] { server->resumeAccepting(); });
    ReportError(number);
  });
}

SoqueteServidor::~SoqueteServidor() {
  // The connections must go while the receive buffers they drop on destruction still exist.
  delete m_server;
}

bool SoqueteServidor::Active() const { return m_server->isListening(); }

void SoqueteServidor::SetActive(bool active) {
  if (!active) {
    m_server->close();
    std::vector<QPointer<QTcpSocket>> connections;
    for (const auto& entry : m_assemblers) connections.emplace_back(entry.first);
    for (const QPointer<QTcpSocket>& connection : connections) {
      if (connection) connection->close();
    }
    return;
  }
  if (Active() || m_port == 0) return;
  if (m_port < 0 || m_port > 65535) throw SocketError(EINVAL, "bind");

  // The socket is made here rather than by QTcpServer::listen so that a failure names the call
  // that failed and keeps the system's error number.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) throw Error("Can't create new socket");
  const int reuse = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(m_port));
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(fd);
    throw SocketError(error, "bind");
  }
  if (::listen(fd, kListenQueue) != 0) {
    const int error = errno;
    ::close(fd);
    throw SocketError(error, "listen");
  }
  if (!m_server->setSocketDescriptor(fd)) {
    ::close(fd);
    throw SocketError(m_server->errorString().toStdString(), static_cast<int>(m_server->serverError()),
                      "listen");
  }
}

int SoqueteServidor::BoundPort() const { return Active() ? m_server->serverPort() : 0; }

int SoqueteServidor::ClientCount() const { return static_cast<int>(m_assemblers.size()); }

FrameAssembler& SoqueteServidor::Assembler(QTcpSocket& connection) {
  if (auto found = m_assemblers.find(&connection); found != m_assemblers.end()) return found->second;
  Track(&connection);
  return m_assemblers[&connection];
}

void SoqueteServidor::Accept() {
  while (QTcpSocket* connection = m_server->nextPendingConnection()) {
    Track(connection);
    connect(connection, &QTcpSocket::readyRead, this, [this, connection] {
      if (OnClientRead) {
        OnClientRead(*connection);
      } else {
        connection->readAll();
      }
    });
    connect(connection, &QTcpSocket::errorOccurred, this, [this, connection](QAbstractSocket::SocketError e) {
      int code = static_cast<int>(e);
      if (OnClientError) OnClientError(*connection, code);
      if (code != 0) ReportError(code);
    });
    connect(connection, &QTcpSocket::disconnected, connection, &QObject::deleteLater);
  }
}

void SoqueteServidor::Track(QTcpSocket* connection) {
  m_assemblers.try_emplace(connection);
  // Only the address is kept, as the key to forget; the object is gone by then.
  connect(connection, &QObject::destroyed, this, [this, connection] { m_assemblers.erase(connection); });
}

void SoqueteServidor::ReportError(int code) {
  if (OnListenerError) OnListenerError(AsynchronousSocketError(code));
}

// The engine's handlers for the listener's client events.

namespace {

// One request carried out; the reply frame, or nothing for "Deletar".
std::optional<std::string> Atender(VESPRIL& engine, const Pedido& request) {
  const bool baixar = request.comando == "Baixar";
  std::string path;
  try {
    path = CaminhoArquivoConsulta(engine.DiretorioPrograma(), request.cliente, request.pedido);
  } catch (const Error& refusal) {
    // A request may reach no file but its own result file: it is refused before anything runs.
    if (request.comando == "Deletar") return std::nullopt;
    return MontarResposta(request.cliente, request.pedido, refusal.Message(), baixar ? "" : request.comando);
  }
  if (request.comando == "Deletar") {
    DeleteArquivoConsulta(path);
    return std::nullopt;
  }
  if (baixar) return MontarResposta(request.cliente, request.pedido, "", path);
  const std::string mensagem = engine.ExecutarScript(request.comando, request.cliente, request.pedido);
  return MontarResposta(request.cliente, request.pedido, mensagem, request.comando);
}

}  // namespace

void VESPRIL::SoqueteClientRead(QTcpSocket& connection) {
  // The guard keeps us off a connection (and its receive buffer) that went away while a script ran.
  const QPointer<QTcpSocket> guard(&connection);
  try {
    FrameAssembler& assembler = Soquete().Assembler(connection);
    const QByteArray bytes = connection.readAll();
    assembler.Append(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
    while (guard) {
      const std::optional<Pedido> request = assembler.Next();
      if (!request) break;
      const std::optional<std::string> reply = Atender(*this, *request);
      if (reply && guard && guard->state() == QAbstractSocket::ConnectedState) {
        guard->write(reply->data(), static_cast<qint64>(reply->size()));
        // Out now: a client that half-closed after sending would otherwise have its end of stream
        // read first, and Qt would drop the queued reply with the connection.
        guard->flush();
      }
    }
    // The requests that came whole before the oversized frame have been answered; a graceful close
    // lets their replies go out before the connection ends.
    if (guard && assembler.Overflowed()) guard->close();
  } catch (...) {
    // Nothing may escape into the event loop; a client's failure must not touch the others.
  }
}

void VESPRIL::SoqueteClientError(QTcpSocket&, int& errorCode) { errorCode = 0; }

}  // namespace vespril
