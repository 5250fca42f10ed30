#include "engine/SoqueteServidor.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractSocket>
#include <QPointer>
#include <QSocketNotifier>

#include "engine/Agenda.h"
#include "engine/ArquivoConsulta.h"
#include "engine/UVESPRIL.h"
#include "foundation/Error.h"
#include "foundation/Text.h"

namespace vespril {

namespace {

constexpr int kListenQueue = 5;
// Accepting pauses this long when it fails for want of descriptors or memory.
constexpr int kAcceptPauseMs = 100;
// So that one busy listener or client can't keep the others waiting.
constexpr int kAcceptsPerEvent = 64;
constexpr size_t kReadPerEvent = 1u << 20;

// The socket layer's message for a failed bind or listen; operators know it by this text.
Error SocketError(std::string_view description, int number, std::string_view api) {
  const std::string pattern =
      ReplaceAll("Windows socket error: %s (%d), on API '%s'", "%d", std::to_string(number));
  return Error(Format(Format(pattern, description), api));
}

Error SocketError(int error, std::string_view api) { return SocketError(std::strerror(error), error, api); }

std::string AsynchronousSocketError(int code) { return "Asynchronous socket error " + std::to_string(code); }

std::string ShortageMessage(int error) {
  const bool descriptors = error == EMFILE || error == ENFILE;
  return AsynchronousSocketError(error) + ": " + std::strerror(error) +
         (descriptors ? ". The limit of open descriptors was reached" : "") +
         "; new clients are turned away until connections close";
}

int ClientErrorCode(int error) {
  return static_cast<int>(error == ECONNRESET || error == EPIPE ? QAbstractSocket::RemoteHostClosedError
                                                                : QAbstractSocket::NetworkError);
}

}  // namespace

// Conexao

Conexao::Conexao(SoqueteServidor& listener, int fd, size_t maxFrameBytes)
    : QObject(&listener), m_listener(listener), m_fd(fd), m_assembler(maxFrameBytes) {
  m_reader = new QSocketNotifier(static_cast<qintptr>(fd), QSocketNotifier::Read, this);
  m_writer = new QSocketNotifier(static_cast<qintptr>(fd), QSocketNotifier::Write, this);
  m_writer->setEnabled(false);
  connect(m_reader, &QSocketNotifier::activated, this, &Conexao::Readable);
  connect(m_writer, &QSocketNotifier::activated, this, &Conexao::Writable);
}

Conexao::~Conexao() {
  if (m_fd >= 0) ::close(m_fd);
  m_listener.Forget(*this);
}

bool Conexao::Congested() const { return m_pending > m_listener.Limites().respostasPendentes; }

void Conexao::Send(std::string_view bytes) {
  if (m_fd < 0 || (m_closing && !m_ocupada) || bytes.empty()) return;
  m_output.emplace_back(bytes);
  m_pending += bytes.size();
  Flush();
}

void Conexao::Close() {
  if (m_fd < 0) return;
  m_closing = true;
  UpdateReading();
  if (m_output.empty() && !m_ocupada) Release();
}

void Conexao::SetOcupada(bool ocupada, size_t bytes) {
  m_ocupada = ocupada;
  m_emCurso = ocupada ? bytes : 0;
  if (ocupada || m_fd < 0) return;
  if (m_closing) {
    if (m_output.empty()) Release();
    return;
  }
  Continue();
}

void Conexao::Readable() {
  std::string received;
  int error = 0;
  char chunk[1 << 16];
  while (received.size() < kReadPerEvent) {
    const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
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
    Fail(error);
    return;
  }
  if (!received.empty()) m_listener.Receive(*this, received);
  // A client that shut down its sending side may still be reading: its replies are still sent.
  if (m_endOfInput) {
    const QPointer<Conexao> self(this);
    m_listener.ReportClientError(*this, static_cast<int>(QAbstractSocket::RemoteHostClosedError));
    if (!self) return;
  }
  Continue();
}

void Conexao::Writable() {
  if (!Flush()) return;
  if (m_output.empty() && m_closing && !m_ocupada) {
    Release();
    return;
  }
  Continue();
}

bool Conexao::Flush() {
  while (!m_output.empty()) {
    const std::string& front = m_output.front();
    const ssize_t n = ::send(m_fd, front.data() + m_sentOfFront, front.size() - m_sentOfFront, MSG_NOSIGNAL);
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
      Fail(n < 0 ? errno : EPIPE);
      return false;
    }
  }
  m_writer->setEnabled(!m_output.empty());
  return true;
}

