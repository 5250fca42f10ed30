#include "tests/support/SocketClient.h"

#include <cerrno>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>
#include <QHostAddress>
#include <QTest>

#include "protocol/WireProtocol.h"

namespace vespril::test {

SocketClient::SocketClient(int port, const std::string& host, const std::string& from) {
  QObject::connect(&m_socket, &QTcpSocket::connected, [this] { m_connected = true; });
  QObject::connect(&m_socket, &QTcpSocket::readyRead, [this] { Gather(); });
  if (!from.empty()) m_socket.bind(QHostAddress(QString::fromStdString(from)));
  m_socket.connectToHost(QHostAddress(QString::fromStdString(host)), static_cast<quint16>(port));
}

// A connection closed at once may never be seen in the connected state by a wait, so the signal is
// remembered.
bool SocketClient::Connected(int ms) {
  (void)QTest::qWaitFor([&] { return m_connected || m_socket.state() == QAbstractSocket::UnconnectedState; },
                        ms);
  return m_connected;
}

void SocketClient::Send(std::string_view bytes) {
  if (!Connected()) {
    ADD_FAILURE() << "not connected to port " << m_socket.peerPort();
    return;
  }
  m_socket.write(bytes.data(), static_cast<qint64>(bytes.size()));
  m_socket.flush();
}

void SocketClient::Gather() {
  const QByteArray bytes = m_socket.readAll();
  if (bytes.isEmpty()) return;
  const std::string_view piece(bytes.constData(), static_cast<size_t>(bytes.size()));
  m_onBytes ? m_onBytes(piece) : (void)m_received.append(piece);
}

const std::string& SocketClient::Received(size_t count, int ms) {
  (void)QTest::qWaitFor(
      [&] {
        Gather();
        return m_received.size() >= count || m_socket.state() == QAbstractSocket::UnconnectedState;
      },
      ms);
  Gather();
  return m_received;
}

std::string SocketClient::Ask(std::string_view request, int ms) {
  if (!Connected()) return "(not connected)";
  m_socket.write(request.data(), static_cast<qint64>(request.size()));
  (void)QTest::qWaitFor(
      [&] {
        Gather();
        return m_received.find(MarcaFim) != std::string::npos ||
               m_socket.state() == QAbstractSocket::UnconnectedState;
      },
      ms);
  Gather();
  return std::exchange(m_received, std::string());
}

bool SocketClient::Closed(int ms) {
  return QTest::qWaitFor(
      [&] {
        Gather();
        return m_socket.state() == QAbstractSocket::UnconnectedState;
      },
      ms);
}

Descriptor Dial(int port, bool nonBlocking) {
  Descriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
      !(nonBlocking && errno == EINPROGRESS)) {
    socket.Reset();
  }
  return socket;
}

bool SendAll(const Descriptor& socket, std::string_view bytes) {
  return ::send(socket.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

Outcome Receive(const Descriptor& socket, size_t count, std::string* received, int timeoutMs) {
  std::string got;
  while (got.size() < count) {
    pollfd wait{socket.Get(), POLLIN, 0};
    if (::poll(&wait, 1, timeoutMs) <= 0) return Outcome::Silent;
    char buffer[1 << 16];
    const ssize_t n = ::recv(socket.Get(), buffer, sizeof buffer, 0);
    if (n <= 0) return Outcome::Closed;
    got.append(buffer, static_cast<size_t>(n));
  }
  if (received != nullptr) *received = got;
  return Outcome::Answered;
}

}  // namespace vespril::test
