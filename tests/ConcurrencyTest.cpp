// Clients side by side: one client's long query holds up neither other clients nor the event loop,
// and the orders that clients rely on hold (a connection's own requests, and requests of one result
// file). The engine runs in this process on this thread's event loop, as in the program; the waits
// below spin that loop until a reply or a file appears.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <QFile>
#include <QTest>
#include <QTimer>

#include "execution/ArquivoConsulta.h"
#include "foundation/Text.h"
#include "gateway/UVESPRIL.h"
#include "protocol/WireProtocol.h"
#include "tests/support/FirebirdTestDatabase.h"
#include "tests/support/SocketClient.h"
#include "tests/support/ThreadWatch.h"
#include "tests/support/Workspace.h"

namespace vespril {
namespace {

using test::FirebirdTestDatabase;
using test::Workspace;

constexpr int kEspera = 60000;

// A client connection that gathers the replies it receives, noting for each what `observar` saw then.
class Cliente {
 public:
  explicit Cliente(int port, std::function<std::string()> observar = {})
      : m_socket(port), m_observar(std::move(observar)) {
    m_socket.OnBytes([this](std::string_view bytes) {
      m_replies.Append(bytes);
      while (std::optional<Resposta> reply = m_replies.Next()) {
        m_recebidas.push_back(*reply);
        m_observado.push_back(m_observar ? m_observar() : "");
      }
    });
  }
  void Enviar(const std::vector<Pedido>& pedidos) {
    std::string bytes;
    for (const Pedido& p : pedidos) bytes += MontarPedido(p.cliente, p.pedido, p.comando);
    m_socket.Send(bytes);
  }
  bool Esperar(size_t replies) {
    return QTest::qWaitFor([&] { return m_recebidas.size() >= replies; }, kEspera);
  }
  const std::vector<Resposta>& Recebidas() const { return m_recebidas; }
  const std::vector<std::string>& Observado() const { return m_observado; }

 private:
  test::SocketClient m_socket;
  ReplyAssembler m_replies;
  std::function<std::string()> m_observar;
  std::vector<Resposta> m_recebidas;
  std::vector<std::string> m_observado;
};

std::string Ler(const std::string& path) {
  QFile file(PathToQString(path));
  return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "(no file)";
}

// N holds 250 rows, so that counting its triple product keeps the server busy for seconds.
std::vector<std::string> DdlComTabelaLonga() {
  std::vector<std::string> ddl = FirebirdTestDatabase::OrdersDdl();
  ddl.push_back("create table N (I integer)");
  ddl.push_back(
      "execute block as declare i integer = 0; begin while (i < 250) do begin insert into N values (:i); "
      "i = i + 1; end end");
  return ddl;
}

constexpr char kLonga[] = "select count(*) as TOTAL from N a, N b, N c;";

TEST(ConcurrencyTest, LongQueryHoldsUpNeitherOtherClientsNorItsOwnFilesOrder) {
  FirebirdTestDatabase alfa({.ddl = DdlComTabelaLonga()});
  Workspace workspace;
  const int port = test::FreeTcpPort();
  workspace.WriteSettings(std::to_string(port), "False");
  workspace.WriteServers({{"ALFA", alfa.Address()}});
  workspace.WriteTables({{"PEDIDO", "IDPEDIDO", 0}});
  workspace.WriteMatrix({{"ALFA", "PEDIDO", 0}});
  VESPRIL engine(workspace.ResultDirectory());
  const std::string longo = workspace.ResultDirectory() + "Consultaa1.xml";
  const std::string curto = workspace.ResultDirectory() + "Consultab2.xml";

  // A's long query, with a short one behind it on the same connection.
  Cliente a(port);
  a.Enviar({{"a", "1", kLonga}, {"a", "2", "select count(*) as TOTAL from PEDIDO;"}});
  ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(PathToQString(longo)); }, kEspera));

  // Meanwhile B is answered in full: "Baixar", an INSERT, a query that sees it.
  const std::string insert = "insert into PEDIDO (CLIENTE) values ('B');";
  Cliente b(port);
  b.Enviar({{"b", "1", "Baixar"}, {"b", "2", insert}, {"b", "2", "select CLIENTE from PEDIDO;"}});
  // C asks for A's file: the answer waits for the query that writes it.
  Cliente c(port, [&] { return Ler(longo); });
  c.Enviar({{"c", "1", "Baixar"}, {"a", "1", "Baixar"}});
  ASSERT_TRUE(b.Esperar(3));
  EXPECT_TRUE(a.Recebidas().empty()) << "the long query ended before the others were answered";
  EXPECT_EQ(b.Recebidas()[0], (Resposta{"b", "1", "", workspace.ResultDirectory() + "Consultab1.xml"}));
  EXPECT_EQ(b.Recebidas()[1], (Resposta{"b", "2", "", insert}));
  EXPECT_EQ(b.Recebidas()[2].mensagem, "");
  EXPECT_NE(Ler(curto).find("<CLIENTE>B</CLIENTE>"), std::string::npos) << Ler(curto);
  EXPECT_EQ(alfa.Dump("select IDPEDIDO, CLIENTE from PEDIDO"), "1|B");
  ASSERT_TRUE(c.Esperar(1));
  EXPECT_TRUE(a.Recebidas().empty());

  // A's replies in its order; C's "Baixar" of A's file only once the file was whole.
  ASSERT_TRUE(a.Esperar(2));
  EXPECT_EQ(a.Recebidas()[0], (Resposta{"a", "1", "", kLonga}));
  EXPECT_EQ(a.Recebidas()[1].pedido, "2");
  ASSERT_TRUE(c.Esperar(2));
  EXPECT_EQ(c.Recebidas()[1], (Resposta{"a", "1", "", longo}));
  EXPECT_NE(c.Observado()[1].find("<TOTAL>15625000</TOTAL>"), std::string::npos) << c.Observado()[1];
  EXPECT_NE(Ler(workspace.ResultDirectory() + "Consultaa2.xml").find("<TOTAL>1</TOTAL>"), std::string::npos);
}

