// The gateway losing its database server in the middle of a run. The server is reached through a
// loopback proxy whose cut looks to the Firebird client like a stopped server, so the shared server
// itself is never stopped.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <QFile>
#include <QHostAddress>
#include <QTest>

#include "foundation/FbAttachment.h"
#include "foundation/FbStatement.h"
#include "foundation/FbTransaction.h"
#include "foundation/Text.h"
#include "gateway/UVESPRIL.h"
#include "protocol/WireProtocol.h"
#include "servers/Religador.h"
#include "tests/support/ErrorOf.h"
#include "tests/support/FirebirdTestDatabase.h"
#include "tests/support/LoopbackGateway.h"
#include "tests/support/TcpProxy.h"
#include "tests/support/Workspace.h"

namespace vespril {
namespace {

using test::Insert;
using test::Pedir;
using test::SocketClient;

constexpr char kInalcancavel[] =
    "Unable to complete network request to host \"localhost\".\r\nFailed to establish a connection";
constexpr char kConsulta[] = "select CLIENTE from PEDIDO;";

double Segundos(std::chrono::steady_clock::time_point desde) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - desde).count();
}

// An environment variable set while it lives; "" leaves it unset.
class Ambiente {
 public:
  Ambiente(const char* nome, const char* valor) : m_nome(nome) {
    if (*valor != '\0') qputenv(nome, valor);
  }
  ~Ambiente() { qunsetenv(m_nome); }
  Ambiente(const Ambiente&) = delete;
  Ambiente& operator=(const Ambiente&) = delete;

 private:
  const char* m_nome;
};

// The server goes away and comes back while clients keep asking; nobody touches the window. While it
// is away every path of a script fails at once with the client's text ("Baixar" is answered as ever);
// once it is back the write slot and the read connections, all dead, are attached again before the
// next INSERT and query use them.
TEST(ServerLossTest, GatewayRidesOutTheLossAndServesAgainWithNobodyAtTheWindow) {
  VESPRIL_REQUIRE_FB_SERVER();
  const auto db = test::FirebirdTestDatabase::WithOrders(test::FbLocation::Server);
  test::TcpProxy proxy(3050);
  test::LoopbackGateway gateway("localhost/" + std::to_string(proxy.Port()) + ":" + db.Path());
  const std::string baixar =
      MontarResposta("c", "1", "", gateway.workspace.ResultDirectory() + "Consultac1.xml");

  SocketClient client(gateway.port);
  EXPECT_EQ(client.Ask(Pedir("c", "1", Insert("Ana"))), MontarResposta("c", "1", "", Insert("Ana")));
  EXPECT_EQ(client.Ask(Pedir("c", "1", kConsulta)), MontarResposta("c", "1", "", kConsulta));

  proxy.Cut();
  // A query names the server it cannot reach.
  for (const auto& [script, falha] :
       {std::pair{Insert("Bia"), std::string(kInalcancavel)},
        {std::string(kConsulta), "ALFA: " + std::string(kInalcancavel)},
        {std::string("update PEDIDO set CLIENTE = 'Eva';"), std::string(kInalcancavel)}}) {
    const auto inicio = std::chrono::steady_clock::now();
    EXPECT_EQ(client.Ask(Pedir("c", "1", script)), MontarResposta("c", "1", falha, script));
    EXPECT_LT(Segundos(inicio), 5) << script;
    EXPECT_EQ(client.Ask(Pedir("c", "1", "Baixar")), baixar) << script;
  }
  EXPECT_EQ(SocketClient(gateway.port).Ask(Pedir("c", "1", "Baixar")), baixar);

  proxy.Restore();
  EXPECT_EQ(client.Ask(Pedir("c", "1", Insert("Caio"))), MontarResposta("c", "1", "", Insert("Caio")));
  EXPECT_EQ(client.Ask(Pedir("c", "1", kConsulta)), MontarResposta("c", "1", "", kConsulta));
  // The INSERT whose link failed may have reached the server: its key is never handed out again.
  EXPECT_EQ(db.Dump("select IDPEDIDO, CLIENTE from PEDIDO order by IDPEDIDO"), "1|Ana;3|Caio");
  EXPECT_EQ(gateway.workspace.DumpTables(), "PEDIDO,IDPEDIDO,3");
  EXPECT_EQ(gateway.workspace.DumpMatrix(), "ALFA,PEDIDO,2");
}

