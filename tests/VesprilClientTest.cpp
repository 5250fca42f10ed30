// The client library against the gateway running in this process, and against a fake gateway that
// misbehaves. The client blocks, so it runs on a thread of its own while this thread turns the event
// loop that serves it.
#include "client/VesprilClient.h"

#include <future>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QTest>

#include "gateway/UVESPRIL.h"
#include "statements/InsertRewriting.h"
#include "tests/support/FakeGateway.h"
#include "tests/support/FirebirdTestDatabase.h"
#include "tests/support/Workspace.h"

namespace vespril {
namespace {

using namespace std::chrono_literals;

const std::string SEP(SeparadorChave);

std::string Kind(const ClientError& e) {
  static const char* const kNames[] = {"Connect", "Timeout", "Closed", "Mismatch", "Broken"};
  return kNames[static_cast<int>(e.kind())];
}

// Runs `work` on another thread while the event loop turns; its result, or its exception's text.
template <typename Work>
std::string OffThread(Work work) {
  std::future<std::string> done = std::async(std::launch::async, [&] {
    try {
      return work();
    } catch (const ClientError& e) {
      return Kind(e) + ": " + e.what();
    }
  });
  EXPECT_TRUE(QTest::qWaitFor([&] { return done.wait_for(0s) == std::future_status::ready; }, 10000));
  return done.get();
}

std::string Dump(const Resposta& r) {
  return r.cliente + "|" + r.pedido + "|" + r.mensagem + "|" + r.retorno + "\n";
}

TEST(VesprilClientTest, PipelinedRequestsGetTheirRepliesInOrderFromTheGateway) {
  test::Workspace workspace;
  const int port = test::FreeTcpPort();
  workspace.WriteSettings(std::to_string(port));
  VESPRIL engine(workspace.ResultDirectory());

  const std::string got = OffThread([&] {
    VesprilClient gateway("localhost", static_cast<uint16_t>(port), 5s);
    gateway.Send("loja.3", "1", "update ITEM set QTD = 1;");
    gateway.Send("loja.3", "1", "Baixar");
    gateway.Deletar("loja.3", "1");
    gateway.Send("loja.3", "2", "insert into NADA (A) values (1);");
    gateway.Send("loja.3", "3", "Baixar");
    EXPECT_EQ(gateway.Pending(), 4u);
    std::string replies;
    while (gateway.Pending() > 0) replies += Dump(gateway.Receive());
    return replies + Dump(gateway.Baixar("x", "9"));
  });
  const std::string dir = workspace.ResultDirectory();
  EXPECT_EQ(got,
            "loja.3|1||update ITEM set QTD = 1;\n"
            "loja.3|1||" +
                dir +
                "Consultaloja31.xml\n"
                "loja.3|2|Falha na localiza\xE7\xE3o da tabela|insert into NADA (A) values (1);\n"
                "loja.3|3||" +
                dir +
                "Consultaloja33.xml\n"
                "x|9||" +
                dir + "Consultax9.xml\n");
}

// Each case: what the fake gateway answers to Executar("c", "1", script), and what the client makes of it.
TEST(VesprilClientTest, BrokenRepliesAndSilenceAreErrorsThatEndTheConnection) {
  const std::string script = "update T set A = 1;";
  const std::string reply = MontarResposta("c", "1", "", script);
  struct Case {
    const char* what;
    std::string answer;
    bool close;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"reply cut by the gateway closing", reply.substr(0, 20), true,
       "Closed: The gateway at 127.0.0.1:P closed the connection in the middle of the reply to "
       "request 1 of client c"},
      {"closed before any reply", "", true,
       "Closed: The gateway at 127.0.0.1:P closed the connection before replying to request 1 of client c"},
      {"reply to another request", MontarResposta("c", "2", "", script), false,
       "Mismatch: The gateway at 127.0.0.1:P answered request 1 of client c with a reply to request 2 of "
       "client c"},
      {"no reply in time", "", false,
       "Timeout: No answer from the gateway at 127.0.0.1:P within 0.3 s for the reply to request 1 of "
       "client c"},
      // A database text that holds the separator bytes (as an older gateway sent it, unescaped) is
      // still told apart from the echoed script.
      {"message holding a separator", MontarQuadro({"c", "1", "erro\r\n\x1Bquoted", script}), false,
       "c|1|erro\r\n\x1Bquoted|" + script + "\n"},
  };
  for (const Case& c : cases) {
    test::FakeGateway fake;
    fake.Answer = [&](const Pedido&) { return c.answer; };
    fake.CloseAfterAnswer = c.close;
    std::string expected = c.expected;
    if (const size_t at = expected.find("127.0.0.1:P"); at != std::string::npos)
      expected.replace(at, 11, "127.0.0.1:" + std::to_string(fake.Port()));
    std::string afterwards;
    const std::string got = OffThread([&] {
      // Only the silent gateway is given a short time; the others answer at once, however loaded the machine.
      const auto timeout = expected.starts_with("Timeout") ? 300ms : 5000ms;
      VesprilClient gateway("127.0.0.1", static_cast<uint16_t>(fake.Port()), timeout);
      std::string outcome;
      try {
        outcome = Dump(gateway.Executar("c", "1", script));
      } catch (const ClientError&) {
        try {
          gateway.Send("c", "2", script);
        } catch (const ClientError& again) {
          afterwards = Kind(again);
        }
        throw;
      }
      return outcome;
    });
    EXPECT_EQ(got, expected) << c.what;
    EXPECT_EQ(afterwards, got.starts_with("c|") ? "" : "Broken") << c.what;
  }
}

TEST(VesprilClientTest, RefusedConnectionIsAnError) {
  const int port = test::FreeTcpPort();
  EXPECT_EQ(OffThread([&] {
              VesprilClient gateway("127.0.0.1", static_cast<uint16_t>(port), 1s);
              return std::string("connected");
            }),
            "Connect: Cannot connect to 127.0.0.1:" + std::to_string(port) + ": Connection refused");
}

TEST(VesprilClientTest, AnnotationsAreReadBackByTheGatewayAsWritten) {
  const InsertSeparado separado = SepararChaves(AnotarChaves(
      "insert into ITEM (QTD) values (2);\r\n", {{"PEDIDO", "IDPEDIDO"}, {"PRODUTO", "IDPRODUTO"}}));
  EXPECT_EQ(separado.sql, "insert into ITEM (QTD) values (2);");
  EXPECT_EQ(separado.chaves,
            (std::vector<ChaveEstrangeira>{{"PEDIDO", "IDPEDIDO"}, {"PRODUTO", "IDPRODUTO"}}));
  EXPECT_EQ(AnotarChaves("insert into ITEM (QTD) values (2)", {{"PEDIDO", "IDPEDIDO"}}),
            "insert into ITEM (QTD) values (2)" + SEP + "PEDIDO, IDPEDIDO" + SEP + ";");

  const std::vector<std::pair<std::string, std::vector<ChaveEstrangeira>>> refused = {
      {"insert into A (X) values (1); insert into B (Y) values (2);", {{"P", "C"}}},
      {"update ITEM set QTD = 1;", {{"P", "C"}}},
      {"insert into A (X) select X from B;", {{"P", "C"}}},
      {"insert into A (X) values (1);", {{"", "C"}}},
      {"insert into A (X) values (1);", {{"P", "C,D"}}},
      {"insert into A (X) values (1);", {{"P", "C\x1B"}}},
  };
  for (const auto& [insert, chaves] : refused)
    EXPECT_THROW(AnotarChaves(insert, chaves), std::invalid_argument) << insert;
}

}  // namespace
}  // namespace vespril
