// The listener on real loopback sockets: clients in the test process, the event loop driven by waits
// until the expected state is reached.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTest>

#include "execution/ArquivoConsulta.h"
#include "foundation/Descriptor.h"
#include "foundation/Error.h"
#include "gateway/UVESPRIL.h"
#include "listener/SoqueteServidor.h"
#include "protocol/WireProtocol.h"
#include "tests/support/ErrorOf.h"
#include "tests/support/FirebirdTestDatabase.h"
#include "tests/support/Frames.h"
#include "tests/support/SocketClient.h"
#include "tests/support/Workspace.h"

namespace vespril {
namespace {

using test::Comando;
using test::Pedir;
using test::SocketClient;

constexpr int kWaitMs = 5000;

template <typename Predicate>
bool WaitFor(Predicate predicate, int timeoutMs = kWaitMs) {
  return QTest::qWaitFor(predicate, timeoutMs);
}

std::string Expected(int error, const char* api) {
  return "Windows socket error: " + std::string(std::strerror(error)) + " (" + std::to_string(error) +
         "), on API '" + api + "'";
}

void Echo(ClientConnection& connection) {
  while (const std::optional<Pedido> pedido = connection.Assembler().Next()) connection.Send(pedido->comando);
}

// A listener that answers every frame with its comando.
class ListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_listener.OnClientRead = [this](ClientConnection& connection) {
      ++m_reads;
      Echo(connection);
    };
    m_listener.OnClientError = [](ClientConnection&, SocketError& code) { code = SocketError::None; };
    m_listener.OnListenerError = [this](const std::string& message) { m_errors.push_back(message); };
    m_listener.SetPort(m_port);
    m_listener.SetActive(true);
  }

  int m_port = test::FreeTcpPort();
  SoqueteServidor m_listener{"SoqueteServidorVESPRIL"};
  int m_reads = 0;
  std::vector<std::string> m_errors;
};

TEST_F(ListenerTest, ServesEveryClientOnItsOwnConnection) {
  ASSERT_TRUE(m_listener.Active());
  EXPECT_EQ(m_listener.BoundPort(), m_port);
  SocketClient first(m_port);
  SocketClient second(m_port);
  ASSERT_TRUE(first.Connected());
  ASSERT_TRUE(second.Connected());
  first.Send(Comando("one"));
  second.Send(Comando("two"));
  EXPECT_EQ(first.Received(3), "one");
  EXPECT_EQ(second.Received(3), "two");
  EXPECT_EQ(m_listener.ClientCount(), 2);

  second.Socket().disconnectFromHost();
  EXPECT_TRUE(WaitFor([&] { return m_listener.ClientCount() == 1; }));
  first.Send(Comando("again"));
  EXPECT_EQ(first.Received(8), "oneagain");
  EXPECT_TRUE(m_errors.empty());
}

TEST_F(ListenerTest, EachConnectionGathersItsOwnFramesAcrossReads) {
  SocketClient first(m_port);
  SocketClient second(m_port);
  const std::string frame = Comando("first");
  first.Send(frame.substr(0, 10));
  ASSERT_TRUE(WaitFor([&] { return m_listener.ClientCount() == 2; }));
  second.Send(Comando("second").substr(0, 20));
  QTest::qWait(20);
  first.Send(frame.substr(10));
  EXPECT_EQ(first.Received(5), "first");
  second.Send(Comando("second").substr(20));
  EXPECT_EQ(second.Received(6), "second");
}

