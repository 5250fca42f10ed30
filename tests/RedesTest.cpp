// Where the listener listens and whom it takes: the lists of VESPRIL_ESCUTA and VESPRIL_CLIENTES as
// read, and the listener on loopback addresses (127.0.0.2 stands for another local address).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QTest>

#include "engine/Redes.h"
#include "engine/SoqueteServidor.h"
#include "engine/UVESPRIL.h"
#include "foundation/Descriptor.h"
#include "tests/support/ErrorOf.h"
#include "tests/support/FirebirdTestDatabase.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LoopbackGateway.h"
#include "tests/support/ScopedEnv.h"

namespace vespril {
namespace {

using test::ErrorOf;

EnderecoRede Endereco(const std::string& texto, int porta = 0) {
  EnderecoRede endereco = LerEnderecos(texto, "X").at(0);
  endereco.SetPorta(porta);
  return endereco;
}

TEST(RedesTest, ListsAreReadOrRefusedNamingTheirVariable) {
  struct Case {
    const char* value;
    std::string expected;  // the addresses read, or the message
  };
  const Case listen[] = {
      {"127.0.0.1", "127.0.0.1"},
      {" 0.0.0.0 , ::1,fe80::1%lo", "0.0.0.0 ::1 fe80::1%lo"},
      {"localhost", "VESPRIL_ESCUTA: \"localhost\" n\xE3o \xE9 um endere\xE7o IPv4 ou IPv6 (como 127.0.0.1 ou ::1)"},
      {"127.0.0.1,,::1", "VESPRIL_ESCUTA: \"\" n\xE3o \xE9 um endere\xE7o IPv4 ou IPv6 (como 127.0.0.1 ou ::1)"},
      {"127.0.0.1:3211", "VESPRIL_ESCUTA: \"127.0.0.1:3211\" n\xE3o \xE9 um endere\xE7o IPv4 ou IPv6 (como 127.0.0.1 ou ::1)"},
  };
  for (const Case& c : listen) {
    std::string read;
    const std::string error = ErrorOf([&] {
      for (const EnderecoRede& e : LerEnderecos(c.value, "VESPRIL_ESCUTA")) read += (read.empty() ? "" : " ") + e.Texto();
    });
    EXPECT_EQ(error == test::kNoError ? read : error, c.expected) << c.value;
  }
  const char* const kCidr = " n\xE3o \xE9 uma rede CIDR (como 192.168.0.0/24 ou fd00::/8)";
  const Case clients[] = {
      {"10.0.0.0/8, 192.168.1.7 ,fd00::/8", ""},
      {"10.0.0.0/33", std::string("VESPRIL_CLIENTES: \"10.0.0.0/33\"") + kCidr},
      {"::/129", std::string("VESPRIL_CLIENTES: \"::/129\"") + kCidr},
      {"10.0.0.0/", std::string("VESPRIL_CLIENTES: \"10.0.0.0/\"") + kCidr},
      {"10.0.0.0/-1", std::string("VESPRIL_CLIENTES: \"10.0.0.0/-1\"") + kCidr},
      {"10.0.0/8", std::string("VESPRIL_CLIENTES: \"10.0.0/8\"") + kCidr},
  };
  for (const Case& c : clients) {
    const std::string error = ErrorOf([&] { RedesPermitidas::Ler(c.value, "VESPRIL_CLIENTES"); });
    EXPECT_EQ(error, c.expected.empty() ? test::kNoError : c.expected) << c.value;
  }
}

TEST(RedesTest, AClientIsTakenWhenSomeNetworkHoldsIt) {
  struct Case {
    const char* networks;
    const char* client;
    bool taken;
  };
  const Case cases[] = {
      {"10.0.0.0/8", "10.200.3.4", true},
      {"10.0.0.0/8", "11.0.0.1", false},
      {"192.168.1.64/26", "192.168.1.127", true},
      {"192.168.1.64/26", "192.168.1.128", false},
      {"192.168.1.7", "192.168.1.7", true},
      {"192.168.1.7", "192.168.1.8", false},
      {"10.1.2.3/8", "10.9.9.9", true},  // host bits of the network are ignored
      {"0.0.0.0/0", "203.0.113.9", true},
      {"0.0.0.0/0", "2001:db8::1", false},
      {"2001:db8::/32", "2001:db8:ffff::1", true},
      {"2001:db8::/33", "2001:db8:8000::1", false},
      {"127.0.0.0/8", "::ffff:127.0.0.1", true},  // an IPv4 client on an IPv6 socket
      {"::ffff:10.0.0.0/104", "10.3.3.3", true},
      {"::1", "::1", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RedesPermitidas::Ler(c.networks, "X").Permite(Endereco(c.client)), c.taken)
        << c.networks << " " << c.client;
  }
  EXPECT_TRUE(RedesPermitidas().Permite(Endereco("198.51.100.1")));
}

// A client socket from `from` to `to`:port; invalid when the connection is refused.
Descriptor Connect(const std::string& from, const std::string& to, int port) {
  const EnderecoRede local = Endereco(from);
  const EnderecoRede remote = Endereco(to, port);
  Descriptor socket(::socket(remote.Familia(), SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (::bind(socket.Get(), local.Sockaddr(), local.tamanho) != 0 ||
      ::connect(socket.Get(), remote.Sockaddr(), remote.tamanho) != 0) {
    socket.Reset();
  }
  return socket;
}

// Sends `request` and gathers what comes back until the peer closes or 2 s pass; "(open)" is
// appended when the connection is still open then.
std::string Exchange(const Descriptor& socket, const std::string& request) {
  if (::send(socket.Get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    return "(send failed)";
  }
  std::string received;
  bool closed = false;
  (void)QTest::qWaitFor(
      [&] {
        char chunk[4096];
        for (;;) {
          const ssize_t n = ::recv(socket.Get(), chunk, sizeof chunk, MSG_DONTWAIT);
          if (n > 0) {
            received.append(chunk, static_cast<size_t>(n));
            continue;
          }
          closed = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
          return closed || received.find(MarcaFim) != std::string::npos;
        }
      },
      2000);
  return received + (closed ? "" : "(open)");
}

bool HasIpv6Loopback() {
  const Descriptor probe(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const EnderecoRede loopback = Endereco("::1");
  return probe.Valid() && ::bind(probe.Get(), loopback.Sockaddr(), loopback.tamanho) == 0;
}

TEST(RedesTest, TheListenerAnswersOnTheAddressesGivenOnly) {
  struct Case {
    const char* listen;
    std::vector<const char*> answering;
    std::vector<const char*> silent;
  };
  std::vector<Case> cases = {
      {"127.0.0.1", {"127.0.0.1"}, {"127.0.0.2"}},
      {"127.0.0.2, 127.0.0.1", {"127.0.0.1", "127.0.0.2"}, {"127.0.0.3"}},
      {"0.0.0.0", {"127.0.0.1", "127.0.0.2"}, {}},
  };
  if (HasIpv6Loopback()) {
    cases.push_back({"::1", {"::1"}, {"127.0.0.1"}});
    cases.push_back({"0.0.0.0,::", {"::1", "127.0.0.2"}, {}});
  }
  for (const Case& c : cases) {
    SoqueteServidor listener("SoqueteServidorVESPRIL");
    listener.SetEnderecos(LerEnderecos(c.listen, "VESPRIL_ESCUTA"), true);
    listener.SetPort(test::FreeTcpPort());
    listener.OnClientRead = [](Conexao& connection) {
      while (connection.Assembler().Next()) connection.Send(MontarResposta("c", "1", "", ""));
    };
    ASSERT_EQ(ErrorOf([&] { listener.SetActive(true); }), test::kNoError) << c.listen;
    for (const char* address : c.answering) {
      const Descriptor client = Connect(address, address, listener.Port());
      ASSERT_TRUE(client.Valid()) << c.listen << ": " << address;
      EXPECT_EQ(Exchange(client, test::Pedir("c", "1", "Baixar")), MontarResposta("c", "1", "", "") + "(open)")
          << c.listen << ": " << address;
    }
    for (const char* address : c.silent) {
      EXPECT_FALSE(Connect(address, address, listener.Port()).Valid()) << c.listen << ": " << address;
    }
  }
}

TEST(RedesTest, AClientFromElsewhereIsClosedUnreadAndTheLogNamesIt) {
  struct Case {
    const char* clients;
    const char* from;
    bool taken;
  };
  const Case cases[] = {
      {"10.0.0.0/8", "127.0.0.1", false},
      {"127.0.0.2/32", "127.0.0.1", false},
      {"10.0.0.0/8, 127.0.0.2", "127.0.0.2", true},
  };
  for (const Case& c : cases) {
    SoqueteServidor listener("SoqueteServidorVESPRIL");
    listener.SetClientes(RedesPermitidas::Ler(c.clients, "VESPRIL_CLIENTES"));
    listener.SetPort(test::FreeTcpPort());
    int frames = 0;
    std::string log;
    listener.OnEvento = [&](const std::string& evento) { log += evento + "\n"; };
    listener.OnClientRead = [&](Conexao& connection) {
      while (connection.Assembler().Next()) {
        ++frames;
        connection.Send(MontarResposta("c", "1", "", ""));
      }
    };
    listener.SetActive(true);
    const Descriptor client = Connect(c.from, "127.0.0.1", listener.Port());
    ASSERT_TRUE(client.Valid());
    const std::string local = Endereco(c.from).Texto() + ":";
    if (c.taken) {
      EXPECT_EQ(Exchange(client, test::Pedir("c", "1", "Baixar")), MontarResposta("c", "1", "", "") + "(open)");
      EXPECT_EQ(log.find("recusado"), std::string::npos) << log;
    } else {
      EXPECT_EQ(Exchange(client, test::Pedir("c", "1", "Baixar")), "") << c.clients;
      EXPECT_EQ(frames, 0);
      EXPECT_NE(log.find("cliente recusado: " + local), std::string::npos) << log;
    }
  }
}

// The engine reads both variables at start; a value it can't read stops the start-up, naming it.
TEST(RedesTest, TheEngineServesWhereAndWhomTheEnvironmentSays) {
  const test::FirebirdTestDatabase db;
  {
    const test::ScopedEnv listen("VESPRIL_ESCUTA", "127.0.0.1");
    const test::ScopedEnv clients("VESPRIL_CLIENTES", "10.0.0.0/8");
    test::LogCapture log;
    test::LoopbackGateway gateway(db.Address());
    const int port = gateway.engine->Soquete().Port();
    EXPECT_FALSE(Connect("127.0.0.2", "127.0.0.2", port).Valid());
    const Descriptor client = Connect("127.0.0.1", "127.0.0.1", port);
    ASSERT_TRUE(client.Valid());
    EXPECT_EQ(Exchange(client, test::Pedir("c", "1", "Baixar")), "");
    EXPECT_TRUE(log.WaitFor("vespril.listener: ")) << log.Text();
    EXPECT_TRUE(log.WaitFor("cliente recusado: 127.0.0.1:")) << log.Text();
    EXPECT_TRUE(log.WaitFor("porta " + std::to_string(port) + " aberta em 127.0.0.1")) << log.Text();
  }
  struct Case {
    const char* variable;
    const char* value;
    const char* message;
  };
  const Case cases[] = {
      {"VESPRIL_ESCUTA", "127.0.0.1;::1", "VESPRIL_ESCUTA: \"127.0.0.1;::1\""},
      {"VESPRIL_CLIENTES", "rede-da-loja", "VESPRIL_CLIENTES: \"rede-da-loja\""},
  };
  for (const Case& c : cases) {
    const test::ScopedEnv bad(c.variable, c.value);
    EXPECT_EQ(ErrorOf([&] { test::LoopbackGateway gateway(db.Address()); }).rfind(c.message, 0), 0u) << c.value;
  }
}

}  // namespace
}  // namespace vespril
