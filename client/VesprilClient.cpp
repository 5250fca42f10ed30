#include "VesprilClient.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "foundation/Descriptor.h"

namespace vespril {

namespace {

std::string Seconds(std::chrono::milliseconds timeout) {
  const long long ms = timeout.count();
  std::string text = std::to_string(ms / 1000);
  if (ms % 1000 != 0) {
    std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
    while (fraction.back() == '0') fraction.pop_back();
    text += "." + fraction;
  }
  return text + " s";
}

std::string RequestName(const Pedido& request) {
  return "request " + request.pedido + " of client " + request.cliente;
}

bool HasControlByte(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 32; });
}

std::string_view TrimRight(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// Connects one socket to one address, non-blocking; an empty descriptor, with the reason in `error`,
// when it can't.
Descriptor ConnectTo(const addrinfo& address, int timeoutMs, int& error) {
  Descriptor socket(
      ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol));
  if (!socket.Valid()) {
    error = errno;
    return socket;
  }
  if (::connect(socket.Get(), address.ai_addr, address.ai_addrlen) != 0) {
    if (errno != EINPROGRESS) {
      error = errno;
      return Descriptor();
    }
    pollfd p{socket.Get(), POLLOUT, 0};
    int ready;
    while ((ready = ::poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    error = ETIMEDOUT;
    if (ready > 0) {
      socklen_t size = sizeof error;
      if (::getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    }
    if (error != 0) return Descriptor();
  }
  return socket;
}

}  // namespace

VesprilClient::VesprilClient(const std::string& host, uint16_t port, std::chrono::milliseconds timeout)
    : m_peer(host + ":" + std::to_string(port)), m_timeout(timeout) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* addresses = nullptr;
  const int resolved = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses);
  if (resolved != 0) {
    throw ClientError(ClientError::Kind::Connect,
                      "Cannot connect to " + m_peer + ": " + ::gai_strerror(resolved));
  }
  const int timeoutMs =
      timeout.count() > 0 ? static_cast<int>(std::min<long long>(timeout.count(), 1 << 30)) : -1;
  int error = 0;
  Descriptor socket;
  for (const addrinfo* a = addresses; a != nullptr && !socket.Valid(); a = a->ai_next) {
    socket = ConnectTo(*a, timeoutMs, error);
  }
  ::freeaddrinfo(addresses);
  if (!socket.Valid()) {
    if (error == ETIMEDOUT) {
      throw ClientError(ClientError::Kind::Timeout,
                        "Cannot connect to " + m_peer + ": no answer within " + Seconds(timeout));
    }
    throw ClientError(ClientError::Kind::Connect,
                      "Cannot connect to " + m_peer + ": " + std::strerror(error));
  }
  m_fd = socket.Release();  // this object's now; its destructor closes it
}

VesprilClient::~VesprilClient() {
  if (m_fd >= 0) ::close(m_fd);
}

VesprilClient::VesprilClient(VesprilClient&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)),
      m_peer(std::move(other.m_peer)),
      m_timeout(other.m_timeout),
      m_replies(std::move(other.m_replies)),
      m_pending(std::move(other.m_pending)),
      m_failure(std::move(other.m_failure)) {}

VesprilClient& VesprilClient::operator=(VesprilClient&& other) noexcept {
  if (this != &other) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = std::exchange(other.m_fd, -1);
    m_peer = std::move(other.m_peer);
    m_timeout = other.m_timeout;
    m_replies = std::move(other.m_replies);
    m_pending = std::move(other.m_pending);
    m_failure = std::move(other.m_failure);
  }
  return *this;
}

