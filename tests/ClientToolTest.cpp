// vespril-client as its users run it: the built program against the gateway running in this process
// (with an embedded database behind it) or against a fake gateway, compared by exit status, standard
// output and standard error.
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "gateway/UVESPRIL.h"
#include "protocol/WireProtocol.h"
#include "tests/support/FakeGateway.h"
#include "tests/support/FirebirdTestDatabase.h"
#include "tests/support/Workspace.h"

namespace vespril {
namespace {

const std::string SEP(SeparadorChave);

// "status|stdout|stderr" of one run. The event loop turns meanwhile, so a gateway here serves it.
std::string RunTool(int port, std::vector<std::string> args, const std::string& input = "") {
  QStringList arguments{"--port", QString::number(port), "--timeout", "10"};
  for (const std::string& arg : args) arguments << QString::fromLatin1(arg.c_str());
  QProcess process;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("LC_ALL", "C");
  process.setProcessEnvironment(environment);
  process.start(VESPRIL_CLIENT, arguments);
  process.write(input.data(), static_cast<qint64>(input.size()));
  process.closeWriteChannel();
  EXPECT_TRUE(QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 20000));
  return std::to_string(process.exitCode()) + "|" + process.readAllStandardOutput().toStdString() + "|" +
         process.readAllStandardError().toStdString();
}

class ClientToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_workspace.WriteSettings(std::to_string(m_port));
    m_engine = std::make_unique<VESPRIL>(m_workspace.ResultDirectory());
    m_engine->SetServidor("ALFA", m_database.Address());
    m_engine->SetTabela("PEDIDO", "IDPEDIDO", 40);
    m_engine->SetTabela("ITEM", "IDITEM", 0);
    m_engine->MontarServidorTabela();
  }
  void TearDown() override { m_engine.reset(); }

  std::string Result(const std::string& name) const { return m_workspace.ResultDirectory() + name; }

  test::FirebirdTestDatabase m_database = test::FirebirdTestDatabase::WithOrders();
  test::Workspace m_workspace;
  int m_port = test::FreeTcpPort();
  std::unique_ptr<VESPRIL> m_engine;
};

