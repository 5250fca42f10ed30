// Where the listener listens and whom it takes (VESPRIL_ESCUTA, VESPRIL_CLIENTES), on loopback
// addresses: 127.0.0.2 stands for another local address.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QTcpServer>

#include "listener/Redes.h"
#include "listener/SoqueteServidor.h"
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

TEST(RedesTest, AClientIsTakenWhenSomeNetworkHoldsIt) {
  const struct {
    const char* networks;
    const char* client;
    bool taken;
  } cases[] = {
      {"10.0.0.0/8", "11.0.0.1", false},           {"192.168.1.64/26", "192.168.1.127", true},
      {"192.168.1.64/26", "192.168.1.128", false}, {"10.1.2.3/8, 192.168.1.7", "192.168.1.7", true},
      {"0.0.0.0/0", "2001:db8::1", false},         {"2001:db8::/33", "2001:db8:8000::1", false},
      {"127.0.0.0/8", "::ffff:127.0.0.1", true},  // an IPv4 client seen through an IPv6 socket
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RedesPermitidas::Ler(c.networks, "X").Permite(Endereco(c.client)), c.taken)
        << c.networks << " " << c.client;
  }
}

// Whether a client from `from` reaches `to`:port.
bool Connects(const std::string& from, const std::string& to, int port) {
  return test::SocketClient(port, to, from).Connected();
}

// A "Baixar" from `from` to `to`:port, and what comes back until a whole reply, the peer's close, or 2 s.
std::string Baixar(const std::string& from, const std::string& to, int port) {
  test::SocketClient client(port, to, from);
  return client.Connected() ? client.Ask(test::Pedir("c", "1", "Baixar"), 2000) : "(no link)";
}

TEST(RedesTest, TheListenerOpensEveryAddressGivenAndNoOther) {
  struct Case {
    const char* listen;
    std::vector<const char*> answering;
    std::vector<const char*> silent;
  };
  std::vector<Case> cases = {{"127.0.0.2, 127.0.0.1", {"127.0.0.1", "127.0.0.2"}, {"127.0.0.3"}}};
  QTcpServer probe;
  // "::" stands beside "0.0.0.0" on the same port.
  if (probe.listen(QHostAddress::LocalHostIPv6, 0)) cases.push_back({"0.0.0.0,::", {"::1", "127.0.0.2"}, {}});
  for (const Case& c : cases) {
    SoqueteServidor listener("SoqueteServidorVESPRIL");
    listener.SetAddresses(LerEnderecos(c.listen, "VESPRIL_ESCUTA"), true);
    listener.SetPort(test::FreeTcpPort());
    listener.OnClientRead = [](ClientConnection& connection) {
      while (connection.Assembler().Next()) connection.Send(MontarResposta("c", "1", "", ""));
    };
    ASSERT_EQ(ErrorOf([&] { listener.SetActive(true); }), test::kNoError) << c.listen;
    for (const char* address : c.answering) {
      EXPECT_EQ(Baixar(address, address, listener.Port()), MontarResposta("c", "1", "", "")) << address;
    }
    for (const char* address : c.silent) EXPECT_FALSE(Connects(address, address, listener.Port())) << address;
  }
}

TEST(RedesTest, TheEngineListensAndTakesClientsOnlyWhereTheEnvironmentSays) {
  const test::FirebirdTestDatabase db;
  {
    const test::ScopedEnv listen("VESPRIL_ESCUTA", "127.0.0.1"),
        clients("VESPRIL_CLIENTES", "10.0.0.0/8,127.0.0.2");
    test::LogCapture log;
    test::LoopbackGateway gateway(db.Address());
    const int port = gateway.engine->Soquete().Port();
    EXPECT_FALSE(Connects("127.0.0.2", "127.0.0.2", port));
    EXPECT_EQ(Baixar("127.0.0.1", "127.0.0.1", port), "");  // closed before any reply
    EXPECT_TRUE(log.WaitFor("vespril.listener: ")) << log.Text();
    EXPECT_TRUE(log.WaitFor("cliente recusado: 127.0.0.1:")) << log.Text();
    EXPECT_NE(Baixar("127.0.0.2", "127.0.0.1", port).find(MarcaFim), std::string::npos);
  }
  const struct {
    const char* variable;
    const char* value;
    std::string message;
  } cases[] = {
      {"VESPRIL_ESCUTA", "localhost",
       "VESPRIL_ESCUTA: \"localhost\" n\xE3o \xE9 um endere\xE7o IPv4 ou IPv6 (como 127.0.0.1 ou ::1)"},
      {"VESPRIL_ESCUTA", "127.0.0.1,,::1",
       "VESPRIL_ESCUTA: \"\" n\xE3o \xE9 um endere\xE7o IPv4 ou IPv6 (como 127.0.0.1 ou ::1)"},
      {"VESPRIL_CLIENTES", "10.0.0.0/33",
       "VESPRIL_CLIENTES: \"10.0.0.0/33\" n\xE3o \xE9 uma rede CIDR (como 192.168.0.0/24 ou fd00::/8)"},
  };
  for (const auto& c : cases) {
    const test::ScopedEnv bad(c.variable, c.value);
    EXPECT_EQ(ErrorOf([&] { test::LoopbackGateway gateway(db.Address()); }), c.message);
  }
}

}  // namespace
}  // namespace vespril
