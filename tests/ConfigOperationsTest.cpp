// The operator's configuration operations on a running engine: what each stores and saves, how the
// slots follow the server table, and what a failing step leaves behind.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include <QFileInfo>
#include <QTcpServer>

#include "foundation/Error.h"
#include "gateway/UVESPRIL.h"
#include "tests/support/EngineDump.h"
#include "tests/support/ErrorOf.h"
#include "tests/support/FirebirdTestDatabase.h"
#include "tests/support/Workspace.h"

namespace vespril {
namespace {

using test::ErrorOf;
using test::FirebirdTestDatabase;
using test::Slots;
using test::Workspace;

class ConfigOperationsTest : public ::testing::Test {
 protected:
  void Start() { engine = std::make_unique<VESPRIL>(workspace.ResultDirectory()); }

  FirebirdTestDatabase alfa, beta, gama;
  Workspace workspace;
  std::unique_ptr<VESPRIL> engine;
};

TEST_F(ConfigOperationsTest, SetPortaStoresSavesAndMovesTheListener) {
  Start();
  const int first = test::FreeTcpPort();
  engine->SetPorta(first);
  EXPECT_EQ(workspace.Read("Porta_Relembrar.xml"),
            "<?xml version=\"1.0\" standalone=\"yes\"?>  <DATAPACKET Version=\"2.0\"><METADATA><FIELDS>"
            "<FIELD attrname=\"Atributo\" fieldtype=\"string\" WIDTH=\"30\"/>"
            "<FIELD attrname=\"Valor\" fieldtype=\"string\" WIDTH=\"30\"/></FIELDS><PARAMS/></METADATA>"
            "<ROWDATA><ROW Atributo=\"Porta\" Valor=\"" +
                std::to_string(first) + "\"/></ROWDATA></DATAPACKET>");
  EXPECT_TRUE(test::Accepts(first));

  const int second = test::FreeTcpPort();
  engine->SetPorta(second);
  EXPECT_EQ(engine->GetPorta(), second);
  EXPECT_TRUE(test::Accepts(second));
  EXPECT_FALSE(test::Accepts(first));

  // Port 0 means "do not listen", as it does at start-up.
  engine->SetPorta(0);
  EXPECT_FALSE(engine->Soquete().Active());
  EXPECT_FALSE(test::Accepts(second));
  EXPECT_EQ(test::Registros(*engine).substr(0, 2), "1,");
}

TEST_F(ConfigOperationsTest, SetPortaOnATakenPortKeepsTheStoredPortAndStaysQuiet) {
  Start();
  QTcpServer squatter;
  ASSERT_TRUE(squatter.listen(QHostAddress::Any, 0));
  const int port = squatter.serverPort();
  EXPECT_EQ(ErrorOf([&] { engine->SetPorta(port); }),
            "Windows socket error: Address already in use (98), on API 'bind'");
  EXPECT_EQ(engine->GetPorta(), port);
  EXPECT_NE(workspace.Read("Porta_Relembrar.xml").find(std::to_string(port)), std::string::npos);
  EXPECT_FALSE(engine->Soquete().Active());
}

TEST_F(ConfigOperationsTest, SetPortaRefusesPortsNoSocketCanTakeBeforeStoringThem) {
  Start();
  for (int port : {-5, 65536, 70000}) {
    EXPECT_EQ(ErrorOf([&] { engine->SetPorta(port); }),
              "Porta inv\xE1lida: " + std::to_string(port) + " (deve estar entre 0 e 65535)");
  }
  EXPECT_EQ(workspace.Files(), "");
  EXPECT_EQ(engine->GetPorta(), 0);
}

TEST_F(ConfigOperationsTest, SetTabelaRelembrarKeepsOneRecord) {
  Start();
  engine->SetTabelaRelembrar(true);
  engine->SetTabelaRelembrar(false);
  engine->SetTabelaRelembrar(true);
  EXPECT_TRUE(engine->GetTabelaRelembrar());
  EXPECT_EQ(test::Registros(*engine).substr(0, 2), "1,");
  engine->SetPorta(0);
  EXPECT_NE(workspace.Read("Porta_Relembrar.xml")
                .find("<ROW Atributo=\"Porta\" Valor=\"0\"/>"
                      "<ROW Atributo=\"TabelaRelembrar\" Valor=\"True\"/>"),
            std::string::npos);
}

TEST_F(ConfigOperationsTest, ServersListInNameOrderAndSlotsFollowTheirRecordNumbers) {
  Start();
  engine->SetServidor("GAMA", gama.Address());
  engine->SetServidor("BETA", beta.Address());
  EXPECT_EQ(Slots(*engine), "1=" + beta.Address() + "*;2=" + gama.Address() + "*;");

  // A name that sorts first moves every other server up one slot.
  engine->SetServidor("ALFA", alfa.Address());
  EXPECT_EQ(engine->GetServidor(),
            "ALFA," + alfa.Address() + ";BETA," + beta.Address() + ";GAMA," + gama.Address() + ";");
  EXPECT_EQ(Slots(*engine), "1=" + alfa.Address() + "*;2=" + beta.Address() + "*;3=" + gama.Address() + "*;");
  EXPECT_EQ(workspace.DumpServers(),
            "ALFA," + alfa.Address() + ";BETA," + beta.Address() + ";GAMA," + gama.Address());

  // The same name in another case changes that record.
  engine->SetServidor("beta", gama.Address());
  EXPECT_EQ(engine->GetServidor(),
            "ALFA," + alfa.Address() + ";GAMA," + gama.Address() + ";beta," + gama.Address() + ";");
  EXPECT_EQ(Slots(*engine), "1=" + alfa.Address() + "*;2=" + gama.Address() + "*;3=" + gama.Address() + "*;");
}

TEST_F(ConfigOperationsTest, EraseServidorRebindsTheRestAndFreesTheLastSlot) {
  Start();
  engine->SetServidor("ALFA", alfa.Address());
  engine->SetServidor("BETA", beta.Address());
  engine->SetServidor("GAMA", gama.Address());
  engine->SetTabela("ITEM", "IDITEM", 0);

  engine->EraseServidor("alfa");
  EXPECT_EQ(Slots(*engine), "1=" + beta.Address() + "*;2=" + gama.Address() + "*;");
  EXPECT_EQ(workspace.DumpServers(), "BETA," + beta.Address() + ";GAMA," + gama.Address());
  EXPECT_EQ(workspace.DumpMatrix(), "BETA,ITEM,0;GAMA,ITEM,0");

  // Erasing a name that isn't stored writes nothing.
  QFile::remove("Servidor.xml");
  QFile::remove("ServidorTabela.xml");
  engine->EraseServidor("DELTA");
  EXPECT_EQ(workspace.Files(), "Tabela.xml");
}

TEST_F(ConfigOperationsTest, ConectarAndDesconectarServidorWorkOnTheNamedServersSlot) {
  workspace.WriteServers({{"ALFA", alfa.Address()}, {"BETA", beta.Address()}});
  Start();
  // A slot left reading (as the recount leaves it), with its transaction open.
  for (int n : {1, 2}) {
    engine->Slot(n).conexaoSQL.SQL() = {"select * from RDB$DATABASE"};
    engine->Slot(n).conexaoSQL.Open();
  }
  EXPECT_TRUE(engine->Slot(1).transacao.InTransaction());

  engine->ConectarServidor("nada");
  EXPECT_TRUE(engine->Slot(1).conexaoSQL.Active());
  engine->ConectarServidor("alfa");
  EXPECT_FALSE(engine->Slot(1).conexaoSQL.Active());
  EXPECT_FALSE(engine->Slot(1).transacao.InTransaction());
  EXPECT_EQ(Slots(*engine), "1=" + alfa.Address() + "*;2=" + beta.Address() + "*;");

  engine->DesconectarServidor("BETA");
  EXPECT_EQ(Slots(*engine), "1=" + alfa.Address() + "*;");
  EXPECT_EQ(engine->ExecutarScript("select * from RDB$DATABASE;", "c", "1"),
            "Cannot perform operation -- DB is not open");
  EXPECT_EQ(engine->ExecutarScript("create table T1 (I integer);", "c", "1"), "Database name is missing");
}

TEST_F(ConfigOperationsTest, EraseServidorRebindsEveryServerPastOneThatCannotBeReached) {
  FirebirdTestDatabase delta;
  Start();
  engine->SetServidor("A", alfa.Address());
  const std::string missing = workspace.Path() + "missing.fdb";
  EXPECT_NE(ErrorOf([&] { engine->SetServidor("B", missing); }), test::kNoError);
  engine->SetServidor("C", gama.Address());
  engine->SetServidor("D", delta.Address());
  const std::string saved = workspace.Read("Servidor.xml");

  EXPECT_NE(ErrorOf([&] { engine->EraseServidor("A"); }).find("missing.fdb"), std::string::npos);
  EXPECT_EQ(Slots(*engine), "1=" + missing + ";2=" + gama.Address() + "*;3=" + delta.Address() + "*;");
  EXPECT_EQ(workspace.Read("Servidor.xml"), saved);
}

TEST_F(ConfigOperationsTest, NamesLongerThanTheirFieldStillNameOneRecord) {
  Start();
  const std::string servidor(40, 'S');
  engine->SetServidor(servidor, alfa.Address());
  engine->SetServidor(servidor, beta.Address());
  EXPECT_EQ(engine->GetServidor(), std::string(30, 'S') + "," + beta.Address() + ";");

  const std::string tabela(40, 'T');
  engine->SetTabela(tabela, "ID", 1);
  engine->SetTabela(tabela, "ID", 2);
  EXPECT_EQ(engine->GetTabela(), std::string(30, 'T') + ",ID,2;");
  EXPECT_EQ(workspace.DumpMatrix(), std::string(30, 'S') + "," + std::string(30, 'T') + ",0");
  engine->EraseTabela(tabela);
  engine->EraseServidor(servidor);
  EXPECT_EQ(engine->GetTabela() + engine->GetServidor(), "");
  EXPECT_EQ(Slots(*engine), "");
}

TEST_F(ConfigOperationsTest, FilesHoldExactlyWhatTheOperationsStored) {
  Start();
  engine->SetServidor("ALFA", alfa.Address());
  engine->SetTabela("ITEM", "IDITEM", -7);
  const std::string head =
      "<?xml version=\"1.0\" standalone=\"yes\"?>  <DATAPACKET Version=\"2.0\"><METADATA><FIELDS>";
  EXPECT_EQ(
      workspace.Read("Servidor.xml"),
      head +
          "<FIELD attrname=\"Nome\" fieldtype=\"string\" WIDTH=\"30\"/>"
          "<FIELD attrname=\"Endereco\" fieldtype=\"string\" WIDTH=\"500\"/></FIELDS><PARAMS/></METADATA>"
          "<ROWDATA><ROW Nome=\"ALFA\" Endereco=\"" +
          alfa.Address() + "\"/></ROWDATA></DATAPACKET>");
  EXPECT_EQ(workspace.Read("Tabela.xml"),
            head +
                "<FIELD attrname=\"Tabela\" fieldtype=\"string\" WIDTH=\"30\"/>"
                "<FIELD attrname=\"Chave\" fieldtype=\"string\" WIDTH=\"30\"/>"
                "<FIELD attrname=\"Gerador\" fieldtype=\"i4\"/></FIELDS><PARAMS/></METADATA>"
                "<ROWDATA><ROW Tabela=\"ITEM\" Chave=\"IDITEM\" Gerador=\"-7\"/></ROWDATA></DATAPACKET>");
  const std::string matrixHead =
      head +
      "<FIELD attrname=\"Servidor\" fieldtype=\"string\" WIDTH=\"30\"/>"
      "<FIELD attrname=\"Tabela\" fieldtype=\"string\" WIDTH=\"30\"/>"
      "<FIELD attrname=\"Registro\" fieldtype=\"i4\"/></FIELDS><PARAMS/></METADATA>";
  EXPECT_EQ(
      workspace.Read("ServidorTabela.xml"),
      matrixHead + "<ROWDATA><ROW Servidor=\"ALFA\" Tabela=\"ITEM\" Registro=\"0\"/></ROWDATA></DATAPACKET>");
  engine->EraseServidor("ALFA");
  EXPECT_EQ(workspace.Read("ServidorTabela.xml"), matrixHead + "<ROWDATA></ROWDATA></DATAPACKET>");
}

TEST_F(ConfigOperationsTest, AnEleventhServerIsRefusedBeforeAnythingChanges) {
  std::vector<std::pair<std::string, std::string>> ten;
  for (int i = 0; i < kSlots; ++i) ten.emplace_back("S" + std::to_string(i), alfa.Address());
  workspace.WriteServers(ten);
  Start();
  QFile::remove("Servidor.xml");
  EXPECT_EQ(ErrorOf([&] { engine->SetServidor("EXTRA", beta.Address()); }),
            "N\xE3o \xE9 poss\xEDvel incluir o servidor EXTRA: o limite \xE9 de 10 servidores");
  EXPECT_EQ(test::Registros(*engine).substr(0, 5), "0,10,");
  EXPECT_EQ(workspace.Files(), "");
}

TEST_F(ConfigOperationsTest, UnreachableServerIsPostedButNotSaved) {
  Start();
  engine->SetServidor("BETA", beta.Address());
  engine->SetTabela("ITEM", "IDITEM", 3);
  const std::string saved = workspace.Read("Servidor.xml");
  const std::string matrix = workspace.Read("ServidorTabela.xml");

  const std::string failure = ErrorOf([&] { engine->SetServidor("ALFA", workspace.Path() + "missing.fdb"); });
  EXPECT_NE(failure.find("missing.fdb"), std::string::npos) << failure;
  EXPECT_EQ(workspace.Read("Servidor.xml"), saved);
  EXPECT_EQ(workspace.Read("ServidorTabela.xml"), matrix);
  // The record stays posted in memory, and BETA's slot still follows BETA's new record number.
  EXPECT_EQ(engine->GetServidor(), "ALFA," + workspace.Path() + "missing.fdb;BETA," + beta.Address() + ";");
  EXPECT_EQ(Slots(*engine), "1=" + workspace.Path() + "missing.fdb;2=" + beta.Address() + "*;");

  EXPECT_EQ(ErrorOf([&] { engine->SetServidor("VAZIO", ""); }), "VAZIO: Database name is missing");
}

TEST_F(ConfigOperationsTest, TablesAreTrimmedListedAndRebuildTheMatrix) {
  Start();
  engine->SetServidor("ALFA", alfa.Address());
  engine->SetServidor("BETA", beta.Address());
  engine->SetTabela("  ITEM\t", " IDITEM ", 6);
  engine->SetTabela("PEDIDO", "IDPEDIDO", 41);
  engine->ComTabelas([](const VESPRIL::Tabelas& t) {
    t.CdsServidorTabela.Locate("Servidor;Tabela", {"ALFA", "ITEM"});
    t.CdsServidorTabela.Edit();
    t.CdsServidorTabela.SetFieldAsInteger("Registro", 9);
    t.CdsServidorTabela.Post();
  });

  // Found by its trimmed name, so the record changes instead of a second one being added.
  engine->SetTabela(" ITEM ", "IDITEM", 7);
  engine->SetTabela("PRODUTO", "IDPRODUTO", 0);
  EXPECT_EQ(engine->GetTabela(), "ITEM,IDITEM,7;PEDIDO,IDPEDIDO,41;PRODUTO,IDPRODUTO,0;");
  EXPECT_EQ(workspace.DumpMatrix(),
            "ALFA,ITEM,0;BETA,ITEM,0;ALFA,PEDIDO,0;BETA,PEDIDO,0;ALFA,PRODUTO,0;BETA,PRODUTO,0");

  engine->EraseTabela(" pedido ");
  EXPECT_EQ(workspace.DumpTables(), "ITEM,IDITEM,7;PRODUTO,IDPRODUTO,0");
  EXPECT_EQ(workspace.DumpMatrix(), "ALFA,ITEM,0;BETA,ITEM,0;ALFA,PRODUTO,0;BETA,PRODUTO,0");

  QFile::remove("Tabela.xml");
  QFile::remove("ServidorTabela.xml");
  engine->EraseTabela("PEDIDO");
  EXPECT_EQ(workspace.Files(), "Servidor.xml");
}

}  // namespace
}  // namespace vespril