TEST_F(ClientToolTest, ExitStatusSaysWhoFailed) {
  const int unused = test::FreeTcpPort();
  struct Case {
    int port;
    std::vector<std::string> args;
    std::string input;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {m_port, {"c", "1", "-e", "update ITEM set QTD = 1;"}, "", "0||"},
      {m_port, {"c", "1"}, "insert into NADA (A) values (1);\n", "1||Falha na localiza\xE7\xE3o da tabela\n"},
      {m_port, {"c", "1", "--baixar"}, "", "0|" + Result("Consultac1.xml") + "\n|"},
      {unused,
       {"c", "1", "-e", "delete from ITEM;"},
       "",
       "2||vespril-client: Cannot connect to 127.0.0.1:" + std::to_string(unused) + ": Connection refused\n"},
      {m_port,
       {"c"},
       "",
       "2||vespril-client: CLIENTE and PEDIDO are needed, and nothing else\nTry 'vespril-client --help'.\n"},
      {m_port,
       {"c", "1", "--mostrar", "-e", "delete from ITEM;"},
       "",
       "2||vespril-client: --mostrar and --xml need a script with a query\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(RunTool(c.port, c.args, c.input), c.expected) << c.args.back();
}

TEST_F(ClientToolTest, ParentAndChildrenInsertedWithChaveThenShown) {
  EXPECT_EQ(RunTool(m_port, {"loja", "1", "-e", "insert into PEDIDO (CLIENTE) values ('Ana')"}), "0||");
  EXPECT_EQ(
      RunTool(m_port, {"loja", "2", "--chave", "PEDIDO,IDPEDIDO"}, "insert into ITEM (QTD) values (2);\n"),
      "0||");
  EXPECT_EQ(
      RunTool(m_port, {"loja", "3", "--chave", "PEDIDO,IDPEDIDO", "-e", "insert into ITEM (QTD) values (5)"}),
      "0||");
  EXPECT_EQ(RunTool(m_port, {"loja", "4", "--mostrar", "-e",
                             "select p.CLIENTE, i.IDITEM, i.IDPEDIDO, i.QTD from ITEM i join PEDIDO p on "
                             "p.IDPEDIDO = i.IDPEDIDO order by i.IDITEM"}),
            "0|CLIENTE IDITEM IDPEDIDO QTD\n"
            "======= ====== ======== ===\n"
            "Ana          1       41   2\n"
            "Ana          2       41   5\n|");
  EXPECT_TRUE(QFile::exists(QString::fromStdString(Result("Consultaloja4.xml"))));
  EXPECT_EQ(RunTool(m_port, {"loja", "4", "--deletar"}), "0||");
  EXPECT_TRUE(
      QTest::qWaitFor([&] { return !QFile::exists(QString::fromStdString(Result("Consultaloja4.xml"))); }));
}

TEST_F(ClientToolTest, MostrarShowsTheFileAsATableAndXmlAsItIs) {
  const std::string wide(30, 'w');
  const std::string file =
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n  <dados>\r\n"
      "    <registro>\r\n      <ID>1</ID>\r\n      <NOME></NOME>\r\n      <OBS>B&amp;C</OBS>\r\n    "
      "</registro>\r\n"
      "    <registro>\r\n      <ID>10</ID>\r\n      <NOME>a\r\nb</NOME>\r\n      <OBS>" +
      wide +
      "</OBS>\r\n"
      "    </registro>\r\n  </dados>\r\n";
  QFile out(QString::fromStdString(Result("Consultac5.xml")));
  ASSERT_TRUE(out.open(QIODevice::WriteOnly));
  out.write(file.data(), static_cast<qint64>(file.size()));
  out.close();

  EXPECT_EQ(RunTool(m_port, {"c", "5", "--baixar", "--mostrar"}),
            "0|ID NOME OBS\n"
            "== ==== " +
                std::string(30, '=') +
                "\n"
                " 1      B&C\n"
                "10 a    " +
                wide +
                "\n"
                "   b\n|");
  EXPECT_EQ(RunTool(m_port, {"c", "5", "--baixar", "--xml"}), "0|" + file + "|");
}

TEST(ClientToolBytesTest, ScriptsFromStdinAndChaveAnnotationsOnTheWire) {
  test::FakeGateway fake;
  EXPECT_EQ(RunTool(fake.Port(), {"c", "1"}, "select 1 from X\n"), "0||");
  EXPECT_EQ(RunTool(fake.Port(), {"c", "2", "--chave", "PEDIDO,IDPEDIDO", "--chave", "PRODUTO , IDPRODUTO",
                                  "-e", "insert into ITEM (QTD) values (2);"}),
            "0||");
  EXPECT_EQ(fake.received, MontarPedido("c", "1", "select 1 from X;\n") +
                               MontarPedido("c", "2",
                                            "insert into ITEM (QTD) values (2)" + SEP + "PEDIDO, IDPEDIDO" +
                                                SEP + "PRODUTO ,  IDPRODUTO" + SEP + ";"));

  fake.Answer = [](const Pedido& p) {
    return MontarResposta(p.cliente, p.pedido, "", p.comando).substr(0, 18);
  };
  fake.CloseAfterAnswer = true;
  EXPECT_EQ(RunTool(fake.Port(), {"c", "3", "-e", "delete from X;"}),
            "2||vespril-client: The gateway at 127.0.0.1:" + std::to_string(fake.Port()) +
                " closed the connection in the middle of the reply to request 3 of client c\n");
}

// The gateway names a result file the tool must not wait on: it refuses each at once, well inside its
// --timeout of 10 s.
TEST(ClientToolBytesTest, RefusesAResultFileThatIsNoRegularFile) {
  QTemporaryDir folder;
  const std::string fifo = folder.filePath("Consultac1.xml").toStdString();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  test::FakeGateway fake;
  for (const std::string& path : {fifo, std::string("/dev/zero"), folder.path().toStdString()}) {
    fake.Answer = [&](const Pedido& p) { return MontarResposta(p.cliente, p.pedido, "", path); };
    for (const char* option : {"--xml", "--mostrar"}) {
      QElapsedTimer elapsed;
      elapsed.start();
      EXPECT_EQ(RunTool(fake.Port(), {"c", "1", "--baixar", option}),
                "2||vespril-client: " + path + " is not a regular file, so it is no result file\n");
      EXPECT_LT(elapsed.elapsed(), 10000) << path << " " << option;
    }
  }
}

// A million rows are printed, as a table and as they are, while the tool's memory stays far below
// the file's size (the peak is read while it runs: the kernel keeps the high-water mark).
TEST(ClientToolBytesTest, ShowsAMillionRowsWithoutHoldingThem) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers hold freed memory back: the tool's peak tells nothing";
#endif
  QTemporaryDir folder;
  const std::string path = folder.filePath("Consultac1.xml").toStdString();
  std::ofstream(path, std::ios::binary) << [] {
    std::string rows = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n  <dados>\r\n";
    for (int i = 1; i <= 1000000; ++i) {
      const std::string n = std::to_string(i);
      rows += "    <registro>\r\n      <ID>" + n + "</ID>\r\n      <NOME>nome " + n +
              "</NOME>\r\n    </registro>\r\n";
    }
    return rows + "  </dados>\r\n";
  }();
  const qint64 size = QFileInfo(QString::fromStdString(path)).size();
  test::FakeGateway fake;
  fake.Answer = [&](const Pedido& p) { return MontarResposta(p.cliente, p.pedido, "", path); };
  const QString output = folder.filePath("output");
  for (const char* option : {"--mostrar", "--xml"}) {
    QProcess tool;
    tool.setStandardOutputFile(output);
    tool.start(VESPRIL_CLIENT, {"--port", QString::number(fake.Port()), "c", "1", "--baixar", option});
    const QString status = QString("/proc/%1/status").arg(tool.processId());
    while (tool.state() != QProcess::NotRunning) {
      QTest::qWait(20);  // the fake gateway answers meanwhile
      QFile file(status);
      const QByteArray text = file.open(QIODevice::ReadOnly) ? file.readAll() : "VmHWM: 0 kB";
      const long peakKiB = text.mid(text.indexOf("VmHWM:") + 6, 20).trimmed().split(' ')[0].toLong();
      ASSERT_LT(peakKiB, size / 1024 / 3) << option;
    }
    EXPECT_EQ(tool.exitCode(), 0) << option;
    std::ifstream shown(output.toStdString(), std::ios::binary);
    std::string first, last, line;
    for (std::getline(shown, first); std::getline(shown, line);) last = line;
    EXPECT_EQ(first + "|" + last, option == std::string("--xml")
                                      ? "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r|  </dados>\r"
                                      : "     ID NOME|1000000 nome 1000000")
        << option;
    if (option == std::string("--xml")) {
      EXPECT_EQ(QFileInfo(output).size(), size);
    }
  }
}

}  // namespace
}  // namespace vespril