// ALFA behind the proxy, BETA beside it, both on the loopback server; PEDIDO spread over both, ALFA
// counted as holding `alfa` rows.
struct DoisServidores {
  explicit DoisServidores(test::TcpProxy& proxy, int alfa = 0) {
    workspace.WriteSettings(std::to_string(port), "False");
    workspace.WriteServers({{"ALFA", "localhost/" + std::to_string(proxy.Port()) + ":" + alfaDb.Path()},
                            {"BETA", betaDb.Address()}});
    workspace.WriteTables({{"PEDIDO", "IDPEDIDO", 0}});
    workspace.WriteMatrix({{"ALFA", "PEDIDO", alfa}, {"BETA", "PEDIDO", 0}});
  }
  void Iniciar() { engine = std::make_unique<VESPRIL>(workspace.ResultDirectory()); }
  const test::FirebirdTestDatabase alfaDb = test::FirebirdTestDatabase::WithOrders(test::FbLocation::Server);
  const test::FirebirdTestDatabase betaDb = test::FirebirdTestDatabase::WithOrders(test::FbLocation::Server);
  test::Workspace workspace;
  const int port = test::FreeTcpPort();
  std::unique_ptr<VESPRIL> engine;
};

// A power cut: the gateway comes up before ALFA's machine. It serves what BETA holds, INSERTs go to
// BETA, a query names ALFA; once ALFA is back, both are served with nobody at the window, and no key
// is handed out twice.
TEST(ServerLossTest, ServerAwayAtStartUpIsServedOnceItIsBack) {
  VESPRIL_REQUIRE_FB_SERVER();
  test::TcpProxy proxy(3050);
  DoisServidores gateway(proxy);
  proxy.Cut();
  gateway.Iniciar();
  SocketClient client(gateway.port);
  EXPECT_EQ(client.Ask(Pedir("c", "1", Insert("Ana"))), MontarResposta("c", "1", "", Insert("Ana")));
  EXPECT_EQ(client.Ask(Pedir("c", "1", kConsulta)),
            MontarResposta("c", "1", "ALFA: " + std::string(kInalcancavel), kConsulta));

  proxy.Restore();
  EXPECT_EQ(client.Ask(Pedir("c", "1", kConsulta)), MontarResposta("c", "1", "", kConsulta));
  uint64_t desde = 0;
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        return gateway.engine->Atividade().Instantaneo(desde).servidores[1].estado == EstadoServidor::Ligado;
      },
      10000));
  EXPECT_EQ(client.Ask(Pedir("c", "1", Insert("Bia"))), MontarResposta("c", "1", "", Insert("Bia")));
  EXPECT_EQ(gateway.betaDb.Dump("select IDPEDIDO, CLIENTE from PEDIDO"), "1|Ana");
  EXPECT_EQ(gateway.alfaDb.Dump("select IDPEDIDO, CLIENTE from PEDIDO"), "2|Bia");
  EXPECT_EQ(gateway.workspace.DumpMatrix(), "BETA,PEDIDO,1;ALFA,PEDIDO,1");
}

// ALFA goes silent (its connections open, nothing coming back) under a limit of 2 s. A read waiting
// on it holds up neither an INSERT that BETA takes nor a "Baixar"; once it has hit the limit, the next
// read fails at once, naming ALFA; and the background finds ALFA when it answers again.
TEST(ServerLossTest, SilentServerIsWaitedOnOnceAndHoldsUpNothingElse) {
  VESPRIL_REQUIRE_FB_SERVER();
  const Ambiente limite("VESPRIL_LIMITE", "2");
  constexpr char kSilencio[] =
      "O servidor n\xE3o respondeu em 2 s; a conex\xE3o foi desfeita e ser\xE1 refeita";
  test::TcpProxy proxy(3050);
  DoisServidores gateway(proxy, 100);  // INSERTs go to BETA
  gateway.Iniciar();
  SocketClient client(gateway.port);
  EXPECT_EQ(client.Ask(Pedir("c", "1", kConsulta)), MontarResposta("c", "1", "", kConsulta));

  proxy.Mute();
  SocketClient leitor(gateway.port);
  ASSERT_TRUE(leitor.Connected());
  const auto inicio = std::chrono::steady_clock::now();
  leitor.Send(Pedir("l", "1", kConsulta));
  QTest::qWait(300);  // the read is waiting on ALFA
  for (const std::string& script : {Insert("Ana"), std::string("Baixar")}) {
    const auto pedido = std::chrono::steady_clock::now();
    const std::string resposta = client.Ask(Pedir("c", "2", script));
    EXPECT_EQ(resposta.find("n\xE3o respondeu"), std::string::npos) << resposta;
    EXPECT_LT(Segundos(pedido), 0.5) << script;
  }
  std::string resposta;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return (resposta = leitor.Received()).find(MarcaFim) != std::string::npos; }, 10000));
  // Started again once the INSERT had come in, its snapshots found ALFA already silent.
  EXPECT_EQ(resposta, MontarResposta("l", "1", "ALFA: " + std::string(kSilencio), kConsulta));
  EXPECT_GT(Segundos(inicio), 1.9);

  const auto proxima = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Ask(Pedir("c", "3", kConsulta)),
            MontarResposta("c", "3", "ALFA: " + std::string(kSilencio), kConsulta));
  EXPECT_LT(Segundos(proxima), 0.5);
  EXPECT_EQ(gateway.engine->LeiturasAbertas(1), 0);

  proxy.Cut();
  proxy.Restore();
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return client.Ask(Pedir("c", "4", kConsulta)) == MontarResposta("c", "4", "", kConsulta); },
      20000));
  EXPECT_EQ(gateway.betaDb.Dump("select IDPEDIDO, CLIENTE from PEDIDO"), "1|Ana");
}