// While a request runs, what comes in behind it is read only up to the connection's ceiling of
// unanswered requests; the rest waits in the kernel and arrives whole once the request ends.
TEST_F(ListenerTest, BusyConnectionIsReadOnlyUpToItsCeilingOfUnansweredRequests) {
  constexpr size_t kTeto = 256 * 1024;
  m_listener.SetLimits({.pendingRequests = kTeto});
  ClientConnection* ocupada = nullptr;
  std::vector<size_t> tamanhos;
  m_listener.OnClientRead = [&](ClientConnection& connection) {
    if (const std::optional<Pedido> pedido = connection.Assembler().Next()) {
      tamanhos.push_back(pedido->comando.size());
      ocupada = &connection;
      connection.SetBusy(true, pedido->comando.size());
    }
  };
  SocketClient client(m_port);
  client.Send(Comando(std::string(kTeto / 2, 'a')));
  ASSERT_TRUE(WaitFor([&] { return ocupada != nullptr; }));
  const std::string longo(32u << 20, 'b');  // more than the kernel holds between the two sockets
  client.Send(Comando(longo));
  // Reading stops with at most one read's worth (1 MiB) past the ceiling; it never gets near the frame.
  EXPECT_FALSE(WaitFor([&] { return ocupada->Assembler().Buffered() > kTeto + (1u << 20); }, 1000))
      << ocupada->Assembler().Buffered();
  EXPECT_GT(client.Socket().bytesToWrite(), 0);
  ocupada->SetBusy(false);
  ASSERT_TRUE(WaitFor([&] { return tamanhos.size() == 2; }, 20000));
  EXPECT_EQ(tamanhos[1], longo.size());
}

// Requests taken and not yet finished count with the unfinished frames against the ceiling of all
// connections: past it, the connection whose frame grows is closed, and the room comes back once the
// requests finish.
TEST_F(ListenerTest, RequestsWaitingTheirTurnCountAgainstTheCeilingOfAllConnections) {
  constexpr size_t kTeto = 1u << 20;
  m_listener.SetLimits({.unfinishedFrames = kTeto});
  std::vector<std::pair<ClientConnection*, size_t>> retidos;
  m_listener.OnClientRead = [&](ClientConnection& connection) {
    if (const std::optional<Pedido> pedido = connection.Assembler().Next()) {
      m_listener.HoldRequest(pedido->comando.size());
      retidos.emplace_back(&connection, pedido->comando.size());
      connection.SetBusy(true, pedido->comando.size());
    }
  };
  const std::string frame = Comando(std::string(kTeto * 6 / 10, 'x'));
  SocketClient a(m_port);
  SocketClient b(m_port);
  a.Send(frame);
  ASSERT_TRUE(WaitFor([&] { return retidos.size() == 1; }));
  b.Send(frame);
  EXPECT_TRUE(b.Closed());
  EXPECT_EQ(retidos.size(), 1u);
  m_listener.ReleaseRequest(retidos[0].second);
  retidos[0].first->SetBusy(false);
  SocketClient c(m_port);
  c.Send(frame);
  EXPECT_TRUE(WaitFor([&] { return retidos.size() == 2; }));
}

// Bytes that belong to no frame are skipped, and the log says how many and whose they were; a client
// that keeps sending them is told of once a second at most.
TEST_F(ListenerTest, BytesOutsideFramesAreLoggedWithThePeersAddress) {
  std::vector<std::string> eventos;
  m_listener.OnEvent = [&](const std::string& evento) { eventos.push_back(evento); };
  SocketClient client(m_port);
  ASSERT_TRUE(client.Connected());
  client.Send("junk" + Comando("one") + "\r\n");
  EXPECT_EQ(client.Received(3), "one");
  client.Send("more" + Comando("two"));
  EXPECT_EQ(client.Received(6), "onetwo");
  const std::string par = "127.0.0.1:" + std::to_string(client.Socket().localPort());
  EXPECT_EQ(eventos, std::vector<std::string>{par + ": 4 bytes fora de um quadro descartados"});
}

// `clientes` connections to 127.0.0.1:port begun at the same moment, each sending `pedido` once it is
// connected: the seconds from its connect to the first byte of its answer, or -1 for one not answered
// within 20 s. Plain non-blocking sockets on the calling thread, so the listener's thread only serves.
std::vector<double> Multidao(int port, int clientes, const std::string& pedido) {
  using Clock = std::chrono::steady_clock;
  std::vector<Descriptor> sockets;
  std::vector<pollfd> polls;
  const Clock::time_point inicio = Clock::now();
  for (int i = 0; i < clientes; ++i) {
    sockets.push_back(test::Dial(port, true));
    polls.push_back({sockets.back().Get(), POLLOUT, 0});
  }
  std::vector<double> segundos(static_cast<size_t>(clientes), -1);
  for (int faltam = clientes; faltam > 0 && Clock::now() - inicio < std::chrono::seconds(20);) {
    if (::poll(polls.data(), polls.size(), 100) <= 0) continue;
    for (size_t i = 0; i < polls.size(); ++i) {
      pollfd& p = polls[i];
      char byte = 0;
      if ((p.revents & (POLLIN | POLLERR | POLLHUP)) != 0) {  // answered, refused or reset
        if (::recv(p.fd, &byte, 1, 0) == 1)
          segundos[i] = std::chrono::duration<double>(Clock::now() - inicio).count();
        p.fd = -1;
        --faltam;
      } else if ((p.revents & POLLOUT) != 0) {
        ::send(p.fd, pedido.data(), pedido.size(), MSG_NOSIGNAL);
        p.events = POLLIN;
      }
    }
  }
  return segundos;
}

