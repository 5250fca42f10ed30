// The listener on real loopback sockets: a QTcpSocket client in the test process, the event loop
// driven by waits until the expected state is reached.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include "engine/SoqueteServidor.h"
#include "foundation/Error.h"

namespace vespril {
namespace {

constexpr int kWaitMs = 5000;

template <typename Predicate>
bool WaitFor(Predicate predicate, int timeoutMs = kWaitMs) {
  return QTest::qWaitFor(predicate, timeoutMs);
}

// A port nobody listens on right now.
int FreePort() {
  QTcpServer probe;
  probe.listen(QHostAddress::AnyIPv4, 0);
  return probe.serverPort();
}

std::string ErrorOf(SoqueteServidor& listener) {
  try {
    listener.SetActive(true);
  } catch (const Error& error) {
    return error.Message();
  }
  return "";
}

std::string Expected(int error, const char* api) {
  return "Windows socket error: " + std::string(std::strerror(error)) + " (" + std::to_string(error) +
         "), on API '" + api + "'";
}

class Client {
 public:
  explicit Client(int port) { m_socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port)); }
  bool Connected() {
    return WaitFor([&] { return m_socket.state() == QAbstractSocket::ConnectedState; });
  }
  void Send(const std::string& bytes) {
    ASSERT_TRUE(Connected());
    m_socket.write(bytes.data(), static_cast<qint64>(bytes.size()));
    m_socket.flush();
  }
  // Everything received so far, once at least `count` bytes have arrived.
  std::string Received(size_t count) {
    WaitFor([&] {
      m_received += m_socket.readAll().toStdString();
      return m_received.size() >= count;
    });
    return m_received;
  }
  bool Closed() {
    return WaitFor([&] { return m_socket.state() == QAbstractSocket::UnconnectedState; });
  }
  QTcpSocket& Socket() { return m_socket; }

 private:
  QTcpSocket m_socket;
  std::string m_received;
};

// A listener that echoes every read back on its connection.
class ListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_listener.OnClientRead = [this](QTcpSocket& connection) {
      ++m_reads;
      connection.write(connection.readAll());
    };
    m_listener.OnClientError = [](QTcpSocket&, int& code) { code = 0; };
    m_listener.OnListenerError = [this](const std::string& message) { m_errors.push_back(message); };
    m_listener.SetPort(m_port);
    m_listener.SetActive(true);
  }

  int m_port = FreePort();
  SoqueteServidor m_listener{"SoqueteServidorVESPRIL"};
  int m_reads = 0;
  std::vector<std::string> m_errors;
};

TEST_F(ListenerTest, ServesEveryClientOnItsOwnConnection) {
  ASSERT_TRUE(m_listener.Active());
  EXPECT_EQ(m_listener.BoundPort(), m_port);
  Client first(m_port);
  Client second(m_port);
  ASSERT_TRUE(first.Connected());
  ASSERT_TRUE(second.Connected());
  first.Send("one");
  second.Send("two");
  EXPECT_EQ(first.Received(3), "one");
  EXPECT_EQ(second.Received(3), "two");
  EXPECT_EQ(m_listener.ClientCount(), 2);

  second.Socket().disconnectFromHost();
  EXPECT_TRUE(WaitFor([&] { return m_listener.ClientCount() == 1; }));
  first.Send("again");
  EXPECT_EQ(first.Received(8), "oneagain");
  EXPECT_TRUE(m_errors.empty());
}

TEST_F(ListenerTest, EachConnectionKeepsItsOwnReceiveBufferAcrossReads) {
  std::vector<std::pair<const QTcpSocket*, const FrameAssembler*>> seen;
  m_listener.OnClientRead = [&](QTcpSocket& connection) {
    seen.emplace_back(&connection, &m_listener.Assembler(connection));
    connection.readAll();
  };
  Client first(m_port);
  Client second(m_port);
  first.Send("a");
  ASSERT_TRUE(WaitFor([&] { return seen.size() == 1; }));
  second.Send("b");
  ASSERT_TRUE(WaitFor([&] { return seen.size() == 2; }));
  first.Send("c");
  ASSERT_TRUE(WaitFor([&] { return seen.size() == 3; }));

  EXPECT_NE(seen[0].first, seen[1].first);
  EXPECT_NE(seen[0].second, seen[1].second);
  EXPECT_EQ(seen[0], seen[2]);
}