// The healer says when a server away since it was bound answers again (so that what waits for that
// server can be finished there), and not before.
TEST(ServerLossTest, HealerTellsWhenAServerAwayIsReachedAgain) {
  VESPRIL_REQUIRE_FB_SERVER();
  const auto db = test::FirebirdTestDatabase::WithOrders(test::FbLocation::Server);
  test::TcpProxy proxy(3050);
  fb::Watchdog vigia(std::chrono::seconds(2), "calado");
  Painel painel;
  const Credenciais credenciais;  // SYSDBA, as the loopback server has it
  Religador religador(credenciais, vigia, painel);
  std::atomic<int> religado{0};
  religador.OnReligado = [&](int n) { religado = n; };
  proxy.Cut();
  religador.Ausente(3, "GAMA", "localhost/" + std::to_string(proxy.Port()) + ":" + db.Path(), "fora", false);
  QTest::qWait(800);  // its first attempt, 0.5 s on, finds it still away
  EXPECT_EQ(religado.load(), 0);
  EXPECT_FALSE(religador.Presentes()[3]);

  proxy.Restore();
  EXPECT_TRUE(QTest::qWaitFor([&] { return religado.load() == 3; }, 10000));
  EXPECT_TRUE(religador.Presentes()[3]);
}

// Busy is not silent: a statement that runs past the limit (1 s) on a server that answers everyone
// else (a selectable procedure that loops for 2.5 s) runs on, up to the statement limit; one whose
// server goes silent meanwhile (the proxy muted) is still given up on, once the server is asked.
TEST(ServerLossTest, StatementLongerThanTheLimitRunsOnWhileItsServerAnswers) {
  VESPRIL_REQUIRE_FB_SERVER();
  const Ambiente limite("VESPRIL_LIMITE", "1");
  test::FirebirdTestDatabase::Options options;
  options.location = test::FbLocation::Server;
  options.ddl = {
      "create procedure LENTO (MS integer) returns (N integer) as declare t timestamp; begin "
      "t = cast('now' as timestamp); "
      "while (datediff(millisecond from t to cast('now' as timestamp)) < :MS) do n = 0; "
      "n = 1; suspend; end"};
  const test::FirebirdTestDatabase db(options);
  test::TcpProxy proxy(3050);
  test::Workspace workspace;
  workspace.WriteServers({{"ALFA", "localhost/" + std::to_string(proxy.Port()) + ":" + db.Path()}});
  const struct {
    const char* instrucao;  // VESPRIL_LIMITE_INSTRUCAO
    bool calar;             // the proxy is muted 0.3 s in
    const char* ms;
    std::string falha;
    double ate;  // seconds it may take at most
  } casos[] = {
      {"", false, "2500", "", 5},
      {"2", false, "2500", "A instru\xE7\xE3o passou de 2 s; a conex\xE3o foi desfeita e ser\xE1 refeita",
       2.5},
      {"3", true, "4000", "O servidor n\xE3o respondeu em 1 s; a conex\xE3o foi desfeita e ser\xE1 refeita",
       3.5},
  };
  for (const auto& caso : casos) {
    const Ambiente instrucao("VESPRIL_LIMITE_INSTRUCAO", caso.instrucao);
    proxy.Cut();
    proxy.Restore();
    VESPRIL engine(workspace.ResultDirectory());
    std::thread calar([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      if (caso.calar) proxy.Mute();
    });
    const auto inicio = std::chrono::steady_clock::now();
    EXPECT_EQ(engine.ExecutarScript("select N from LENTO(" + std::string(caso.ms) + ");", "c", "1"),
              caso.falha)
        << caso.ms;
    EXPECT_GT(Segundos(inicio), 1.9) << caso.ms;
    EXPECT_LT(Segundos(inicio), caso.ate) << caso.ms;
    calar.join();
  }
}

