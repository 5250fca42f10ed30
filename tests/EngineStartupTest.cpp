// Start-up of the engine: what it builds, in which order it attaches the servers, what it refuses,
// and that it writes nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include <QTest>

#include "execution/ArquivoConsulta.h"
#include "foundation/Error.h"
#include "gateway/UVESPRIL.h"
#include "tests/support/EngineDump.h"
#include "tests/support/FirebirdTestDatabase.h"
#include "tests/support/Workspace.h"

namespace vespril {
namespace {

using test::FirebirdTestDatabase;
using test::Slots;
using test::Workspace;

std::string StartupFailure(const Workspace& workspace) {
  try {
    VESPRIL engine(workspace.ResultDirectory());
  } catch (const Error& e) {
    return e.Message();
  }
  return "(started)";
}

TEST(EngineStartupTest, WithoutConfigurationStartsEmptyWritesNothingAndDoesNotListen) {
  Workspace workspace;
  VESPRIL engine(workspace.ResultDirectory());

  EXPECT_EQ(engine.GetPorta(), 0);
  EXPECT_FALSE(engine.GetTabelaRelembrar());
  EXPECT_EQ(engine.GetServidor(), "");
  EXPECT_EQ(engine.GetTabela(), "");
  EXPECT_EQ(test::Registros(engine), "0,0,0,0");
  EXPECT_FALSE(engine.Soquete().Active());
  EXPECT_EQ(Slots(engine), "");
  EXPECT_EQ(workspace.Files(), "");
}

TEST(EngineStartupTest, ResultFolderComesFromTheEnvironmentWhenItNamesOne) {
  Workspace workspace;
  const std::string cwd = std::filesystem::current_path().native();
  struct Case {
    const char* variable;  // nullptr: unset
    std::string folder;
  };
  const Case cases[] = {
      {nullptr, ProgramDirectory()},
      {"", ProgramDirectory()},
      {"/srv/consultas", "/srv/consultas/"},
      {"/srv/consultas/", "/srv/consultas/"},
      {"consultas", cwd + "/consultas/"},
      {"/srv/caf\xC3\xA9 \xE9", "/srv/caf\xC3\xA9 \xE9/"},  // bytes kept, whatever their encoding
  };
  for (const Case& c : cases) {
    if (c.variable) {
      qputenv("VESPRIL_DIR_CONSULTAS", c.variable);
    } else {
      qunsetenv("VESPRIL_DIR_CONSULTAS");
    }
    EXPECT_EQ(VESPRIL().DiretorioPrograma(), c.folder) << (c.variable ? c.variable : "(unset)");
  }
  qunsetenv("VESPRIL_DIR_CONSULTAS");
}

TEST(EngineStartupTest, ComponentsAreNamedByTheirPlaceInTheArray) {
  Workspace workspace;
  VESPRIL engine(workspace.ResultDirectory());
  std::string names;
  for (int i = 0; i < kComponentes; ++i) names += engine.Componentes(i).Name() + " ";
  EXPECT_EQ(names,
            "SoqueteServidorVESPRIL BaseDados1 BaseDados2 BaseDados3 BaseDados4 BaseDados5 BaseDados6 "
            "BaseDados7 BaseDados8 BaseDados9 BaseDados10 Transacao1 Transacao2 Transacao3 Transacao4 "
            "Transacao5 Transacao6 Transacao7 Transacao8 Transacao9 Transacao10 ConexaoSQL1 ConexaoSQL2 "
            "ConexaoSQL3 ConexaoSQL4 ConexaoSQL5 ConexaoSQL6 ConexaoSQL7 ConexaoSQL8 ConexaoSQL9 "
            "ConexaoSQL10 ");
  // Each slot's objects are wired to one another, and every attachment carries the fixed credentials.
  for (int n = 1; n <= kSlots; ++n) {
    SlotConexao slot = engine.Slot(n);
    EXPECT_EQ(slot.transacao.DefaultDatabase(), &slot.baseDados);
    EXPECT_EQ(slot.conexaoSQL.Transaction(), &slot.transacao);
    EXPECT_EQ(slot.conexaoSQL.Database(), &slot.baseDados);
    EXPECT_EQ(slot.transacao.DefaultAction(), TransactionAction::Commit);
    EXPECT_EQ(slot.baseDados.SQLDialect(), 3);
    EXPECT_EQ(slot.baseDados.Params(), (std::vector<std::string>{"user_name=SYSDBA", "password=quillbark"}));
  }
}

TEST(EngineStartupTest, ServersAreAttachedToTheSlotOfTheirRecordNumber) {
  FirebirdTestDatabase alfa, beta, gama;
  Workspace workspace;
  // Written out of order: the slot is the place in name order.
  workspace.WriteServers({{"GAMA", gama.Address()}, {"alfa", alfa.Address()}, {"BETA", beta.Address()}});
  const std::string before = workspace.Read("Servidor.xml");

  VESPRIL engine(workspace.ResultDirectory());
  EXPECT_EQ(Slots(engine), "1=" + beta.Address() + "*;2=" + gama.Address() + "*;3=" + alfa.Address() + "*;");
  EXPECT_EQ(workspace.Read("Servidor.xml"), before);
  EXPECT_EQ(workspace.Files(), "Servidor.xml");
}

// A server that can't be reached at start-up keeps none of the others from being served: it is away
// (said, and attached again in the background), the listener opens, and its slot stays bound to it.
TEST(EngineStartupTest, ServerThatCannotBeAttachedIsAwayAndTheListenerOpensAnyway) {
  FirebirdTestDatabase alfa, gama;
  Workspace workspace;
  const int port = test::FreeTcpPort();
  workspace.WriteSettings(std::to_string(port));
  const std::string missing = workspace.Path() + "missing.fdb";
  workspace.WriteServers({{"ALFA", alfa.Address()}, {"BETA", missing}, {"GAMA", gama.Address()}});

  VESPRIL engine(workspace.ResultDirectory());
  EXPECT_TRUE(test::Accepts(port));
  EXPECT_EQ(Slots(engine), "1=" + alfa.Address() + "*;2=" + missing + ";3=" + gama.Address() + "*;");
  ASSERT_EQ(engine.FalhasInicio().size(), 1u);
  const std::string& falha = engine.FalhasInicio().front();
  EXPECT_EQ(falha.rfind("BETA: ", 0), 0u) << falha;
  EXPECT_NE(falha.find("missing.fdb"), std::string::npos) << falha;
  EXPECT_EQ(workspace.Files(), "Porta_Relembrar.xml,Servidor.xml");
}

TEST(EngineStartupTest, RefusesServerFilesItCannotServe) {
  Workspace workspace;
  workspace.WriteServers({{"ALFA", ""}});
  EXPECT_EQ(StartupFailure(workspace), "ALFA: Database name is missing");

  // Slots are reached by record number, and a name must locate its own record.
  std::vector<std::pair<std::string, std::string>> eleven;
  for (int i = 0; i < kSlots + 1; ++i) eleven.emplace_back("S" + std::to_string(i), "/nowhere/s.fdb");
  workspace.WriteServers(eleven);
  EXPECT_EQ(StartupFailure(workspace), "O arquivo Servidor.xml tem mais de 10 servidores");

  workspace.WriteServers({{"alfa", "/nowhere/a.fdb"}, {"ALFA", "/nowhere/b.fdb"}});
  EXPECT_EQ(StartupFailure(workspace),
            "O arquivo Servidor.xml tem dois servidores de mesmo nome: ALFA e alfa");
}

TEST(EngineStartupTest, DamagedFileOrPortStopsStartUpWithItsMessage) {
  Workspace workspace;
  workspace.WriteSettings("abc");
  EXPECT_EQ(StartupFailure(workspace), "'abc' is not a valid integer value");
  workspace.WriteSettings("");
  EXPECT_EQ(StartupFailure(workspace), "'' is not a valid integer value");

  workspace.WriteSettings("0");
  QFile(QString::fromStdString(workspace.Path() + "Tabela.xml")).open(QIODevice::WriteOnly);
  const std::string failure = StartupFailure(workspace);
  EXPECT_NE(failure.find("Tabela.xml"), std::string::npos) << failure;
  EXPECT_EQ(workspace.Read("Tabela.xml"), "");
}

TEST(EngineStartupTest, ListensOnTheStoredPortAndReadsTheRecountFlagInAnyCase) {
  Workspace workspace;
  const int port = test::FreeTcpPort();
  workspace.WriteSettings(std::to_string(port), "tRUE");
  VESPRIL engine(workspace.ResultDirectory());
  EXPECT_EQ(engine.GetPorta(), port);
  EXPECT_TRUE(engine.Soquete().Active());
  EXPECT_TRUE(test::Accepts(port));
  EXPECT_TRUE(engine.GetTabelaRelembrar());

  for (const char* valor : {"False", "1", "Yes", "True ", ""}) {
    workspace.WriteSettings("0", valor);
    VESPRIL other(workspace.ResultDirectory());
    EXPECT_FALSE(other.GetTabelaRelembrar()) << valor;
    EXPECT_FALSE(other.Soquete().Active());
  }
}

// The listener closed, the engine running: the operator can choose another port.
TEST(EngineStartupTest, PortAlreadyTakenLeavesTheListenerClosedWithTheSocketError) {
  Workspace workspace;
  const int port = test::FreeTcpPort();
  workspace.WriteSettings(std::to_string(port));
  VESPRIL first(workspace.ResultDirectory());
  VESPRIL second(workspace.ResultDirectory());
  EXPECT_EQ(second.FalhaSoquete(), "Windows socket error: Address already in use (98), on API 'bind'");
  EXPECT_FALSE(second.Soquete().Active());
  EXPECT_EQ(first.FalhaSoquete(), "");
  second.SetPorta(test::FreeTcpPort());
  EXPECT_TRUE(second.Soquete().Active());
  EXPECT_EQ(second.FalhaSoquete(), "");
}

TEST(EngineStartupTest, ServerReachedThroughTheLoopbackServer) {
  VESPRIL_REQUIRE_FB_SERVER();
  auto remote = FirebirdTestDatabase::WithOrders(test::FbLocation::Server);
  Workspace workspace;
  workspace.WriteServers({{"REMOTO", remote.Address()}});
  VESPRIL engine(workspace.ResultDirectory());
  EXPECT_EQ(Slots(engine), "1=" + remote.Address() + "*;");

  workspace.WriteServers({{"PARADO", "localhost/" + std::to_string(test::FreeTcpPort()) + ":/tmp/x.fdb"}});
  VESPRIL parado(workspace.ResultDirectory());
  EXPECT_EQ(parado.FalhasInicio(),
            std::vector<std::string>{"PARADO: Unable to complete network request to host "
                                     "\"localhost\".\r\nFailed to establish a connection"});
}

}  // namespace
}  // namespace vespril