// A query that overlaps a broadcast UPDATE reads every server as of one moment: each server, and
// both together, show the rows all before the update or all after it, as one after the other would.
TEST(ConcurrencyTest, QueryOverlappingAWriteSeesEveryServerAsOfOneMoment) {
  std::vector<std::string> ddl = DdlComTabelaLonga();
  ddl.push_back("create table T (A integer)");
  ddl.push_back(
      "execute block as declare i integer = 0; begin while (i < 300) do begin insert into T values (0); "
      "i = i + 1; end end");
  FirebirdTestDatabase alfa({.ddl = ddl});
  FirebirdTestDatabase beta({.ddl = ddl});
  Workspace workspace;
  const int port = test::FreeTcpPort();
  workspace.WriteSettings(std::to_string(port), "False");
  workspace.WriteServers({{"ALFA", alfa.Address()}, {"BETA", beta.Address()}});
  VESPRIL engine(workspace.ResultDirectory());
  const std::string arquivo = workspace.ResultDirectory() + "Consultaa1.xml";

  Cliente a(port);
  a.Enviar({{"a", "1", "select T.A, count(*) as QT from T, N x, N y where y.I < 12 group by T.A;"}});
  ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(PathToQString(arquivo)); }, kEspera));
  Cliente b(port);
  b.Enviar({{"b", "1", "update T set A = A + 1;"}});
  ASSERT_TRUE(b.Esperar(1));
  EXPECT_EQ(b.Recebidas()[0].mensagem, "");
  ASSERT_TRUE(a.Esperar(1));
  EXPECT_EQ(a.Recebidas()[0].mensagem, "");

  const std::string linha =
      "    <registro>\r\n      <A>%</A>\r\n      <QT>900000</QT>\r\n    </registro>\r\n";
  const auto estado = [&](const char* a) { return ReplaceAll(linha, "%", a) + ReplaceAll(linha, "%", a); };
  const std::string cabecalho = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n  <dados>\r\n";
  const std::string lido = Ler(arquivo);
  EXPECT_TRUE(lido == cabecalho + estado("0") + "  </dados>\r\n" ||
              lido == cabecalho + estado("1") + "  </dados>\r\n")
      << lido;
}

