// The listener run out of descriptors and flooded beyond its memory ceilings, in a probe process of its
// own whose limits are lowered (tests/support/ListenerProbe.cpp); the clients here are plain blocking
// sockets with timeouts (Dial).
#include <cerrno>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QProcess>

#include "foundation/Descriptor.h"
#include "protocol/WireProtocol.h"
#include "tests/support/Frames.h"
#include "tests/support/SocketClient.h"
#include "tests/support/Workspace.h"

namespace vespril {
namespace {

using test::Outcome;
using test::Pedir;
using test::Receive;
using test::SendAll;

class Probe {
 public:
  Probe(const QStringList& arguments) {
    m_process.start(VESPRIL_PROBE, arguments);
    m_ready = m_process.waitForReadyRead(10000) && m_process.readLine().trimmed() == "pronto";
  }
  ~Probe() {
    m_process.kill();
    m_process.waitForFinished();
  }
  bool Ready() const { return m_ready; }
  bool Alive() const { return m_process.state() == QProcess::Running; }
  // Its errors so far, one a line.
  std::vector<std::string> Errors() {
    m_process.waitForReadyRead(50);
    std::vector<std::string> errors;
    m_output += m_process.readAllStandardOutput().toStdString();
    for (size_t at = 0, end; (end = m_output.find('\n', at)) != std::string::npos; at = end + 1) {
      errors.push_back(m_output.substr(at, end - at));
    }
    return errors;
  }
  // Processor seconds it has used.
  double CpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(m_process.processId()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14 || i == 15) ticks += std::stol(field);
    }
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }

 private:
  QProcess m_process;
  bool m_ready = false;
  std::string m_output;
};

// The sanitizers' runtimes need what the probe takes away: their shadow memory and allocators count
// against the data limit, and the undefined-behaviour checker opens a pipe to test memory it reads, so
// at the descriptor limit it reports every virtual call as invalid. The plain build runs these tests.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// What the probe answers to "Baixar": its directory is unknown here, so only the head is compared.
bool Baixado(const Descriptor& fd, const std::string& pedido) {
  if (!SendAll(fd, Pedir("c", pedido, "Baixar"))) return false;
  const std::string head = test::SemFim(MontarResposta("c", pedido, "", ""));
  std::string got;
  return Receive(fd, head.size(), &got) == Outcome::Answered && got.substr(0, head.size()) == head;
}

// Out of descriptors, the listener used to retry for ever (a whole processor) or leave newcomers
// waiting unanswered, with a message every second; now each newcomer is closed at once, the operator
// is told once, and clients are accepted again as soon as descriptors are free.
TEST(ListenerLimitsTest, OutOfDescriptorsNewcomersAreClosedAndTheOperatorToldOnce) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers' runtimes need descriptors of their own";
  const int port = test::FreeTcpPort();
  Probe probe({"descritores", QString::number(port), "8"});
  ASSERT_TRUE(probe.Ready());

  std::vector<Descriptor> served;
  int closed = 0;
  const double cpuBefore = probe.CpuSeconds();
  for (int i = 0; i < 20; ++i) {
    Descriptor fd = test::Dial(port);
    ASSERT_TRUE(fd.Valid());
    if (Baixado(fd, std::to_string(i))) {
      served.push_back(std::move(fd));
      continue;
    }
    ASSERT_EQ(Receive(fd, 1, nullptr), Outcome::Closed) << "client " << i << " was left waiting";
    ++closed;
  }
  EXPECT_LT(probe.CpuSeconds() - cpuBefore, 0.5);
  EXPECT_GE(served.size(), 4u);
  EXPECT_LE(served.size(), 10u);
  EXPECT_EQ(closed, 20 - static_cast<int>(served.size()));
  EXPECT_TRUE(probe.Alive());

  // Those served still are; once some leave, newcomers are served again.
  EXPECT_TRUE(Baixado(served.front(), "again"));
  for (int i = 0; i < 2; ++i) served.pop_back();
  ::usleep(300'000);
  EXPECT_TRUE(Baixado(test::Dial(port), "late"));

  const std::vector<std::string> errors = probe.Errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("erro Asynchronous socket error 24: ", 0), 0u) << errors[0];
}