void Conexao::Continue() {
  if (m_fd < 0 || m_dispatching) return;
  const QPointer<Conexao> self(this);
  if (!m_ocupada && !Congested() && m_assembler.HasFrame()) {
    m_dispatching = true;
    m_listener.Dispatch(*this);
    if (!self) return;
    m_dispatching = false;
    m_listener.Recontar(*this);  // the frames taken are the handler's now
  }
  if (m_fd < 0) return;
  // Nothing more will come: the connection ends once the frames that did are answered.
  if ((m_endOfInput || m_assembler.Overflowed()) && !m_assembler.HasFrame() && !m_ocupada) {
    Close();
  } else {
    UpdateReading();
  }
}

void Conexao::Fail(int error) {
  const QPointer<Conexao> self(this);
  Release();
  if (self) m_listener.ReportClientError(*this, ClientErrorCode(error));
}

void Conexao::Release() {
  if (m_fd < 0) return;
  m_reader->setEnabled(false);
  m_writer->setEnabled(false);
  ::close(m_fd);
  m_fd = -1;
  m_output.clear();
  m_pending = 0;
  deleteLater();
}

void Conexao::UpdateReading() {
  if (m_fd < 0) return;
  const bool cheia = m_assembler.HasFrame() ||
                     m_emCurso + m_assembler.Held() >= m_listener.Limites().pedidosPendentes;
  m_reader->setEnabled(!m_closing && !m_endOfInput && !m_assembler.Overflowed() && !Congested() &&
                       !(m_ocupada && cheia));
}

// SoqueteServidor

SoqueteServidor::SoqueteServidor(std::string name) : Componente(std::move(name)) {
  m_pause.setSingleShot(true);
  connect(&m_pause, &QTimer::timeout, this, [this] {
    if (m_acceptor != nullptr) m_acceptor->setEnabled(true);
  });
}

SoqueteServidor::~SoqueteServidor() {
  // The connections must go while the table they leave on destruction still exists.
  std::vector<Conexao*> connections;
  for (const auto& entry : m_connections) connections.push_back(entry.first);
  for (Conexao* connection : connections) delete connection;
  if (m_fd >= 0) ::close(m_fd);
  if (m_spare >= 0) ::close(m_spare);
}

void SoqueteServidor::SetActive(bool active) {
  if (!active) {
    if (m_fd >= 0) {
      m_acceptor->setEnabled(false);
      m_acceptor->deleteLater();
      m_acceptor = nullptr;
      m_pause.stop();
      ::close(m_fd);
      m_fd = -1;
    }
    if (m_spare >= 0) ::close(m_spare);
    m_spare = -1;
    std::vector<QPointer<Conexao>> connections;
    for (const auto& entry : m_connections) connections.emplace_back(entry.first);
    for (const QPointer<Conexao>& connection : connections) {
      if (connection) connection->Close();
    }
    return;
  }
  if (Active() || m_port == 0) return;
  if (m_port < 0 || m_port > 65535) throw SocketError(EINVAL, "bind");

  // The socket is made here so that a failure names the call that failed and keeps the system's
  // error number.
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
  m_fd = fd;
  m_acceptor = new QSocketNotifier(static_cast<qintptr>(fd), QSocketNotifier::Read, this);
  connect(m_acceptor, &QSocketNotifier::activated, this, &SoqueteServidor::Acceptable);
  m_shortageReported = false;
  OpenSpare();
}

int SoqueteServidor::BoundPort() const {
  if (!Active()) return 0;
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

void SoqueteServidor::OpenSpare() {
  if (m_spare < 0) m_spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void SoqueteServidor::Acceptable() {
  for (int i = 0; i < kAcceptsPerEvent && m_fd >= 0; ++i) {
    const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      m_shortageReported = false;
      Adopt(fd);
      continue;
    }
    const int error = errno;
    if (error == EINTR || error == ECONNABORTED || error == EPROTO) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) return;
    TurnAway(error);
    return;
  }
}

// Without this, a listener out of descriptors is told of the same waiting client again at once, for
// ever: the newcomer is accepted on the spare descriptor and closed, so it learns at once, and
// accepting pauses a while.
void SoqueteServidor::TurnAway(int error) {
  if (m_spare >= 0) ::close(m_spare);
  m_spare = -1;
  const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) ::close(fd);
  OpenSpare();
  m_acceptor->setEnabled(false);
  m_pause.start(kAcceptPauseMs);
  if (m_shortageReported) return;
  m_shortageReported = true;
  ReportError(ShortageMessage(error));
}

void SoqueteServidor::Adopt(int fd) { m_connections.emplace(new Conexao(*this, fd, m_limites.quadro), 0); }

void SoqueteServidor::Receive(Conexao& connection, std::string_view bytes) {
  connection.Assembler().Append(bytes);
  if (Recontar(connection) + m_retidos > m_limites.quadrosInacabados) {
    // The others' frames stay: only the connection that grows past the ceiling gives up what it holds.
    connection.Assembler().Discard(true);
    Recontar(connection);
  }
}