// A read starts its snapshots without holding the write lane: a broadcast UPDATE that commits between
// ALFA's start and BETA's goes through at once, and the read, whose starts it spoiled, starts them
// again, so the file still shows both servers as of one moment.
TEST(ConcurrencyTest, WriteCommittingBetweenTheSnapshotStartsOfAReadLeavesItOneMoment) {
  const std::vector<std::string> ddl = {"create table T (A integer)", "insert into T values (0)"};
  FirebirdTestDatabase alfa({.ddl = ddl});
  FirebirdTestDatabase beta({.ddl = ddl});
  Workspace workspace;
  workspace.WriteServers({{"ALFA", alfa.Address()}, {"BETA", beta.Address()}});
  VESPRIL engine(workspace.ResultDirectory());

  std::thread escritor;
  std::atomic<bool> escrito{false};
  bool escritoNaPausa = false;
  std::string falhaEscrita = "(not run)";
  engine.EntreInstantaneos = [&] {
    if (escritor.joinable()) return;
    escritor = std::thread([&] {
      falhaEscrita = engine.ExecutarScript("update T set A = A + 1;", "w", "1");
      escrito = true;
    });
    for (int i = 0; i < 300 && !escrito; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    escritoNaPausa = escrito;
  };
  EXPECT_EQ(engine.ExecutarScript("select A from T;", "r", "1"), "");
  if (escritor.joinable()) escritor.join();
  EXPECT_EQ(falhaEscrita, "");
  EXPECT_TRUE(escritoNaPausa);
  const std::string linha = "    <registro>\r\n      <A>1</A>\r\n    </registro>\r\n";
  EXPECT_EQ(
      Ler(workspace.ResultDirectory() + "Consultar1.xml"),
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n  <dados>\r\n" + linha + linha + "  </dados>\r\n");
}

// While a script runs the event loop stays free; a window operation waits for the running request,
// and a request that arrives meanwhile waits for the operation.
TEST(ConcurrencyTest, WindowOperationWaitsForRunningRequestsAndRequestsWaitForIt) {
  FirebirdTestDatabase alfa({.ddl = DdlComTabelaLonga()});
  Workspace workspace;
  const int port = test::FreeTcpPort();
  workspace.WriteSettings(std::to_string(port), "False");
  workspace.WriteServers({{"ALFA", alfa.Address()}});
  VESPRIL engine(workspace.ResultDirectory());
  const std::string longo = workspace.ResultDirectory() + "Consultaa1.xml";

  Cliente a(port);
  a.Enviar({{"a", "1", kLonga}});
  ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(PathToQString(longo)); }, kEspera));
  bool tick = false;
  QTimer::singleShot(0, [&] { tick = true; });
  ASSERT_TRUE(QTest::qWaitFor([&] { return tick; }, kEspera));
  EXPECT_TRUE(a.Recebidas().empty()) << "the zero-timer waited for the script";

  std::string visto;  // A's file as the operation found it
  bool fim = false;
  engine.Operar(
      [&] {
        visto = Ler(longo);
        engine.SetTabela("ITEM", "IDITEM", 5);
      },
      [&](const std::string& falha) {
        EXPECT_EQ(falha, "");
        fim = true;
      });
  Cliente b(port, [&] { return fim ? "depois" : "antes"; });
  b.Enviar({{"b", "1", "Baixar"}});
  ASSERT_TRUE(b.Esperar(1));
  EXPECT_EQ(b.Observado()[0], "depois");
  EXPECT_NE(visto.find("<TOTAL>15625000</TOTAL>"), std::string::npos) << visto;
  ASSERT_TRUE(a.Esperar(1));
  EXPECT_EQ(a.Recebidas()[0].mensagem, "");
  EXPECT_EQ(engine.GetTabela(), "ITEM,IDITEM,5;");
}