// The probe's ceilings are 1 MiB of unsent replies per connection and 4 MiB of unfinished frames in
// all, with 48 MiB of memory to spare: without them, the client that never reads would take it all.
TEST(ListenerLimitsTest, MemoryCeilingsHoldAndOtherClientsAreServed) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers' runtimes need memory of their own";
  constexpr size_t kMiB = 1u << 20;
  const int port = test::FreeTcpPort();
  Probe probe({"memoria", QString::number(port)});
  ASSERT_TRUE(probe.Ready());

  // A client that sends requests and doesn't read its replies is no longer read.
  const Descriptor greedySocket = test::Dial(port);
  ASSERT_TRUE(greedySocket.Valid());
  const int greedy = greedySocket.Get();
  const std::string script(64 << 10, 'x');
  std::string stream;
  size_t frames = 0;
  size_t sent = 0;
  for (bool blocked = false; !blocked && sent < 96 * kMiB;) {
    if (sent == stream.size()) stream += Pedir("g", std::to_string(frames++), script);
    pollfd wait{greedy, POLLOUT, 0};
    blocked = ::poll(&wait, 1, 500) <= 0;
    const ssize_t n =
        blocked ? 0 : ::send(greedy, stream.data() + sent, stream.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN) break;
    if (n > 0) sent += static_cast<size_t>(n);
  }
  EXPECT_LT(sent, 48 * kMiB);
  ASSERT_TRUE(probe.Alive());
  // The listener goes on answering what it took in until the unsent replies pass their ceiling; only
  // then is the greedy client no longer read, which its send queue shows by standing still. A slow
  // machine gets there later, and the frames below must not meet a greedy client still being read.
  int unsent = -1;
  for (int still = 0, waited = 0; still < 3 && waited < 100; ++waited) {
    int now = 0;
    ::ioctl(greedy, SIOCOUTQ, &now);
    still = now == unsent ? still + 1 : 0;
    unsent = now;
    ::usleep(100'000);
  }

  // Unfinished frames of 700 KiB on ten connections: those past the 4 MiB in all are closed.
  std::vector<Descriptor> holders;
  for (int i = 0; i < 10; ++i) {
    holders.push_back(test::Dial(port));
    SendAll(holders.back(), test::SemFim(Pedir("h", std::to_string(i), std::string(700 << 10, 'y'))));
  }
  ::usleep(300'000);
  int kept = 0;
  for (size_t i = 0; i < holders.size(); ++i) {
    const std::string pedido = std::to_string(i);
    const std::string expected = MontarResposta("h", pedido, "", std::string(700 << 10, 'y'));
    std::string got;
    const bool answered =
        SendAll(holders[i], MarcaFim) && Receive(holders[i], expected.size(), &got) == Outcome::Answered;
    if (answered) {
      EXPECT_TRUE(got == expected) << i;
      ++kept;
    }
    holders[i].Reset();
  }
  EXPECT_GE(kept, 1);
  EXPECT_LE(kept, 5);

  EXPECT_TRUE(Baixado(test::Dial(port), "1"));

  // Reading at last, the greedy client gets the reply of every whole frame it sent, once, in order.
  std::string expected;
  size_t whole = 0;
  for (size_t at = 0; whole < frames; ++whole) {
    at += Pedir("g", std::to_string(whole), script).size();
    if (at > sent) break;
    expected += MontarResposta("g", std::to_string(whole), "", script);
  }
  std::string got;
  EXPECT_EQ(Receive(greedySocket, expected.size(), &got, 5000), Outcome::Answered);
  EXPECT_TRUE(got == expected) << got.size() << " of " << expected.size() << " bytes";
  EXPECT_EQ(Receive(greedySocket, 1, nullptr, 200), Outcome::Silent)
      << ::testing::PrintToString(probe.Errors());
  EXPECT_TRUE(probe.Alive());
}

// Short of memory, requests that can't be taken in or answered are refused (their connections
// closed, or a reply without the echo) and the gateway lives on: five 40 MiB scripts at once under an
// address-space limit 200 MiB above the probe's resting size used to end it with std::bad_alloc.
TEST(ListenerLimitsTest, ShortOfMemoryLargeRequestsAreRefusedAndTheGatewayLivesOn) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers' runtimes need address space of their own";
  const int port = test::FreeTcpPort();
  Probe probe({"espaco", QString::number(port)});
  ASSERT_TRUE(probe.Ready());
  const std::string request =
      Pedir("c", "1", "insert into T (X) values ('" + std::string(40u << 20, 'x') + "');");
  std::vector<Descriptor> clients;
  std::vector<size_t> sent(5, 0);
  for (int i = 0; i < 5; ++i) clients.push_back(test::Dial(port));
  for (bool sending = true; sending;) {
    std::vector<pollfd> waits;
    std::vector<size_t> which;
    for (size_t i = 0; i < clients.size(); ++i) {
      if (sent[i] == request.size()) continue;
      waits.push_back({clients[i].Get(), POLLOUT, 0});
      which.push_back(i);
    }
    sending = !waits.empty() && ::poll(waits.data(), waits.size(), 30000) > 0;
    for (size_t w = 0; sending && w < waits.size(); ++w) {
      if (waits[w].revents == 0) continue;
      size_t& done = sent[which[w]];
      const ssize_t n =
          ::send(waits[w].fd, request.data() + done, request.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) done += static_cast<size_t>(n);
      if (n < 0 && errno != EAGAIN) done = request.size();  // refused: closed by the gateway
    }
  }
  for (size_t i = 0; i < clients.size(); ++i) {
    // A frame the gateway stopped taking in ends here, so that its connection ends too.
    if (sent[i] < request.size()) ::shutdown(clients[i].Get(), SHUT_WR);
  }
  for (Descriptor& fd : clients) {
    std::string got;
    const Outcome outcome = Receive(fd, 1, &got, 30000);
    EXPECT_NE(outcome, Outcome::Silent);
    fd.Reset();
  }
  ASSERT_TRUE(probe.Alive()) << ::testing::PrintToString(probe.Errors());
  EXPECT_TRUE(Baixado(test::Dial(port), "2"));
  EXPECT_TRUE(probe.Alive());
}

}  // namespace
}  // namespace vespril