// The link goes down after the server committed an INSERT and before its answer came back: the client
// is told of the failure, and the key, which the server holds, is never handed out again. The commit
// is held at the server by a commit trigger that waits on a row this test keeps locked, so the link
// can be silenced while the commit is under way.
TEST(ServerLossTest, CommitWhoseAnswerIsLostNeverHandsItsKeyOutAgain) {
  VESPRIL_REQUIRE_FB_SERVER();
  test::FirebirdTestDatabase::Options options;
  options.location = test::FbLocation::Server;
  options.ddl = test::FirebirdTestDatabase::OrdersDdl();
  options.ddl.insert(
      options.ddl.end(),
      {
          "create table MARCA (I integer)",
          "create table TRAVA (I integer)",
          "insert into TRAVA values (1)",
          "create trigger PEDIDO_ESPERA for PEDIDO after insert as begin "
          "if (new.CLIENTE = 'Bia') then rdb$set_context('USER_TRANSACTION', 'ESPERAR', '1'); end",
          "create trigger COMMIT_ESPERA on transaction commit as begin "
          "if (rdb$get_context('USER_TRANSACTION', 'ESPERAR') = '1') then begin "
          "in autonomous transaction do insert into MARCA values (1); update TRAVA set I = I; end end",
      });
  const test::FirebirdTestDatabase db(options);
  test::TcpProxy proxy(3050);
  const std::string address = "localhost/" + std::to_string(proxy.Port()) + ":" + db.Path();
  test::LoopbackGateway gateway(address);
  SocketClient client(gateway.port);
  EXPECT_EQ(client.Ask(Pedir("c", "1", Insert("Ana"))), MontarResposta("c", "1", "", Insert("Ana")));

  fb::Attachment bloqueio(db.Address(), test::kFbUser, test::kFbPassword);
  fb::Transaction trava(bloqueio);
  fb::Statement travar(bloqueio);
  travar.Prepare(trava, "update TRAVA set I = I", 3);
  travar.Execute(trava);

  SocketClient bia(gateway.port);
  ASSERT_TRUE(bia.Connected());
  bia.Send(Pedir("c", "2", Insert("Bia")));
  ASSERT_TRUE(QTest::qWaitFor([&] { return db.Count("MARCA") == 1; }, 20000));  // the commit waits
  proxy.Mute();
  trava.Rollback();
  ASSERT_TRUE(QTest::qWaitFor([&] { return db.Count("PEDIDO") == 2; }, 20000));  // committed, unanswered
  proxy.Cut();
  std::string reply;
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return (reply = bia.Received()).find(MarcaFim) != std::string::npos; }, 20000));
  EXPECT_NE(reply, MontarResposta("c", "2", "", Insert("Bia")));

  proxy.Restore();
  EXPECT_EQ(test::ErrorOf([&] { gateway.engine->SetServidor("ALFA", address); }), test::kNoError);
  EXPECT_EQ(client.Ask(Pedir("c", "1", Insert("Caio"))), MontarResposta("c", "1", "", Insert("Caio")));
  EXPECT_EQ(db.Dump("select IDPEDIDO, CLIENTE from PEDIDO order by IDPEDIDO"), "1|Ana;2|Bia;3|Caio");
}

