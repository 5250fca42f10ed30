// A gateway killed at random moments while 16 clients insert through it, and started again each time:
// the keys it hands out stay unique across the servers, every ITEM's PEDIDO is held by some server,
// no group's transaction stays in limbo once it has started again, its configuration files always
// load, it goes on inserting, every script it acknowledged is there at the end, and after the last
// start the counts it keeps are the rows the servers hold. Every other run pauses at the steps of each
// group's commit, so that kills land between the prepare and the commit. The child is vespril-insert-loop;
// the databases are on the loopback server, so a new child never waits for the killed one's files.
// VESPRIL_CRASH_SEED repeats a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <QProcess>
#include <QStringList>
#include <QThread>

#include "config/ConfigTables.h"
#include "foundation/Error.h"
#include "tests/support/FirebirdTestDatabase.h"
#include "tests/support/Workspace.h"

namespace vespril {
namespace {

using test::FbLocation;
using test::FirebirdTestDatabase;
using test::Workspace;

constexpr int kKills = 32;
constexpr int kMaxRunMs = 150;

unsigned Seed() {
  if (const char* seed = std::getenv("VESPRIL_CRASH_SEED")) return static_cast<unsigned>(std::stoul(seed));
  return std::random_device{}();
}

// The child started on the workspace; empty when it printed "ready", else why it did not.
std::string Start(QProcess& child, const Workspace& workspace, const char* count,
                  const char* connections = "0") {
  child.start(VESPRIL_INSERT_LOOP, {QString::fromStdString(workspace.Path()),
                                    QString::fromStdString(workspace.ResultDirectory()), count, connections});
  while (!child.canReadLine()) {
    if (!child.waitForReadyRead(10000)) return "not ready: " + child.readAllStandardError().toStdString();
  }
  return child.readLine() == "ready\n" ? "" : "no ready line";
}

std::string LoadFailure() {
  try {
    config::BuildPortaRelembrar();
    config::BuildServidor();
    config::BuildTabela();
    config::BuildServidorTabela();
  } catch (const Error& error) {
    return error.Message();
  }
  return "";
}

std::vector<int> Column(const FirebirdTestDatabase& a, const FirebirdTestDatabase& b,
                        const std::string& query) {
  std::vector<int> values;
  for (const FirebirdTestDatabase* db : {&a, &b}) {
    for (const auto& row : db->Rows(query)) values.push_back(std::stoi(row.at(0)));
  }
  return values;
}

TEST(CrashTest, KilledAtRandomMomentsItNeverHandsAKeyOutTwice) {
  VESPRIL_REQUIRE_FB_SERVER();
  auto alfa = FirebirdTestDatabase::WithOrders(FbLocation::Server);
  auto beta = FirebirdTestDatabase::WithOrders(FbLocation::Server);
  Workspace workspace;
  workspace.WriteSettings(std::to_string(test::FreeTcpPort()), "False");
  workspace.WriteServers({{"ALFA", alfa.Address()}, {"BETA", beta.Address()}});
  workspace.WriteTables({{"PEDIDO", "IDPEDIDO", 0}, {"ITEM", "IDITEM", 0}});
  workspace.WriteMatrix(
      {{"ALFA", "ITEM", 0}, {"BETA", "ITEM", 0}, {"ALFA", "PEDIDO", 0}, {"BETA", "PEDIDO", 0}});

  const unsigned seed = Seed();
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> runMs(0, kMaxRunMs);
  std::cout << "crash test: seed " << seed << ", " << kKills << " kills" << std::endl;

  for (int kill = 1; kill <= kKills; ++kill) {
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (kill % 2 == 0) environment.insert(QStringLiteral("VESPRIL_PAUSA_GRUPO_MS"), QStringLiteral("5"));
    child.setProcessEnvironment(environment);
    // Started again, it left nothing of the killed one's groups in limbo (the child checks it).
    ASSERT_EQ(Start(child, workspace, "0", "16"), "") << "start " << kill;
    QThread::msleep(static_cast<unsigned long>(runMs(random)));
    // A child that stopped by itself could not start or insert after the previous kill.
    ASSERT_EQ(child.state(), QProcess::Running)
        << "kill " << kill << ": " << child.readAllStandardError().toStdString();
    child.kill();
    ASSERT_TRUE(child.waitForFinished(10000));
    ASSERT_EQ(LoadFailure(), "") << "after kill " << kill;
  }

  QProcess last;
  ASSERT_EQ(Start(last, workspace, "1"), "");
  ASSERT_TRUE(last.waitForFinished(10000));
  EXPECT_EQ(last.exitCode(), 0) << last.readAllStandardError().toStdString();

  std::multiset<std::string> clientes;
  for (const FirebirdTestDatabase* db : {&alfa, &beta}) {
    for (const auto& row : db->Rows("select CLIENTE from PEDIDO")) clientes.insert(row.at(0));
  }
  const QStringList confirmados =
      QString::fromStdString(workspace.Read("ACKED")).split('\n', Qt::SkipEmptyParts);
  EXPECT_GT(confirmados.size(), 0);
  for (const QString& cliente : confirmados)
    EXPECT_EQ(clientes.count(cliente.toStdString()), 1u) << cliente.toStdString();
  const auto linhas = [](const FirebirdTestDatabase& db, const char* tabela) {
    return std::to_string(db.Count(tabela));
  };
  QStringList matriz = QString::fromStdString(workspace.DumpMatrix()).split(';');
  matriz.sort();
  EXPECT_EQ(matriz.join(';').toStdString(),
            "ALFA,ITEM," + linhas(alfa, "ITEM") + ";ALFA,PEDIDO," + linhas(alfa, "PEDIDO") + ";BETA,ITEM," +
                linhas(beta, "ITEM") + ";BETA,PEDIDO," + linhas(beta, "PEDIDO"));

  const std::vector<int> pedidos = Column(alfa, beta, "select IDPEDIDO from PEDIDO");
  const std::vector<int> itens = Column(alfa, beta, "select IDITEM from ITEM");
  const std::set<int> chaves(pedidos.begin(), pedidos.end());
  EXPECT_EQ(chaves.size(), pedidos.size()) << "a PEDIDO key stands twice";
  EXPECT_EQ(std::set<int>(itens.begin(), itens.end()).size(), itens.size()) << "an ITEM key stands twice";
  for (int pai : Column(alfa, beta, "select IDPEDIDO from ITEM")) EXPECT_EQ(chaves.count(pai), 1u) << pai;
  // Every key on the servers is at most its generator on disk, so the next key is free.
  PersistedTable tabelas = config::BuildTabela();
  for (const auto& [tabela, chavesDaTabela] : {std::pair{"PEDIDO", pedidos}, std::pair{"ITEM", itens}}) {
    ASSERT_TRUE(tabelas.Locate("Tabela", tabela));
    const int maior =
        chavesDaTabela.empty() ? 0 : *std::max_element(chavesDaTabela.begin(), chavesDaTabela.end());
    EXPECT_GE(tabelas.FieldAsInteger("Gerador"), maior) << tabela;
  }
  // A transaction ended at start-up, after a kill between a group's phases, leaves its row behind.
  const char* resolvidas = "select count(*) from RDB$TRANSACTIONS";
  std::cout << "crash test: " << pedidos.size() << " PEDIDO and " << itens.size() << " ITEM rows; generators "
            << workspace.DumpTables()
            << "; transactions ended at start-up on ALFA and BETA: " << alfa.Dump(resolvidas) << " and "
            << beta.Dump(resolvidas) << std::endl;
}

}  // namespace
}  // namespace vespril