void VesprilClient::Send(std::string_view cliente, std::string_view pedido, std::string_view comando) {
  // The gateway refuses what it could not echo back in a reply that still cuts at its delimiters.
  if (!PodeEcoar(cliente, pedido)) {
    throw std::invalid_argument("Cliente and Pedido cannot hold ESC, and Pedido cannot begin with GLAYPT");
  }
  if (comando.find(MarcaFim) != std::string_view::npos) {
    throw std::invalid_argument("A command cannot hold the end marker (CR LF ESC followed by GLAYPT)");
  }
  CheckUsable();
  Pedido request{std::string(cliente), std::string(pedido), std::string(comando)};
  const std::string frame = MontarPedido(cliente, pedido, comando);
  const Clock::time_point deadline = Deadline();
  for (size_t sent = 0; sent < frame.size();) {
    const ssize_t n = ::send(m_fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (n >= 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      Fail(ClientError::Kind::Closed, "The gateway at " + m_peer + " closed the connection while " +
                                          RequestName(request) + " was being sent: " + std::strerror(errno));
    }
    // Replies are taken in while waiting, so that neither side waits for the other to read.
    if (Wait(true, deadline, "room to send " + RequestName(request)) & POLLIN) {
      if (!ReadSome()) {
        Fail(ClientError::Kind::Closed, "The gateway at " + m_peer + " closed the connection while " +
                                            RequestName(request) + " was being sent");
      }
    }
  }
  if (comando != "Deletar") m_pending.push_back(std::move(request));
}

Resposta VesprilClient::Receive() {
  if (m_pending.empty()) throw std::logic_error("No request is waiting for a reply");
  CheckUsable();
  const Pedido& request = m_pending.front();
  const Clock::time_point deadline = Deadline();
  std::optional<Resposta> reply;
  while (!(reply = m_replies.Next())) {
    if (m_replies.Overflowed()) {
      Fail(ClientError::Kind::Broken, "The gateway at " + m_peer + " sent a reply too long to be one");
    }
    Wait(false, deadline, "the reply to " + RequestName(request));
    if (!ReadSome()) {
      Fail(ClientError::Kind::Closed,
           "The gateway at " + m_peer + " closed the connection " +
               (m_replies.Buffered() > 0 ? "in the middle of the reply to " : "before replying to ") +
               RequestName(request));
    }
  }
  if (reply->cliente != request.cliente || reply->pedido != request.pedido) {
    Fail(ClientError::Kind::Mismatch, "The gateway at " + m_peer + " answered " + RequestName(request) +
                                          " with a reply to request " + reply->pedido + " of client " +
                                          reply->cliente);
  }
  // A script comes back whole in Retorno, so a Mensagem that itself holds a Separador (a database
  // text quoting the script) is told apart by where the echoed script begins.
  if (request.comando != "Baixar" && reply->retorno != request.comando) {
    const std::string whole = reply->mensagem + std::string(Separador) + reply->retorno;
    const std::string echo = std::string(Separador) + request.comando;
    if (whole.size() >= echo.size() && whole.ends_with(echo)) {
      reply->mensagem = whole.substr(0, whole.size() - echo.size());
      reply->retorno = request.comando;
    }
  }
  m_pending.pop_front();
  return std::move(*reply);
}

Resposta VesprilClient::Executar(std::string_view cliente, std::string_view pedido, std::string_view script) {
  if (!m_pending.empty()) throw std::logic_error("Earlier replies have not been received");
  Send(cliente, pedido, script);
  return Receive();
}

Resposta VesprilClient::Baixar(std::string_view cliente, std::string_view pedido) {
  return Executar(cliente, pedido, "Baixar");
}

void VesprilClient::Deletar(std::string_view cliente, std::string_view pedido) {
  Send(cliente, pedido, "Deletar");
}

VesprilClient::Clock::time_point VesprilClient::Deadline() const {
  return m_timeout.count() > 0 ? Clock::now() + m_timeout : Clock::time_point::max();
}

short VesprilClient::Wait(bool writable, Clock::time_point deadline, const std::string& what) {
  pollfd p{m_fd, static_cast<short>(POLLIN | (writable ? POLLOUT : 0)), 0};
  for (;;) {
    int timeoutMs = -1;
    if (deadline != Clock::time_point::max()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      timeoutMs = static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
    }
    const int ready = ::poll(&p, 1, timeoutMs);
    if (ready > 0) return p.revents;
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) Fail(ClientError::Kind::Broken, "Cannot wait for " + what + ": " + std::strerror(errno));
    Fail(ClientError::Kind::Timeout,
         "No answer from the gateway at " + m_peer + " within " + Seconds(m_timeout) + " for " + what);
  }
}

bool VesprilClient::ReadSome() {
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      m_replies.Append(std::string_view(buffer, static_cast<size_t>(n)));
      return true;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
    return false;  // a reset ends the stream as a close does
  }
}

void VesprilClient::Fail(ClientError::Kind kind, const std::string& message) {
  m_failure = message;
  throw ClientError(kind, message);
}

void VesprilClient::CheckUsable() const {
  if (m_fd < 0) throw std::logic_error("The connection was moved away");
  if (!m_failure.empty()) {
    throw ClientError(ClientError::Kind::Broken,
                      "The connection to " + m_peer + " is unusable: " + m_failure);
  }
}

std::string AnotarChaves(std::string_view insert, const std::vector<ChaveEstrangeira>& chaves) {
  std::string_view sql = TrimRight(insert);
  if (sql.ends_with(';')) sql = TrimRight(sql.substr(0, sql.size() - 1));
  if (sql.find(';') != std::string_view::npos) {
    throw std::invalid_argument("Foreign keys annotate one INSERT statement; this text holds more than one");
  }
  const std::string lower = Lower(sql);
  // The gateway's own test: a statement naming "select" anywhere runs as a query.
  if (lower.find("insert") == std::string::npos || lower.find("select") != std::string::npos) {
    throw std::invalid_argument(
        "Foreign keys annotate an INSERT statement, and the gateway would not run this as one");
  }
  if (sql.find(SeparadorChave) != std::string_view::npos) {
    throw std::invalid_argument("The statement already carries annotations");
  }
  std::string out(sql);
  if (chaves.empty()) return out + ";";
  out += SeparadorChave;
  for (const ChaveEstrangeira& chave : chaves) {
    for (const std::string& name : {chave.TabelaPai, chave.Campo}) {
      const bool blank = std::all_of(name.begin(), name.end(), [](char c) { return c == ' '; });
      if (blank || name.find(',') != std::string::npos || HasControlByte(name)) {
        throw std::invalid_argument(
            "A foreign key is a parent table and a column, each a name without \",\": '" + chave.TabelaPai +
            "," + chave.Campo + "'");
      }
    }
    out += chave.TabelaPai + ", " + chave.Campo;
    out += SeparadorChave;
  }
  return out + ";";
}

}  // namespace vespril