// After start-up the GUI thread leaves every database call and every flushed file to the workers:
// requests of each kind, a window operation and the window's readers make none on it.
TEST(ConcurrencyTest, GuiThreadNeitherCallsADatabaseNorFlushesAFileAfterStartUp) {
  FirebirdTestDatabase alfa = FirebirdTestDatabase::WithOrders();
  Workspace workspace;
  const int port = test::FreeTcpPort();
  workspace.WriteSettings(std::to_string(port), "True");
  workspace.WriteServers({{"ALFA", alfa.Address()}});
  workspace.WriteTables({{"PEDIDO", "IDPEDIDO", 0}, {"ITEM", "IDITEM", 0}});
  workspace.WriteMatrix({{"ALFA", "PEDIDO", 0}, {"ALFA", "ITEM", 0}});
  VESPRIL engine(workspace.ResultDirectory());

  const std::string sep(SeparadorChave);
  test::ThreadWatch watch;
  Cliente a(port);
  a.Enviar({{"a", "1", "insert into PEDIDO (CLIENTE) values ('A');"},
            {"a", "2", "insert into ITEM (QTD) values (1)" + sep + "PEDIDO, IDPEDIDO" + sep + ";"},
            {"a", "3", "select IDPEDIDO from ITEM;"},
            {"a", "4", "update PEDIDO set CLIENTE = 'B';"},
            {"a", "3", "Baixar"},
            {"a", "3", "Deletar"},
            {"a", "5", "Baixar"}});
  ASSERT_TRUE(a.Esperar(6));
  for (const Resposta& reply : a.Recebidas()) EXPECT_EQ(reply.mensagem, "") << reply.retorno;
  bool fim = false;
  engine.Operar(
      [&] {
        engine.SetTabela("NOTA", "IDNOTA", 7);
        engine.SetServidor("ALFA", alfa.Address());
      },
      [&](const std::string& falha) {
        EXPECT_EQ(falha, "");
        fim = true;
      });
  ASSERT_TRUE(QTest::qWaitFor([&] { return fim; }, kEspera));
  EXPECT_EQ(engine.GetTabela(), "ITEM,IDITEM,1;NOTA,IDNOTA,7;PEDIDO,IDPEDIDO,1;");
  EXPECT_EQ(watch.Calls(), std::vector<std::string>{});
  EXPECT_EQ(alfa.Dump("select IDITEM, IDPEDIDO from ITEM"), "1|1");

  // The same script run on this thread is seen, so the watch sees what it should.
  EXPECT_EQ(engine.ExecutarScript("select IDPEDIDO from PEDIDO;", "a", "6"), "");
  EXPECT_NE(watch.Calls(), std::vector<std::string>{});
}

// Read scripts keep their connections for the next one, but nothing open on them: a broadcast DROP of
// the table they read goes through, and a server bound again is read at its new address.
TEST(ConcurrencyTest, ReadConnectionsHoldNothingBetweenScriptsAndFollowTheirServer) {
  FirebirdTestDatabase alfa({.ddl = {"create table X (I integer)", "insert into X values (1)"}});
  FirebirdTestDatabase beta({.ddl = {"create table X (I integer)", "insert into X values (2)"}});
  Workspace workspace;
  workspace.WriteServers({{"ALFA", alfa.Address()}});
  VESPRIL engine(workspace.ResultDirectory());
  const std::string arquivo = workspace.ResultDirectory() + "Consultac1.xml";
  EXPECT_EQ(engine.ExecutarScript("select I from X;", "c", "1"), "");
  EXPECT_NE(Ler(arquivo).find("<I>1</I>"), std::string::npos);
  engine.SetServidor("ALFA", beta.Address());
  EXPECT_EQ(engine.ExecutarScript("select I from X;", "c", "1"), "");
  EXPECT_NE(Ler(arquivo).find("<I>2</I>"), std::string::npos) << Ler(arquivo);
  EXPECT_EQ(engine.ExecutarScript("drop table X;", "c", "1"), "");
  EXPECT_EQ(beta.Dump("select count(*) from RDB$RELATIONS where RDB$RELATION_NAME = 'X'"), "0");
}

}  // namespace
}  // namespace vespril
