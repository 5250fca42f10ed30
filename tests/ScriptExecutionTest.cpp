// Scripts run across real databases: routing of INSERTs with their keys, broadcast statements,
// queries merged into the result file, the recount, and every way a script stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include "foundation/Text.h"
#include "gateway/UVESPRIL.h"
#include "protocol/WireProtocol.h"
#include "tests/support/EngineDump.h"
#include "tests/support/FirebirdTestDatabase.h"
#include "tests/support/Workspace.h"

namespace vespril {
namespace {

using test::FirebirdTestDatabase;
using test::Workspace;

const std::string SEP(SeparadorChave);
constexpr char kFalhaChaveEstrangeira[] = "Falha na localiza\xE7\xE3o da chave estrangeira";
constexpr char kFalhaChavePrimaria[] = "Falha na localiza\xE7\xE3o da chave prim\xE1ria";
constexpr char kFalhaRecontagem[] =
    "Falha na atualiza\xE7\xE3o da quantidade de registros da tabela no servidor";
constexpr char kFalhaTabela[] = "Falha na localiza\xE7\xE3o da tabela";
constexpr char kFalhaServidor[] = "Falha na localiza\xE7\xE3o do servidor";

// A configured name of the full 30 characters of its field.
constexpr char kLonga[] = "TABELA_DE_VENDAS_POR_LOJA_2024";

constexpr char kItens[] = "select IDITEM, IDPEDIDO, QTD, PRECO from ITEM order by IDITEM";

class ScriptExecutionTest : public ::testing::Test {
 protected:
  // Two servers holding the same tables: ALFA is slot 1, BETA slot 2.
  void Configure(int geradorPedido, int geradorItem,
                 const std::vector<std::tuple<std::string, std::string, int>>& matrix) {
    workspace.WriteServers({{"BETA", beta.Address()}, {"ALFA", alfa.Address()}});
    workspace.WriteTables({{"PEDIDO", "IDPEDIDO", geradorPedido}, {"ITEM", "IDITEM", geradorItem}});
    workspace.WriteMatrix(matrix);
  }
  void Start() { engine = std::make_unique<VESPRIL>(workspace.ResultDirectory()); }
  std::string Run(const std::string& script, const std::string& cliente = "loja",
                  const std::string& pedido = "1") {
    return engine->ExecutarScript(script, cliente, pedido);
  }
  std::string ResultFile(const std::string& name = "Consultaloja1.xml") const {
    QFile file(QString::fromStdString(workspace.ResultDirectory() + name));
    if (!file.open(QIODevice::ReadOnly)) return "(no file)";
    return file.readAll().toStdString();
  }
  // Everything a failed statement could have changed, in one text.
  std::string State() const {
    return alfa.Dump(kItens) + " / " + beta.Dump(kItens) + " / " + workspace.DumpTables() + " / " +
           workspace.DumpMatrix() + " / " + engine->GetTabela();
  }