size_t SoqueteServidor::Recontar(Conexao& connection) {
  const auto entry = m_connections.find(&connection);
  if (entry == m_connections.end()) return m_inacabados;
  const size_t held = connection.Assembler().Held();
  m_inacabados = m_inacabados - entry->second + held;
  entry->second = held;
  return m_inacabados;
}

void SoqueteServidor::Dispatch(Conexao& connection) {
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

bool SoqueteServidor::Respondendo() const {
  for (const auto& entry : m_connections) {
    const Conexao& connection = *entry.first;
    if (connection.m_fd >= 0 && (connection.m_ocupada || !connection.m_output.empty())) return true;
  }
  return false;
}

void SoqueteServidor::Forget(Conexao& connection) {
  const auto entry = m_connections.find(&connection);
  if (entry == m_connections.end()) return;
  m_inacabados -= entry->second;
  m_connections.erase(entry);
}

void SoqueteServidor::ReportClientError(Conexao& connection, int code) {
  if (OnClientError) OnClientError(connection, code);
  if (code != 0) ReportError(AsynchronousSocketError(code));
}

void SoqueteServidor::ReportError(const std::string& message) {
  if (OnListenerError) OnListenerError(message);
}

// The engine's handlers for the listener's client events.

namespace {

constexpr char kEcoRecusado[] = "Cliente ou Pedido inv\xE1lido para a resposta";

// A request as the agenda runs it: refusals and "Baixar" at once on the GUI thread (no database, no
// disk), "Deletar" and scripts on a worker. `resposta` is the reply frame, or nothing for "Deletar".
Agenda::Tarefa Planejar(VESPRIL& engine, Pedido request, std::shared_ptr<std::optional<std::string>> resposta) {
  Agenda::Tarefa tarefa;
  const bool baixar = request.comando == "Baixar";
  const bool deletar = request.comando == "Deletar";
  // Echoed, these fields would cut the reply in the wrong places: they are left out of it, and the
  // request is refused before anything runs.
  if (!PodeEcoar(request.cliente, request.pedido)) {
    tarefa.imediata = true;
    if (!deletar) *resposta = MontarResposta("", "", kEcoRecusado, baixar ? "" : request.comando);
    return tarefa;
  }
  std::string path;
  try {
    path = CaminhoArquivoConsulta(engine.DiretorioPrograma(), request.cliente, request.pedido);
  } catch (const Error& refusal) {
    // A request may reach no file but its own result file: it is refused before anything runs.
    tarefa.imediata = true;
    if (!deletar) {
      *resposta = MontarResposta(request.cliente, request.pedido, refusal.Message(), baixar ? "" : request.comando);
    }
    return tarefa;
  }
  tarefa.arquivo = path;
  if (baixar) {
    tarefa.imediata = true;
    *resposta = MontarResposta(request.cliente, request.pedido, "", path);
    return tarefa;
  }
  if (deletar) {
    tarefa.trabalho = [path] { DeleteArquivoConsulta(path); };
    return tarefa;
  }
  tarefa.escrita = !VESPRIL::ScriptDeLeitura(request.comando);
  tarefa.trabalho = [&engine, request = std::move(request), resposta] {
    const std::string mensagem = engine.ExecutarScript(request.comando, request.cliente, request.pedido);
    *resposta = MontarResposta(request.cliente, request.pedido, mensagem, request.comando);
  };
  return tarefa;
}

}  // namespace

void VESPRIL::SoqueteClientRead(Conexao& connection) {
  try {
    // One request of a connection at a time; a client that does not read its replies is not answered
    // further until they drain. The reply is sent, and the next frame taken, when the request ends.
    while (connection.Open() && !connection.Ocupada() && !connection.Congested()) {
      std::optional<Pedido> request = connection.Assembler().Next();
      if (!request) break;
      const size_t bytes = request->cliente.size() + request->pedido.size() + request->comando.size();
      auto resposta = std::make_shared<std::optional<std::string>>();
      Agenda::Tarefa tarefa = Planejar(*this, std::move(*request), resposta);
      SoqueteServidor* soquete = &Soquete();
      soquete->Reter(bytes);
      tarefa.concluir = [guard = QPointer<Conexao>(&connection), resposta, soquete, bytes] {
        soquete->Soltar(bytes);
        // A connection that went away loses the reply only.
        if (!guard) return;
        if (*resposta) guard->Send(**resposta);
        guard->SetOcupada(false);
      };
      tarefa.cancelar = [guard = QPointer<Conexao>(&connection), soquete, bytes] {
        soquete->Soltar(bytes);
        if (guard) guard->SetOcupada(false);
      };
      connection.SetOcupada(true, bytes);
      m_agenda->Enfileirar(std::move(tarefa));
    }
  } catch (...) {
    // Nothing may escape into the event loop; a client's failure must not touch the others.
  }
}

void VESPRIL::SoqueteClientError(Conexao&, int& errorCode) { errorCode = 0; }

}  // namespace vespril