// A group over ALFA (PEDIDO) and BETA (ITEM, behind a proxy), on the loopback server, whose steps the
// test can reach into.
struct GrupoEmDois {
  GrupoEmDois() {
    workspace.WriteServers({{"ALFA", alfa.Address()}, {"BETA", Beta()}});
    workspace.WriteTables({{"PEDIDO", "IDPEDIDO", 0}, {"ITEM", "IDITEM", 0}});
    workspace.WriteMatrix(
        {{"ALFA", "PEDIDO", 0}, {"BETA", "PEDIDO", 9}, {"ALFA", "ITEM", 9}, {"BETA", "ITEM", 0}});
    Iniciar();
  }
  std::string Beta() const { return "localhost/" + std::to_string(proxy.Port()) + ":" + beta.Path(); }
  void Iniciar() { engine = std::make_unique<VESPRIL>(workspace.ResultDirectory()); }
  std::vector<std::string> Rodar() {
    const std::string sep(SeparadorChave);
    const std::string item = "insert into ITEM (QTD) values (7)" + sep + "PEDIDO, IDPEDIDO" + sep + ";";
    const std::vector<Pedido> pedidos = {{"c", "1", Insert("Ana") + item}, {"c", "2", Insert("Bia") + item}};
    return engine->ExecutarGrupo({&pedidos[0], &pedidos[1]});
  }
  // A read of both servers, with no write before it.
  std::string Ler() { return engine->ExecutarScript("select IDPEDIDO from ITEM;", "c", "9"); }

  const test::FirebirdTestDatabase alfa = test::FirebirdTestDatabase::WithOrders(test::FbLocation::Server);
  const test::FirebirdTestDatabase beta = test::FirebirdTestDatabase::WithOrders(test::FbLocation::Server);
  test::TcpProxy proxy{3050};
  test::Workspace workspace;
  std::unique_ptr<VESPRIL> engine;
};

// A prepare whose answer is lost (the link cut once the server begins to answer) leaves a prepared
// transaction that the gateway owns: the group is dropped and each script runs alone (failing at BETA
// while it is away); no read fails on what was left in limbo, which is rolled back, so the rows are
// those of the scripts told done.
TEST(ServerLossTest, PrepareWhoseAnswerIsLostIsRolledBackAndHoldsUpNoRead) {
  VESPRIL_REQUIRE_FB_SERVER();
  GrupoEmDois grupo;
  grupo.engine->OnPassoGrupo = [&grupo](const std::string& passo, int n) {
    if (passo == "preparar" && n == 2) grupo.proxy.CutAfter(1);  // once the server answers
  };
  const std::vector<std::string> mensagens = grupo.Rodar();
  grupo.proxy.Restore();
  // Once BETA is attached again (at once, or after the healer's next turn), reads succeed.
  EXPECT_TRUE(QTest::qWaitFor([&] { return grupo.Ler().empty(); }, 10000)) << grupo.Ler();
  EXPECT_EQ(grupo.alfa.Dump("select CLIENTE from PEDIDO order by 1"), "Ana;Bia");
  // An ITEM for each script told done (on ALFA while BETA was away), none of the group's.
  EXPECT_EQ(grupo.alfa.Count("ITEM") + grupo.beta.Count("ITEM"),
            std::count(mensagens.begin(), mensagens.end(), ""));
}

// A commit lost after the group was decided: every script is told done, and the rows are there for the
// next read, with no write in between; also when the gateway is restarted in between.
TEST(ServerLossTest, CommitLostAfterTheDecisionIsSeenThroughWithoutAWrite) {
  VESPRIL_REQUIRE_FB_SERVER();
  for (const bool reiniciar : {false, true}) {
    SCOPED_TRACE(reiniciar ? "restarted" : "same run");
    GrupoEmDois grupo;
    grupo.engine->OnPassoGrupo = [&grupo](const std::string& passo, int) {
      if (passo == "decidido") grupo.proxy.Cut();
    };
    EXPECT_EQ(grupo.Rodar(), std::vector<std::string>(2));
    grupo.proxy.Restore();
    if (reiniciar) {
      grupo.engine.reset();
      grupo.Iniciar();
    }
    EXPECT_EQ(grupo.Ler(), "");
    EXPECT_EQ(grupo.beta.Dump("select IDITEM, IDPEDIDO from ITEM order by 1"), "1|1;2|2");
    // Seen through: no decision is kept (the restarted run has not written yet).
    EXPECT_EQ(grupo.engine->RegistroDecisoes(), reiniciar ? "limpo" : "sujo");
  }
}