  FirebirdTestDatabase alfa = FirebirdTestDatabase::WithOrders();
  FirebirdTestDatabase beta = FirebirdTestDatabase::WithOrders();
  Workspace workspace;
  std::unique_ptr<VESPRIL> engine;
};

std::string Registro(const std::vector<std::pair<std::string, std::string>>& columns) {
  std::string out = "    <registro>\r\n";
  for (const auto& [name, value] : columns) out += "      <" + name + ">" + value + "</" + name + ">\r\n";
  return out + "    </registro>\r\n";
}

const std::string kCabecalho = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n  <dados>\r\n";
const std::string kRodape = "  </dados>\r\n";

TEST_F(ScriptExecutionTest, InsertGoesToTheLeastFilledServerWithItsKeysAndTheQueryGathersBoth) {
  Configure(41, 6, {{"ALFA", "ITEM", 3}, {"BETA", "ITEM", 2}, {"ALFA", "PEDIDO", 10}, {"BETA", "PEDIDO", 9}});
  alfa.Execute("insert into ITEM values (1, 40, 5, 1)");
  Start();

  EXPECT_EQ(Run("insert into ITEM (QTD, PRECO) values (2, 10)" + SEP + "PEDIDO, IDPEDIDO" + SEP +
                    ";\r\nselect IDITEM, IDPEDIDO, QTD, PRECO from ITEM;",
                "loja.3", "42"),
            "");

  EXPECT_EQ(alfa.Dump(kItens), "1|40|5|1.00");
  EXPECT_EQ(beta.Dump(kItens), "7|41|2|10.00");
  EXPECT_EQ(workspace.DumpMatrix(), "ALFA,ITEM,3;BETA,ITEM,3;BETA,PEDIDO,9;ALFA,PEDIDO,10");
  EXPECT_EQ(workspace.DumpTables(), "ITEM,IDITEM,7;PEDIDO,IDPEDIDO,41");
  EXPECT_EQ(ResultFile("Consultaloja342.xml"),
            kCabecalho + Registro({{"IDITEM", "1"}, {"IDPEDIDO", "40"}, {"QTD", "5"}, {"PRECO", "1.00"}}) +
                Registro({{"IDITEM", "7"}, {"IDPEDIDO", "41"}, {"QTD", "2"}, {"PRECO", "10.00"}}) + kRodape);
}

TEST_F(ScriptExecutionTest, EqualCountsTakeTurnsAndAParentGivesItsChildrenItsKey) {
  Configure(0, 0, {{"ALFA", "ITEM", 0}, {"BETA", "ITEM", 0}, {"ALFA", "PEDIDO", 0}, {"BETA", "PEDIDO", 0}});
  Start();
  const std::string item = SEP + "PEDIDO, IDPEDIDO" + SEP + ";\r\n";
  EXPECT_EQ(Run("insert into PEDIDO (CLIENTE) values ('Ana');\r\n"
                "insert into ITEM (QTD) values (1)" +
                item + "insert into ITEM (QTD) values (2)" + item +
                "insert into PEDIDO (CLIENTE) values ('Bia');\r\n"
                "insert into ITEM (QTD) values (3)" +
                item),
            "");

  EXPECT_EQ(alfa.Dump("select * from PEDIDO"), "1|Ana");
  EXPECT_EQ(beta.Dump("select * from PEDIDO"), "2|Bia");
  EXPECT_EQ(alfa.Dump(kItens), "1|1|1|;3|2|3|");
  EXPECT_EQ(beta.Dump(kItens), "2|1|2|");
  EXPECT_EQ(workspace.DumpMatrix(), "BETA,ITEM,1;ALFA,ITEM,2;ALFA,PEDIDO,1;BETA,PEDIDO,1");
  EXPECT_EQ(engine->GetTabela(), "ITEM,IDITEM,3;PEDIDO,IDPEDIDO,2;");
}

TEST_F(ScriptExecutionTest, RecountTakesTheServersCountsAndRaisesTheGenerator) {
  Configure(0, 4, {{"ALFA", "ITEM", 0}, {"BETA", "ITEM", 5}});
  workspace.WriteSettings(std::nullopt, "True");
  for (int id : {1, 2, 3}) alfa.Execute("insert into ITEM (IDITEM) values (" + std::to_string(id) + ")");
  beta.Execute("insert into ITEM (IDITEM) values (10)");
  Start();

  EXPECT_EQ(Run("insert into ITEM (QTD) values (9);"), "");
  EXPECT_EQ(beta.Dump("select IDITEM, QTD from ITEM order by 1"), "10|;11|9");
  EXPECT_EQ(workspace.DumpMatrix(), "BETA,ITEM,2;ALFA,ITEM,3");
  EXPECT_EQ(workspace.DumpTables(), "ITEM,IDITEM,11;PEDIDO,IDPEDIDO,0");
}

TEST_F(ScriptExecutionTest, RecountOfEmptyTablesKeepsTheGenerator) {
  Configure(0, 5, {{"ALFA", "ITEM", 7}, {"BETA", "ITEM", 3}});
  workspace.WriteSettings(std::nullopt, "true");
  Start();
  EXPECT_EQ(Run("insert into ITEM (QTD) values (1);"), "");
  EXPECT_EQ(alfa.Count("ITEM") + beta.Count("ITEM"), 1);
  EXPECT_EQ(alfa.Dump("select IDITEM from ITEM") + beta.Dump("select IDITEM from ITEM"), "6");
  EXPECT_EQ(engine->GetTabela(), "ITEM,IDITEM,6;PEDIDO,IDPEDIDO,0;");
}

TEST_F(ScriptExecutionTest, InsertPathRefusalsChangeNothing) {
  Configure(0, 6, {{"ALFA", "ITEM", 1}, {"BETA", "ITEM", 0}, {"GAMA", "PEDIDO", 0}, {"ALFA", kLonga, 0}});
  workspace.WriteTables({{"PEDIDO", "IDPEDIDO", 0}, {"ITEM", "IDITEM", 6}, {kLonga, "ID", 3}});
  Start();
  const std::string before = State();
  struct Case {
    std::string script;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {"insert into ITEM (QTD) values (1)" + SEP + "NADA, IDPEDIDO" + SEP + ";", kFalhaChaveEstrangeira},
           {"insert into ITEM (QTD) values (1)" + SEP + ";", kFalhaChaveEstrangeira},
           {"insert into PRODUTO (QTD) values (1);", kFalhaTabela},
           {"INSERT INTO ITEM (QTD) values (1);", kFalhaTabela},
           {"insert into ITEM(QTD) values (1);", kFalhaTabela},
           {"insert into ITEM\r\n(QTD) values (1);", kFalhaTabela},
           // Names are matched whole: a longer name is not the configured one it begins with.
           {"insert into TABELA_DE_VENDAS_POR_LOJA_2024X (Q) values (1);", kFalhaTabela},
           {"insert into ITEM (QTD) values (1)" + SEP + "TABELA_DE_VENDAS_POR_LOJA_2024X, IDPEDIDO" + SEP +
                ";",
            kFalhaChaveEstrangeira},
           // The matrix names a server that is not configured.
           {"insert into PEDIDO (CLIENTE) values ('x');", kFalhaServidor},
       }) {
    EXPECT_EQ(Run(c.script + "\r\ndelete from ITEM;"), c.message) << c.script;
    EXPECT_EQ(State(), before) << c.script;
  }
}

TEST_F(ScriptExecutionTest, RecountRefusalsNameWhatIsMissingAndSaveNothing) {
  Configure(0, 6, {{"ALFA", "ITEM", 9}});
  workspace.WriteTables({{"PEDIDO", "IDPEDIDO", 0}, {"ITEM", "IDITEM", 6}, {kLonga, "ID", 3}});
  workspace.WriteSettings(std::nullopt, "True");
  alfa.Execute("insert into ITEM (IDITEM) values (1)");
  alfa.Execute("insert into ITEM (IDITEM) values (30)");
  Start();
  EXPECT_EQ(Run("insert into PRODUTO (X) values (1);"), kFalhaChavePrimaria);
  EXPECT_EQ(Run("INSERT INTO ITEM (QTD) values (1);"), kFalhaChavePrimaria);
  EXPECT_EQ(Run("insert into TABELA_DE_VENDAS_POR_LOJA_2024X (Q) values (1);"), kFalhaChavePrimaria);

  // ALFA was recounted before BETA's matrix row turned out to be missing: posted, not saved.
  EXPECT_EQ(Run("insert into ITEM (QTD) values (1);"), kFalhaRecontagem);
  EXPECT_EQ(engine->GetTabela(), "ITEM,IDITEM,30;PEDIDO,IDPEDIDO,0;" + std::string(kLonga) + ",ID,3;");
  EXPECT_EQ(test::Matriz(*engine).substr(0, 11), "ALFA,ITEM,2");
  EXPECT_EQ(workspace.DumpMatrix(), "ALFA,ITEM,9");
  EXPECT_EQ(workspace.DumpTables(), "ITEM,IDITEM,6;PEDIDO,IDPEDIDO,0;" + std::string(kLonga) + ",ID,3");
  EXPECT_EQ(alfa.Count("ITEM") + beta.Count("ITEM"), 2);
}

TEST_F(ScriptExecutionTest, AnEmptyNameNamesNoTableEvenWhenOneIsStoredEmpty) {
  Configure(0, 0, {{"ALFA", "ITEM", 0}, {"BETA", "ITEM", 1}});
  Start();
  engine->SetTabela("", "X", 5);
  EXPECT_EQ(Run("insert into ITEM (QTD) values (1)" + SEP + ";"), kFalhaChaveEstrangeira);
  EXPECT_EQ(Run("insert into ITEM;"), kFalhaTabela);
  EXPECT_EQ(alfa.Count("ITEM") + beta.Count("ITEM"), 0);
}

TEST_F(ScriptExecutionTest, InsertRejectedByTheDatabaseRaisesNoCounter) {
  Configure(0, 6, {{"ALFA", "ITEM", 1}, {"BETA", "ITEM", 0}});
  beta.Execute("insert into ITEM (IDITEM) values (7)");
  Start();
  const std::string files = workspace.Read("Tabela.xml") + workspace.Read("ServidorTabela.xml");
  const std::string message = Run("insert into ITEM (QTD) values (1);");
  EXPECT_NE(message.find("violation of PRIMARY or UNIQUE KEY constraint"), std::string::npos) << message;
  EXPECT_EQ(engine->GetTabela(), "ITEM,IDITEM,6;PEDIDO,IDPEDIDO,0;");
  EXPECT_EQ(workspace.Read("Tabela.xml") + workspace.Read("ServidorTabela.xml"), files);
}

// The server reads the statement with its keys put in; the position it reports is where the client
// typed the mistake, on the statement's own lines (the text after the previous ";" counts).
TEST_F(ScriptExecutionTest, SyntaxErrorPositionOfAnInsertIsInTheClientsText) {
  Configure(4, 6, {{"ALFA", "ITEM", 1}, {"BETA", "ITEM", 0}, {"ALFA", "PEDIDO", 0}, {"BETA", "PEDIDO", 0}});
  Start();
  const struct {
    std::string script;
    std::string position;
  } cases[] = {
      {"insert into ITEM (QTD, PRECO) valeus (2, 10);", "line 1, column 31"},
      {"insert into ITEM (QTD, PRECO) values (2, 10 10)" + SEP + "PEDIDO, IDPEDIDO" + SEP + ";",
       "line 1, column 45"},
      {"insert into PEDIDO (CLIENTE) values ('a');\r\ninsert into ITEM (QTD)\r\n valeus (2);",
       "line 3, column 2"},
  };
  for (const auto& c : cases) {
    const std::string message = Run(c.script);
    EXPECT_NE(message.find("Token unknown - " + c.position + "\r\n"), std::string::npos) << message;
  }
}

// A committed row is reported done even when its count can't be saved: the count stays right in
// memory, the operator is told once, and the next write saves it.
TEST_F(ScriptExecutionTest, CountThatCannotBeSavedLeavesTheRowsDoneAndIsSavedLater) {
  Configure(0, 6, {{"ALFA", "ITEM", 0}, {"BETA", "ITEM", 0}});
  Start();
  std::vector<std::string> avisos;
  engine->OnAviso = [&](const std::string& texto) { avisos.push_back(texto); };
  QFile::remove("ServidorTabela.xml");
  QDir().mkdir("ServidorTabela.xml");

  EXPECT_EQ(Run("insert into ITEM (QTD) values (1);"), "");
  EXPECT_EQ(Run("insert into ITEM (QTD) values (2);"), "");
  EXPECT_EQ(alfa.Dump(kItens), "7||1|");
  EXPECT_EQ(beta.Dump(kItens), "8||2|");
  EXPECT_EQ(workspace.DumpTables(), "ITEM,IDITEM,8;PEDIDO,IDPEDIDO,0");
  QCoreApplication::processEvents();
  EXPECT_EQ(avisos, std::vector<std::string>{"A contagem de registros n\xE3o p\xF4"
                                             "de ser salva: Cannot create file ServidorTabela.xml"});

  QDir().rmdir("ServidorTabela.xml");
  EXPECT_EQ(Run("update ITEM set QTD = QTD where 1 = 0;"), "");
  EXPECT_EQ(workspace.DumpMatrix(), "ALFA,ITEM,1;BETA,ITEM,1");
}

TEST_F(ScriptExecutionTest, GeneratorThatCannotBeSavedStopsTheInsertBeforeItsRow) {
  Configure(0, 6, {{"ALFA", "ITEM", 0}, {"BETA", "ITEM", 0}});
  Start();
  QFile::remove("Tabela.xml");
  QDir().mkdir("Tabela.xml");

  EXPECT_EQ(Run("insert into ITEM (QTD) values (1);"), "Cannot create file Tabela.xml");
  EXPECT_EQ(alfa.Dump(kItens) + "/" + beta.Dump(kItens) + "/" + engine->GetTabela(),
            "//ITEM,IDITEM,6;PEDIDO,IDPEDIDO,0;");
  QDir().rmdir("Tabela.xml");
  EXPECT_EQ(Run("insert into ITEM (QTD) values (2);"), "");
  EXPECT_EQ(alfa.Dump(kItens), "7||2|");
  EXPECT_EQ(workspace.DumpTables() + " / " + workspace.DumpMatrix(),
            "ITEM,IDITEM,7;PEDIDO,IDPEDIDO,0 / BETA,ITEM,0;ALFA,ITEM,1");
}

// The record's highest sequence: how many times it was flushed.
uint64_t Gravacoes(const std::string& registro) {
  QFile file(QString::fromStdString(registro));
  if (!file.open(QIODevice::ReadOnly)) return 0;
  const QByteArray bytes = file.readAll();
  uint64_t maior = 0;
  for (const qsizetype onde : {qsizetype{0}, bytes.size() / 2}) {
    uint64_t sequencia = 0;
    if (onde + 8 <= bytes.size()) std::memcpy(&sequencia, bytes.constData() + onde, 8);
    maior = std::max(maior, sequencia);
  }
  return maior;
}

void Escrever(const std::string& caminho, const std::string& bytes) {
  QFile file(QString::fromStdString(caminho));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

// Keys come from blocks recorded once: the INSERTs inside a block flush nothing of the gateway's own,
// and a start after a crash takes each generator from its block's end, whatever state the crash left
// the bookkeeping files in (a torn or missing one is made again from the record).
TEST(ScriptExecutionCrashTest, AStartAfterACrashHandsOutNoKeyTwiceWhateverTheFilesSay) {
  const std::string pedido = "insert into PEDIDO (CLIENTE) values ('a');";
  const struct {
    const char* disco;
    std::vector<std::pair<const char*, const char*>> arquivos;  // name, bytes (nullptr: gone)
  } casos[] = {
      {"as the run left them", {}},
      {"as they stood before the run", {{"Tabela.xml", ""}, {"ServidorTabela.xml", ""}}},
      {"torn", {{"Tabela.xml", "<?xml"}, {"ServidorTabela.xml", "<?xml"}}},
      {"gone", {{"Tabela.xml", nullptr}, {"ServidorTabela.xml", nullptr}}},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.disco);
    FirebirdTestDatabase alfa = FirebirdTestDatabase::WithOrders();
    FirebirdTestDatabase beta = FirebirdTestDatabase::WithOrders();
    Workspace workspace;
    workspace.WriteServers({{"ALFA", alfa.Address()}, {"BETA", beta.Address()}});
    workspace.WriteTables({{"PEDIDO", "IDPEDIDO", 0}, {"ITEM", "IDITEM", 0}});
    workspace.WriteMatrix(
        {{"ALFA", "PEDIDO", 0}, {"BETA", "PEDIDO", 0}, {"ALFA", "ITEM", 0}, {"BETA", "ITEM", 0}});
    const std::map<std::string, std::string> antes = {
        {"Tabela.xml", workspace.Read("Tabela.xml")},
        {"ServidorTabela.xml", workspace.Read("ServidorTabela.xml")}};
    std::map<std::string, std::string> disco;
    {
      VESPRIL engine(workspace.ResultDirectory());
      for (int i = 0; i < 3; ++i) ASSERT_EQ(engine.ExecutarScript(pedido, "loja", "1"), "");
      // Key 3 was handed out, even if no server holds it now.
      ASSERT_EQ(engine.ExecutarScript("delete from PEDIDO where IDPEDIDO = 3;", "loja", "1"), "");
      // The run said it writes, then took PEDIDO's first block: nothing more.
      EXPECT_EQ(Gravacoes(workspace.Path() + "GruposConfirmados.dat"), 2u);
      for (const char* nome : {"GruposConfirmados.dat", "Tabela.xml", "ServidorTabela.xml"}) {
        disco[nome] = workspace.Read(nome);
      }
    }
    for (const auto& [nome, bytes] : disco) Escrever(workspace.Path() + nome, bytes);
    for (const auto& [nome, bytes] : caso.arquivos) {
      if (bytes == nullptr) {
        QFile::remove(QString::fromStdString(workspace.Path() + nome));
      } else {
        Escrever(workspace.Path() + nome, *bytes == '\0' ? antes.at(nome) : bytes);
      }
    }

    VESPRIL engine(workspace.ResultDirectory());
    EXPECT_EQ(engine.ExecutarScript(pedido, "loja", "2"), "");
    EXPECT_EQ(engine.GetTabela(), "ITEM,IDITEM,0;PEDIDO,IDPEDIDO,65;");
    std::vector<int> chaves;
    for (const FirebirdTestDatabase* base : {&alfa, &beta}) {
      for (const QString& chave :
           QString::fromStdString(base->Dump("select IDPEDIDO from PEDIDO")).split(';')) {
        chaves.push_back(chave.toInt());
      }
    }
    std::sort(chaves.begin(), chaves.end());
    EXPECT_EQ(chaves, (std::vector<int>{1, 2, 65}));
    EXPECT_EQ(workspace.DumpMatrix(), "ALFA,ITEM,0;BETA,ITEM,0;BETA,PEDIDO,1;ALFA,PEDIDO,2");
  }
}

TEST_F(ScriptExecutionTest, BroadcastStopsAtTheFirstServerThatRejectsIt) {
  FirebirdTestDatabase gama = FirebirdTestDatabase::WithOrders();
  workspace.WriteServers({{"ALFA", alfa.Address()}, {"BETA", beta.Address()}, {"GAMA", gama.Address()}});
  beta.Execute("create table EXTRA (I integer)");
  Start();
  const std::string message = Run("create table EXTRA (I integer);\r\ndelete from PEDIDO;");
  EXPECT_NE(message.find("EXTRA"), std::string::npos) << message;
  const char* tabelas = "select count(*) from RDB$RELATIONS where RDB$RELATION_NAME = 'EXTRA'";
  EXPECT_EQ(alfa.Dump(tabelas) + beta.Dump(tabelas) + gama.Dump(tabelas), "110");
}

TEST_F(ScriptExecutionTest, QueryFailingOnTheSecondServerLeavesTheFirstServersRows) {
  Configure(0, 0, {});
  alfa.Execute("create table SO_ALFA (I integer)");
  alfa.Execute("insert into SO_ALFA values (5)");
  Start();
  const std::string message = Run("select I from SO_ALFA;\r\ndelete from PEDIDO;");
  EXPECT_NE(message.find("SO_ALFA"), std::string::npos) << message;
  EXPECT_EQ(ResultFile(), kCabecalho + Registro({{"I", "5"}}));
}

// Every type, NULLs, "&", and more rows on a server than it may hold ahead of the writer: read side by
// side, the file is byte for byte each server's rows one server after another, an empty one among them,
// in a read script and in a script that writes alike.
TEST_F(ScriptExecutionTest, QueryOverSeveralServersGivesTheirRowsInServerOrderByteForByte) {
  FirebirdTestDatabase delta = FirebirdTestDatabase::WithOrders();
  FirebirdTestDatabase gama = FirebirdTestDatabase::WithOrders();
  workspace.WriteServers({{"ALFA", alfa.Address()},
                          {"BETA", beta.Address()},
                          {"DELTA", delta.Address()},
                          {"GAMA", gama.Address()}});
  const std::vector<std::string> colunas = {"I",  "P",  "G", "N", "D", "F",  "DP", "DT",
                                            "HR", "TS", "B", "C", "V", "TX", "BN"};
  int primeira = 0;
  for (const FirebirdTestDatabase* db : {&alfa, &beta, &delta, &gama}) {
    db->Execute(
        "create table TIPOS (I integer, P smallint, G bigint, N numeric(9,2), D decimal(18,4), F float, "
        "DP double precision, DT date, HR time, TS timestamp, B boolean, C char(5), V varchar(8000), "
        "TX blob sub_type text, BN blob sub_type binary)");
    if (db == &beta) continue;
    db->Execute(
        "execute block as declare i integer = " + std::to_string(primeira) + "; begin while (i < " +
        std::to_string(primeira + 600) +
        ") do begin insert into TIPOS values (:i, mod(:i, 300) - 150, :i * 1000000007, :i * 0.25, "
        ":i * -0.0001, :i / 3.0, :i / 7.0e0, dateadd(:i day to date '2024-01-01'), time '00:00:00' + :i, "
        "timestamp '2024-01-01 00:00:00' + :i / 1000.0, mod(:i, 2) = 0, 'c&' || mod(:i, 10), "
        "rpad('v & ' || :i, 8000, '-'), 't & ' || :i, 'b' || :i); i = i + 1; end end");
    db->Execute("insert into TIPOS (I) values (" + std::to_string(primeira + 600) + ")");
    primeira += 1000;
  }
  std::string consulta = "select ";
  for (const std::string& coluna : colunas) consulta += (coluna == "I" ? "" : ", ") + coluna;
  consulta += " from TIPOS order by I";
  std::string esperado = kCabecalho;
  for (const FirebirdTestDatabase* db : {&alfa, &beta, &delta, &gama}) {
    for (const std::vector<std::string>& row : db->Rows(consulta)) {
      std::vector<std::pair<std::string, std::string>> columns;
      for (size_t i = 0; i < colunas.size(); ++i)
        columns.emplace_back(colunas[i], ReplaceAll(row[i], "&", "&amp;"));
      esperado += Registro(columns);
    }
  }
  esperado += kRodape;
  Start();
  for (const std::string antes : {"", "update PEDIDO set CLIENTE = CLIENTE where 1 = 0;"}) {
    EXPECT_EQ(Run(antes + consulta + ";"), "") << antes;
    const std::string file = ResultFile();
    EXPECT_EQ(file.size(), esperado.size()) << antes;
    EXPECT_TRUE(file == esperado)
        << antes << ": differs from byte "
        << std::mismatch(file.begin(), file.end(), esperado.begin(), esperado.end()).first - file.begin();
  }
}

TEST_F(ScriptExecutionTest, StatementThatIsNotAQueryIsRefusedOnTheQueryPath) {
  Configure(0, 0, {});
  alfa.Execute("insert into PEDIDO values (1, 'Ana')");
  Start();
  EXPECT_EQ(Run("insert into ITEM (IDITEM, QTD) select IDPEDIDO, 1 from PEDIDO;"),
            "Instru\xE7\xE3o n\xE3o \xE9 uma consulta");
  EXPECT_EQ(alfa.Count("ITEM") + beta.Count("ITEM"), 0);
}

// A query runs the same way in any script, read-only: a procedure that writes is refused alone and
// inside a script that writes, and nothing reported done is undone later.
TEST_F(ScriptExecutionTest, QueryThatWritesIsRefusedAloneAndInsideAWriteScript) {
  Configure(0, 0, {});
  for (const FirebirdTestDatabase* db : {&alfa, &beta}) {
    db->Execute("insert into PEDIDO values (1, 'Ana')");
    db->Execute(
        "create procedure P_W returns (X integer) as begin update PEDIDO set CLIENTE = 'Eva'; X = 1; "
        "suspend; end");
  }
  Start();
  for (const std::string antes : {"", "update PEDIDO set CLIENTE = CLIENTE where 1 = 0;"}) {
    const std::string message = Run(antes + "select X from P_W;");
    EXPECT_NE(message.find("attempted update during read-only transaction"), std::string::npos)
        << antes << ": " << message;
  }
  EXPECT_EQ(Run("update PEDIDO set CLIENTE = CLIENTE;"), "");  // the slots' next statement
  EXPECT_EQ(alfa.Dump("select CLIENTE from PEDIDO") + beta.Dump("select CLIENTE from PEDIDO"), "AnaAna");
}

TEST_F(ScriptExecutionTest, ScriptIsCutAtEverySemicolon) {
  Configure(0, 0, {});
  alfa.Execute("insert into PEDIDO values (1, 'Ana')");
  beta.Execute("insert into PEDIDO values (1, 'Bia')");
  Start();
  EXPECT_EQ(Run(""), "");

  // Without any ";" the one statement is empty, and the database refuses it.
  EXPECT_NE(Run("delete from PEDIDO").find("Unexpected end of command"), std::string::npos);
  // A lone ";" is an empty statement, refused by the first server.
  EXPECT_NE(Run(";;delete from PEDIDO;").find("Unexpected end of command"), std::string::npos);
  // A ";" inside a quoted text ends the statement there.
  EXPECT_NE(Run("update PEDIDO set CLIENTE = 'a;b';").find("Unexpected end of command"), std::string::npos);
  EXPECT_EQ(alfa.Dump("select * from PEDIDO") + beta.Dump("select * from PEDIDO"), "1|Ana1|Bia");

  // Text after the last ";" never runs; of two queries the file keeps the second.
  EXPECT_EQ(Run("update PEDIDO set CLIENTE = 'X';\r\nselect * from PEDIDO;select CLIENTE from PEDIDO;\r\n"
                "delete from PEDIDO"),
            "");
  EXPECT_EQ(alfa.Dump("select * from PEDIDO") + beta.Dump("select * from PEDIDO"), "1|X1|X");
  EXPECT_EQ(ResultFile(), kCabecalho + Registro({{"CLIENTE", "X"}}) + Registro({{"CLIENTE", "X"}}) + kRodape);
}

TEST_F(ScriptExecutionTest, WithoutServersQueriesGiveAnEmptyFileAndInsertsFindNoTable) {
  workspace.WriteTables({{"ITEM", "IDITEM", 0}});
  Start();
  EXPECT_EQ(Run("select * from ITEM;"), "");
  EXPECT_EQ(ResultFile(), kCabecalho + kRodape);
  EXPECT_EQ(Run("delete from ITEM;"), "");
  EXPECT_EQ(Run("delete from ITEM"), "");
  EXPECT_EQ(Run("insert into ITEM (QTD) values (1);"), kFalhaTabela);
  EXPECT_EQ(engine->GetTabela(), "ITEM,IDITEM,0;");
}

TEST_F(ScriptExecutionTest, ResultFileProblemsStopTheScriptBeforeTheQueryRuns) {
  Configure(0, 0, {{"ALFA", "ITEM", 0}, {"BETA", "ITEM", 0}});
  Start();
  EXPECT_EQ(Run("select * from ITEM;insert into ITEM (QTD) values (1);", "../x", "1"),
            "Cliente ou Pedido inv\xE1lido para o arquivo de consulta");
  EXPECT_EQ(Run("select * from ITEM;insert into ITEM (QTD) values (1);", "a", "\n"),
            "Cliente ou Pedido inv\xE1lido para o arquivo de consulta");

  engine.reset();
  engine = std::make_unique<VESPRIL>(workspace.ResultDirectory() + "missing/");
  EXPECT_EQ(Run("select * from ITEM;insert into ITEM (QTD) values (1);"),
            "Cannot create file " + workspace.ResultDirectory() + "missing/Consultaloja1.xml");
  EXPECT_EQ(alfa.Count("ITEM") + beta.Count("ITEM"), 0);
  EXPECT_EQ(QDir(QString::fromStdString(workspace.ResultDirectory())).entryList(QDir::Files).size(), 0);
}

TEST_F(ScriptExecutionTest, GeneratorAtItsLimitRefusesTheInsert) {
  Configure(0, 2147483647, {{"ALFA", "ITEM", 0}});
  Start();
  EXPECT_EQ(Run("insert into ITEM (QTD) values (1);"), "O gerador da tabela ITEM chegou ao seu limite");
  EXPECT_EQ(alfa.Count("ITEM"), 0);
}

TEST(ScriptExecutionServerTest, InsertAndQueryThroughTheLoopbackServer) {
  VESPRIL_REQUIRE_FB_SERVER();
  auto local = FirebirdTestDatabase::WithOrders();
  auto remote = FirebirdTestDatabase::WithOrders(test::FbLocation::Server);
  Workspace workspace;
  workspace.WriteServers({{"LOCAL", local.Address()}, {"REMOTO", remote.Address()}});
  workspace.WriteTables({{"PEDIDO", "IDPEDIDO", 0}});
  workspace.WriteMatrix({{"LOCAL", "PEDIDO", 1}, {"REMOTO", "PEDIDO", 0}});
  VESPRIL engine(workspace.ResultDirectory());
  EXPECT_EQ(
      engine.ExecutarScript("insert into PEDIDO (CLIENTE) values ('Ana');update PEDIDO set CLIENTE = 'Bia';"
                            "select * from PEDIDO;",
                            "srv", "1"),
      "");
  EXPECT_EQ(remote.Dump("select * from PEDIDO"), "1|Bia");
  EXPECT_EQ(local.Count("PEDIDO"), 0);
}

}  // namespace
}  // namespace vespril