// A crowd connecting at the same moment (clients started together after a network blip) gets in at
// once: none left to TCP's retries, which come a second and more later, by a short listen queue or
// by accepting too few per wake-up.
TEST_F(ListenerTest, CrowdConnectingAtOnceIsAnsweredWithinASecond) {
  constexpr int kClientes = 300;
  std::vector<double> segundos;
  std::atomic<bool> fim{false};
  std::thread multidao([&] {
    segundos = Multidao(m_port, kClientes, Comando("x"));
    fim = true;
  });
  const bool terminou = WaitFor([&] { return fim.load(); }, 30000);
  multidao.join();
  ASSERT_TRUE(terminou);
  ASSERT_EQ(segundos.size(), size_t{kClientes});
  const auto sem = std::count(segundos.begin(), segundos.end(), -1.0);
  std::replace(segundos.begin(), segundos.end(), -1.0, 1e9);  // unanswered: after every answered one
  std::sort(segundos.begin(), segundos.end());
  std::printf("crowd of %d: %d unanswered, median %.3f s, p99 %.3f s, slowest %.3f s\n", kClientes,
              static_cast<int>(sem), segundos[kClientes / 2], segundos[kClientes * 99 / 100],
              segundos.back());
  EXPECT_EQ(sem, 0);
  EXPECT_LT(segundos.back(), 1.0);
  EXPECT_EQ(m_reads, kClientes);
}

TEST_F(ListenerTest, ClosingDropsEveryClientAndReopeningServesAgain) {
  SocketClient client(m_port);
  ASSERT_TRUE(client.Connected());
  ASSERT_TRUE(WaitFor([&] { return m_listener.ClientCount() == 1; }));

  m_listener.SetActive(false);
  EXPECT_FALSE(m_listener.Active());
  EXPECT_EQ(m_listener.BoundPort(), 0);
  EXPECT_TRUE(client.Closed());
  EXPECT_TRUE(WaitFor([&] { return m_listener.ClientCount() == 0; }));
  SocketClient refused(m_port);
  EXPECT_TRUE(refused.Closed());
  EXPECT_EQ(refused.Socket().error(), QAbstractSocket::ConnectionRefusedError);

  m_listener.SetActive(true);
  SocketClient again(m_port);
  again.Send(Comando("back"));
  EXPECT_EQ(again.Received(4), "back");
}

TEST_F(ListenerTest, ReplyQueuedBeforeClosingStillArrives) {
  m_listener.OnClientRead = [this](ClientConnection& connection) {
    Echo(connection);
    m_listener.SetActive(false);
  };
  SocketClient client(m_port);
  client.Send(Comando("last words"));
  EXPECT_EQ(client.Received(10), "last words");
  EXPECT_TRUE(client.Closed());
}

// The listener is its connections' one owner: when it goes, they go with it.
TEST_F(ListenerTest, DestroyingTheListenerClosesItsClients) {
  auto listener = std::make_unique<SoqueteServidor>("SoqueteServidorVESPRIL");
  const int port = test::FreeTcpPort();
  listener->SetPort(port);
  listener->SetActive(true);
  SocketClient client(port);
  ASSERT_TRUE(WaitFor([&] { return listener->ClientCount() == 1; }));
  listener.reset();
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
  const auto open = [&] { second.SetActive(true); };
  second.SetPort(m_port);
  EXPECT_EQ(test::ErrorOf(open), Expected(EADDRINUSE, "bind"));
  EXPECT_FALSE(second.Active());

  for (int port : {-1, 65536}) {
    second.SetPort(port);
    EXPECT_EQ(test::ErrorOf(open), Expected(EINVAL, "bind")) << port;
    EXPECT_FALSE(second.Active());
  }

  // Once the port is free the same listener takes it.
  m_listener.SetActive(false);
  second.SetPort(m_port);
  EXPECT_EQ(test::ErrorOf(open), test::kNoError);
  EXPECT_TRUE(second.Active());
}