// A group whose rows need no parent on another server commits server by server, with nothing
// prepared and no decision recorded: a commit lost on BETA fails only the script with a row there, and
// its row is neither there nor counted.
TEST(ServerLossTest, GroupCommittedServerByServerFailsOnlyTheScriptsOfTheServerLost) {
  VESPRIL_REQUIRE_FB_SERVER();
  GrupoEmDois grupo;
  grupo.engine->OnPassoGrupo = [&grupo](const std::string& passo, int) {
    if (passo == "decidido") grupo.proxy.Cut();
  };
  const std::vector<Pedido> pedidos = {{"c", "1", Insert("Ana")},
                                       {"c", "2", "insert into ITEM (QTD) values (7);"}};
  const std::vector<std::string> mensagens = grupo.engine->ExecutarGrupo({&pedidos[0], &pedidos[1]});
  grupo.proxy.Restore();
  EXPECT_EQ(mensagens[0], "");
  EXPECT_NE(mensagens[1], "");
  EXPECT_EQ(grupo.engine->RegistroDecisoes(), "sujo");
  EXPECT_EQ(grupo.alfa.Dump("select IDPEDIDO, CLIENTE from PEDIDO"), "1|Ana");
  EXPECT_EQ(grupo.beta.Count("ITEM"), 0);
  EXPECT_EQ(grupo.workspace.DumpMatrix(), "BETA,ITEM,0;ALFA,ITEM,9;ALFA,PEDIDO,1;BETA,PEDIDO,9");
}

// T(I, S) of `linhas` rows, S "linha & I" padded with dots to `largura` bytes; and those rows as the
// result file holds them, from `de` up to `ate`.
std::vector<std::string> Tabela(int linhas, int largura = 16) {
  return {"create table T (I integer, S varchar(2000))",
          "execute block as declare i integer = 0; begin while (i < " + std::to_string(linhas) +
              ") do begin insert into T values (:i, rpad('linha & ' || :i, " + std::to_string(largura) +
              ", '.')); i = i + 1; end end"};
}
std::string Registros(int de, int ate) {
  std::string out;
  for (int i = de; i < ate; ++i) {
    std::string s = "linha & " + std::to_string(i);
    s.resize(16, '.');
    out += "    <registro>\r\n      <I>" + std::to_string(i) + "</I>\r\n      <S>" +
           ReplaceAll(s, "&", "&amp;") + "</S>\r\n    </registro>\r\n";
  }
  return out;
}

// A query reads its servers side by side, yet a server lost in the middle of its rows ends it as
// reading them one after another would: every row of the servers before it, its own rows up to the
// loss, its message, nothing of the servers after it (GAMA, which failed sooner, nor DELTA, which was
// still reading), and its connection dropped.
TEST(ServerLossTest, ServerLostInTheMiddleOfAQueryEndsItAsReadingOneAfterAnotherWould) {
  VESPRIL_REQUIRE_FB_SERVER();
  using test::FirebirdTestDatabase;
  const FirebirdTestDatabase alfa({.ddl = Tabela(20000)});
  const FirebirdTestDatabase beta({.location = test::FbLocation::Server, .ddl = Tabela(5000)});
  const FirebirdTestDatabase delta({.ddl = Tabela(3000, 1500)});  // more than a server may hold ahead
  const FirebirdTestDatabase gama;
  test::TcpProxy proxy(3050);
  test::Workspace workspace;
  workspace.WriteServers({{"ALFA", alfa.Address()},
                          {"BETA", "localhost/" + std::to_string(proxy.Port()) + ":" + beta.Path()},
                          {"DELTA", delta.Address()},
                          {"GAMA", gama.Address()}});
  VESPRIL engine(workspace.ResultDirectory());
  QFile arquivo(QString::fromStdString(workspace.ResultDirectory() + "Consultac1.xml"));

  proxy.CutAfter(64 * 1024);
  EXPECT_EQ(engine.ExecutarScript("select I, S from T;", "c", "1"), "Error reading data from the connection");
  ASSERT_TRUE(arquivo.open(QIODevice::ReadOnly));
  const std::string file = arquivo.readAll().toStdString();
  const std::string alfaInteira =
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n  <dados>\r\n" + Registros(0, 20000);
  ASSERT_EQ(file.substr(0, alfaInteira.size()), alfaInteira);
  const std::string doBeta = file.substr(alfaInteira.size());
  int lidas = 0;
  for (size_t at = 0; (at = doBeta.find("<registro>", at)) != std::string::npos; ++at) ++lidas;
  EXPECT_EQ(doBeta, Registros(0, lidas));
  EXPECT_GT(lidas, 0);
  EXPECT_LT(lidas, 5000);

  proxy.Restore();
  EXPECT_EQ(engine.ExecutarScript("select count(*) as N from RDB$DATABASE;", "c", "2"), "");
}

}  // namespace
}  // namespace vespril