TEST_F(ListenerTest, ClosingDropsEveryClientAndReopeningServesAgain) {
  Client client(m_port);
  ASSERT_TRUE(client.Connected());
  ASSERT_TRUE(WaitFor([&] { return m_listener.ClientCount() == 1; }));

  m_listener.SetActive(false);
  EXPECT_FALSE(m_listener.Active());
  EXPECT_EQ(m_listener.BoundPort(), 0);
  EXPECT_TRUE(client.Closed());
  EXPECT_TRUE(WaitFor([&] { return m_listener.ClientCount() == 0; }));
  Client refused(m_port);
  EXPECT_TRUE(refused.Closed());
  EXPECT_EQ(refused.Socket().error(), QAbstractSocket::ConnectionRefusedError);

  m_listener.SetActive(true);
  Client again(m_port);
  again.Send("back");
  EXPECT_EQ(again.Received(4), "back");
}

TEST_F(ListenerTest, ReplyQueuedBeforeClosingStillArrives) {
  m_listener.OnClientRead = [this](QTcpSocket& connection) {
    connection.write(connection.readAll());
    m_listener.SetActive(false);
  };
  Client client(m_port);
  client.Send("last words");
  EXPECT_EQ(client.Received(10), "last words");
  EXPECT_TRUE(client.Closed());
}

TEST_F(ListenerTest, PortZeroMeansDoNotListen) {
  SoqueteServidor listener("SoqueteServidorVESPRIL");
  listener.SetPort(0);
  EXPECT_NO_THROW(listener.SetActive(true));
  EXPECT_FALSE(listener.Active());
  EXPECT_EQ(listener.BoundPort(), 0);
}

TEST_F(ListenerTest, PortThatCannotBeTakenFailsAsBindAndLeavesTheListenerInactive) {
  SoqueteServidor second("SoqueteServidorVESPRIL");
  second.SetPort(m_port);
  EXPECT_EQ(ErrorOf(second), Expected(EADDRINUSE, "bind"));
  EXPECT_FALSE(second.Active());

  for (int port : {-1, 65536}) {
    second.SetPort(port);
    EXPECT_EQ(ErrorOf(second), Expected(EINVAL, "bind")) << port;
    EXPECT_FALSE(second.Active());
  }

  // Once the port is free the same listener takes it.
  m_listener.SetActive(false);
  second.SetPort(m_port);
  EXPECT_EQ(ErrorOf(second), "");
  EXPECT_TRUE(second.Active());
}

TEST_F(ListenerTest, ClientErrorsAreSuppressedOnlyWhenTheHandlerClearsThem) {
  std::vector<int> codes;
  m_listener.OnClientError = [&](QTcpSocket&, int& code) {
    codes.push_back(code);
    code = 0;
  };
  {
    Client client(m_port);
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(WaitFor([&] { return m_listener.ClientCount() == 1; }));
  }
  ASSERT_TRUE(WaitFor([&] { return !codes.empty(); }));
  EXPECT_EQ(codes[0], static_cast<int>(QAbstractSocket::RemoteHostClosedError));
  EXPECT_TRUE(m_errors.empty());

  m_listener.OnClientError = [](QTcpSocket&, int&) {};
  {
    Client client(m_port);
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(WaitFor([&] { return m_listener.ClientCount() == 1; }));
  }
  ASSERT_TRUE(WaitFor([&] { return !m_errors.empty(); }));
  EXPECT_EQ(m_errors, std::vector<std::string>{"Asynchronous socket error 1"});
}

// Descriptors run out while a client waits to be accepted: the error is reported, and the client
// is served once descriptors are available again.
TEST_F(ListenerTest, AcceptFailureIsReportedAndAcceptingResumes) {
  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(client, 0);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  int highest = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    highest = std::max(highest, std::stoi(entry.path().filename().string()));
  }
  rlimit lowered = saved;
  lowered.rlim_cur = static_cast<rlim_t>(highest) + 1;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  std::vector<int> fillers;
  for (int fd; (fd = ::dup(client)) >= 0;) fillers.push_back(fd);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(m_port));
  const int connected = ::connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const bool reported = WaitFor([&] { return !m_errors.empty(); });

  for (int fd : fillers) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_EQ(connected, 0) << std::strerror(errno);
  ASSERT_TRUE(reported);
  EXPECT_EQ(m_errors[0], "Asynchronous socket error " +
                             std::to_string(static_cast<int>(QAbstractSocket::SocketResourceError)));
  EXPECT_EQ(m_listener.ClientCount(), 0);

  EXPECT_TRUE(WaitFor([&] { return m_listener.ClientCount() == 1; }));
  ASSERT_EQ(::write(client, "hi", 2), 2);
  EXPECT_TRUE(WaitFor([&] { return m_reads == 1; }));
  ::close(client);
}

}  // namespace
}  // namespace vespril