TEST_F(ListenerTest, ClientErrorsAreSuppressedOnlyWhenTheHandlerClearsThem) {
  std::vector<SocketError> codes;
  m_listener.OnClientError = [&](ClientConnection&, SocketError& code) {
    codes.push_back(code);
    code = SocketError::None;
  };
  {
    SocketClient client(m_port);
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(WaitFor([&] { return m_listener.ClientCount() == 1; }));
  }
  ASSERT_TRUE(WaitFor([&] { return !codes.empty(); }));
  EXPECT_EQ(codes[0], SocketError::RemoteHostClosed);
  EXPECT_TRUE(m_errors.empty());

  m_listener.OnClientError = [](ClientConnection&, SocketError&) {};
  {
    SocketClient client(m_port);
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(WaitFor([&] { return m_listener.ClientCount() == 1; }));
  }
  ASSERT_TRUE(WaitFor([&] { return !m_errors.empty(); }));
  EXPECT_EQ(m_errors, std::vector<std::string>{"Asynchronous socket error 1"});
}

// The gateway from end to end: the engine in this process, in a working directory of its own, and
// clients on the wire.

bool FileExists(const std::string& path) { return QFile::exists(QString::fromLatin1(path.c_str())); }

void WriteFile(const std::string& path, const std::string& content) {
  QFile file(QString::fromLatin1(path.c_str()));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(content.data(), static_cast<qint64>(content.size()));
}

// The engine started on a stored port, in a workspace of its own.
class GatewayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_workspace.WriteSettings(std::to_string(m_port));
    m_engine = std::make_unique<VESPRIL>(m_workspace.ResultDirectory());
    m_engine->OnAviso = [this](const std::string& message) { m_errors.push_back(message); };
    ASSERT_TRUE(m_engine->Soquete().Active());
  }
  void TearDown() override {
    EXPECT_TRUE(m_errors.empty()) << m_errors.front();
    // Detached before a subclass drops its databases.
    m_engine.reset();
  }

  std::string Path(const std::string& name) const { return m_workspace.ResultDirectory() + name; }
  std::string Refusal(const std::string& cliente, const std::string& pedido) const {
    try {
      CaminhoArquivoConsulta(m_workspace.ResultDirectory(), cliente, pedido);
    } catch (const Error& error) {
      return error.Message();
    }
    ADD_FAILURE() << "not refused: " << cliente << " / " << pedido;
    return "";
  }

  test::Workspace m_workspace;
  int m_port = test::FreeTcpPort();
  std::unique_ptr<VESPRIL> m_engine;
  std::vector<std::string> m_errors;
};

TEST_F(GatewayTest, BaixarAnswersWithThePathOfTheResultFile) {
  SocketClient client(m_port);
  client.Send(Pedir("loja.3", "42", "Baixar"));
  const std::string expected =
      MontarResposta("loja.3", "42", "", m_workspace.ResultDirectory() + "Consultaloja342.xml");
  EXPECT_EQ(client.Received(expected.size()), expected);
  EXPECT_FALSE(FileExists(Path("Consultaloja342.xml")));
}

TEST_F(GatewayTest, FramesOfOneWriteAreAnsweredInOrder) {
  const std::string script = "update ITEM set QTD = 1;\r\ndelete from ITEM;";
  SocketClient client(m_port);
  client.Send(Pedir("c", "1", script) + Pedir("c", "2", "Baixar") + Pedir("c", "3", script));
  const std::string expected = MontarResposta("c", "1", "", script) +
                               MontarResposta("c", "2", "", Path("Consultac2.xml")) +
                               MontarResposta("c", "3", "", script);
  EXPECT_EQ(client.Received(expected.size()), expected);
}

TEST_F(GatewayTest, FrameCutIntoManyPiecesIsAnsweredOnceWhole) {
  const std::string request = Pedir("loja.3", "42", "Baixar");
  SocketClient client(m_port);
  for (char byte : request) {
    client.Send(std::string(1, byte));
    QTest::qWait(2);
  }
  const std::string expected = MontarResposta("loja.3", "42", "", Path("Consultaloja342.xml"));
  EXPECT_EQ(client.Received(expected.size()), expected);
  QTest::qWait(50);
  EXPECT_EQ(client.Received(0), expected);
}

TEST_F(GatewayTest, BytesBeforeAFrameAreSkipped) {
  SocketClient client(m_port);
  client.Send("junk\r\n\x1B" + Pedir("c", "7", "Baixar") + "trailing");
  client.Send(Pedir("c", "8", "Baixar"));
  const std::string expected = MontarResposta("c", "7", "", Path("Consultac7.xml")) +
                               MontarResposta("c", "8", "", Path("Consultac8.xml"));
  EXPECT_EQ(client.Received(expected.size()), expected);
}

TEST_F(GatewayTest, DeletarRemovesTheFileAndSendsNothing) {
  const std::string file = Path("Consultaloja342.xml");
  WriteFile(file, "old rows");
  SocketClient client(m_port);
  // Each "Deletar" is followed by a "Baixar" whose reply must be the first bytes to arrive.
  client.Send(Pedir("loja.3", "42", "Deletar") + Pedir("loja.3", "42", "Baixar"));
  const std::string baixar = MontarResposta("loja.3", "42", "", file);
  EXPECT_EQ(client.Received(baixar.size()), baixar);
  EXPECT_FALSE(FileExists(file));

  client.Send(Pedir("loja.3", "42", "Deletar") + Pedir("loja.3", "42", "Baixar"));
  EXPECT_EQ(client.Received(2 * baixar.size()), baixar + baixar);
}

// Anything but the two keywords exactly, the empty text included, is a script.
TEST_F(GatewayTest, KeywordsMustMatchExactlyOrRunAsScripts) {
  SocketClient client(m_port);
  std::string expected;
  for (const std::string comando :
       {"baixar", "BAIXAR", " Baixar", "Baixar ", "deletar", "Deletar\r\n", "\tDeletar", ""}) {
    client.Send(Pedir("c", "1", comando));
    expected += MontarResposta("c", "1", "", comando);
  }
  EXPECT_EQ(client.Received(expected.size()), expected);
}

TEST_F(GatewayTest, FieldsTravelAsRawBytes) {
  const std::string cliente = "loj\xE1";
  const std::string script = "update T set N = 'a\xE7\xE3o\xFF';\r\n";
  SocketClient client(m_port);
  client.Send(Pedir(cliente, "9", "Baixar") + Pedir(cliente, "9", script));
  const std::string expected = MontarResposta(cliente, "9", "", Path("Consulta" + cliente + "9.xml")) +
                               MontarResposta(cliente, "9", "", script);
  EXPECT_EQ(client.Received(expected.size()), expected);
}

TEST_F(GatewayTest, ClientGoneBeforeItsReplyHarmsNoOne) {
  {
    SocketClient leaving(m_port);
    leaving.Send(Pedir("c", "1", "select * from ITEM;") + Pedir("c", "2", "Baixar"));
    leaving.Socket().abort();
  }
  ASSERT_TRUE(WaitFor([&] { return m_engine->Soquete().ClientCount() == 0; }));
  SocketClient next(m_port);
  next.Send(Pedir("c", "3", "Baixar"));
  const std::string expected = MontarResposta("c", "3", "", Path("Consultac3.xml"));
  EXPECT_EQ(next.Received(expected.size()), expected);
}

// A client that shuts down its sending side after its requests and then reads: every reply reaches it
// whole, however large (an 8 MB one was cut at what the kernel took in one go), and then the
// connection ends.
TEST_F(GatewayTest, ClientThatStopsSendingStillGetsItsReplies) {
  const std::string large(8'000'000, 'x');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {Pedir("h", "1", "Baixar") + Pedir("h", "2", "Baixar"),
       MontarResposta("h", "1", "", Path("Consultah1.xml")) +
           MontarResposta("h", "2", "", Path("Consultah2.xml"))},
      {Pedir("a", "b", large), MontarResposta("a", "b", "", large)},
  };
  for (const auto& [request, expected] : cases) {
    const Descriptor socket = test::Dial(m_port, true);
    const int fd = socket.Get();
    size_t written = 0;
    std::string received;
    bool ended = false;
    WaitFor(
        [&, &request = request] {  // clang 14 captures no structured binding by default
          for (ssize_t n;
               written < request.size() &&
               (n = ::send(fd, request.data() + written, request.size() - written, MSG_NOSIGNAL)) > 0;) {
            written += static_cast<size_t>(n);
            if (written == request.size()) ::shutdown(fd, SHUT_WR);
          }
          char buffer[1 << 16];
          ssize_t n;
          while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            received.append(buffer, static_cast<size_t>(n));
          ended = n == 0;
          return ended;
        },
        20000);
    EXPECT_EQ(written, request.size());
    EXPECT_TRUE(ended);
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
  }
}

// Cliente or Pedido that could name another file: nothing is touched; Baixar and scripts say why.
TEST_F(GatewayTest, UnsafeClienteOrPedidoIsRefused) {
  // Where "a/b" with an empty Pedido would lead.
  ASSERT_TRUE(QDir(QString::fromLatin1(m_workspace.ResultDirectory().c_str())).mkdir("Consultaa"));
  const std::string bait = Path("Consultaa/b.xml");
  WriteFile(bait, "not yours");

  SocketClient client(m_port);
  const std::string script = "select * from ITEM;";
  std::string expected;
  for (const auto& [cliente, pedido] :
       std::vector<std::pair<std::string, std::string>>{{"a/b", ""},
                                                        {"../x", "1"},
                                                        {"a\\b", "1"},
                                                        {std::string("a\x01"
                                                                     "b"),
                                                         "1"},
                                                        {"c", "../../x"},
                                                        {"c", std::string("1\x00", 2)}}) {
    const std::string refusal = Refusal(cliente, pedido);
    client.Send(Pedir(cliente, pedido, "Deletar") + Pedir(cliente, pedido, "Baixar") +
                Pedir(cliente, pedido, script));
    expected +=
        MontarResposta(cliente, pedido, refusal, "") + MontarResposta(cliente, pedido, refusal, script);
  }
  EXPECT_EQ(client.Received(expected.size()), expected);
  ASSERT_TRUE(FileExists(bait));
  QFile file(QString::fromLatin1(bait.c_str()));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), "not yours");
}

// Cliente or Pedido whose echo would cut the reply in the wrong place: refused, with those fields left
// out of the reply. Before, the first request was answered "...a CR LF ESC GLAYPT b...", ending early.
TEST_F(GatewayTest, ClienteOrPedidoThatWouldBreakTheReplyIsRefused) {
  const std::string refusal = "Cliente ou Pedido inv\xE1lido para a resposta";
  const std::string script = "update ITEM set QTD = 1;";
  SocketClient client(m_port);
  // An end marker where the first separator stands: pedido begins with its letters.
  client.Send(MontarQuadro({"a" + std::string(MarcaFim) + "b", "Baixar"}));
  std::string expected = MontarResposta("", "", refusal, "");
  for (const auto& [cliente, pedido] : std::vector<std::pair<std::string, std::string>>{
           {"\n\x1BGLAYPT", "1"}, {"a\x1B", "1"}, {"c", "GLAYPT"}, {"c", "2\x1B"}}) {
    client.Send(Pedir(cliente, pedido, "Deletar") + Pedir(cliente, pedido, "Baixar") +
                Pedir(cliente, pedido, script));
    expected += MontarResposta("", "", refusal, "") + MontarResposta("", "", refusal, script);
  }
  EXPECT_EQ(client.Received(expected.size()), expected);
}

// The requests that came whole before the oversized frame are still answered.
TEST_F(GatewayTest, OversizedFrameClosesOnlyItsConnection) {
  SocketClient other(m_port);
  ASSERT_TRUE(other.Connected());
  SocketClient flooding(m_port);
  flooding.Send(Pedir("c", "0", "Baixar") + std::string(MarcaInicio) + std::string(kMaxFrameBytes, 'x'));
  const std::string answered = MontarResposta("c", "0", "", Path("Consultac0.xml"));
  EXPECT_EQ(flooding.Received(answered.size()), answered);
  EXPECT_TRUE(flooding.Closed());

  other.Send(Pedir("c", "1", "Baixar"));
  const std::string expected = MontarResposta("c", "1", "", Path("Consultac1.xml"));
  EXPECT_EQ(other.Received(expected.size()), expected);
}

// A start on a taken port: EngineStartupTest.
TEST_F(GatewayTest, PortThatCannotBeTakenFailsSetPorta) {
  QTcpServer squatter;
  const int taken = test::FreeTcpPort();
  ASSERT_TRUE(squatter.listen(QHostAddress::AnyIPv4, static_cast<quint16>(taken)));
  try {
    m_engine->SetPorta(taken);
    ADD_FAILURE() << "SetPorta took a port in use";
  } catch (const Error& error) {
    EXPECT_EQ(error.Message(), Expected(EADDRINUSE, "bind"));
  }
  EXPECT_FALSE(m_engine->Soquete().Active());
}

// With a database behind the gateway.
class GatewayWithServerTest : public GatewayTest {
 protected:
  void SetUp() override {
    GatewayTest::SetUp();
    m_engine->SetServidor("ALFA", m_database.Address());
  }

  test::FirebirdTestDatabase m_database = test::FirebirdTestDatabase::WithOrders();
};

TEST_F(GatewayWithServerTest, FailingStatementIsAnsweredWithTheDatabaseText) {
  const std::string failing = "update NOPE set X = 1;";
  std::string databaseText;
  try {
    // As the script hands it over: the line break before it is part of the statement.
    m_database.Execute("\r\n" + failing);
  } catch (const Error& error) {
    databaseText = error.Message();
  }
  ASSERT_NE(databaseText, "");

  m_database.Execute("insert into PEDIDO values (1, 'Ana')");
  const std::string script = "update PEDIDO set CLIENTE = 'Bia';\r\n" + failing + "\r\ndelete from PEDIDO;";
  SocketClient client(m_port);
  client.Send(Pedir("c", "1", script));
  const std::string expected = MontarResposta("c", "1", databaseText, script);
  EXPECT_EQ(client.Received(expected.size()), expected);
  EXPECT_EQ(m_database.Dump("select IDPEDIDO, CLIENTE from PEDIDO"), "1|Bia");
}

TEST_F(GatewayWithServerTest, QueryThenBaixarThenDeletar) {
  m_database.Execute("insert into PEDIDO values (7, 'Ana')");
  const std::string file = Path("Consultaloja342.xml");
  SocketClient client(m_port);
  client.Send(Pedir("loja.3", "42", "select CLIENTE from PEDIDO;") + Pedir("loja.3", "42", "Baixar"));
  const std::string expected = MontarResposta("loja.3", "42", "", "select CLIENTE from PEDIDO;") +
                               MontarResposta("loja.3", "42", "", file);
  EXPECT_EQ(client.Received(expected.size()), expected);
  QFile result(QString::fromLatin1(file.c_str()));
  ASSERT_TRUE(result.open(QIODevice::ReadOnly));
  EXPECT_TRUE(result.readAll().contains("Ana"));
  result.close();

  client.Send(Pedir("loja.3", "42", "Deletar"));
  EXPECT_TRUE(WaitFor([&] { return !FileExists(file); }));
}

// The refusal comes before the script: not even the statements ahead of the query run.
TEST_F(GatewayWithServerTest, ScriptOfAnUnsafeClienteRunsNothing) {
  m_database.Execute("insert into PEDIDO values (1, 'Ana')");
  const std::string script = "delete from PEDIDO;\r\nselect * from PEDIDO;";
  SocketClient client(m_port);
  client.Send(Pedir("../x", "1", script));
  const std::string expected = MontarResposta("../x", "1", Refusal("../x", "1"), script);
  EXPECT_EQ(client.Received(expected.size()), expected);
  EXPECT_EQ(m_database.Count("PEDIDO"), 1);
}

}  // namespace
}  // namespace vespril
