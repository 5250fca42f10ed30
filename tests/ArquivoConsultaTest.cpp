#include "execution/ArquivoConsulta.h"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include "tests/support/ErrorOf.h"
#include "tests/support/FailingDevice.h"

#include "foundation/Error.h"

namespace vespril {
namespace {

using test::FailingDevice;

std::string ReadAll(const std::string& path) {
  QFile file(PathToQString(path));
  if (!file.open(QIODevice::ReadOnly)) return "<missing>";
  return file.readAll().toStdString();
}

class ArquivoConsultaTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
  // Qt can't remove names that are no UTF-8.
  void TearDown() override { std::filesystem::remove_all(Dir()); }
  std::string Dir() const { return QDir(m_dir.path()).path().toStdString() + "/"; }

  QTemporaryDir m_dir;
};

const std::string kDeclaracao = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n";

TEST_F(ArquivoConsultaTest, RowsOfTwoServersByteForByte) {
  const std::string path = CaminhoArquivoConsulta(Dir(), "loja.3", "42");
  {
    ArquivoConsulta arquivo(path);
    arquivo.EscreverRegistro({"ID", "NOME"}, {"1", "Ana"});
    arquivo.EscreverRegistro({"ID", "NOME"}, {"7", "B&C"});
    arquivo.EscreverRegistro({"ID", "NOME"}, {"9", ""});
    arquivo.Finalizar();
  }
  EXPECT_EQ(ReadAll(path), kDeclaracao +
                               "  <dados>\r\n"
                               "    <registro>\r\n"
                               "      <ID>1</ID>\r\n"
                               "      <NOME>Ana</NOME>\r\n"
                               "    </registro>\r\n"
                               "    <registro>\r\n"
                               "      <ID>7</ID>\r\n"
                               "      <NOME>B&amp;C</NOME>\r\n"
                               "    </registro>\r\n"
                               "    <registro>\r\n"
                               "      <ID>9</ID>\r\n"
                               "      <NOME></NOME>\r\n"
                               "    </registro>\r\n"
                               "  </dados>\r\n");
}

TEST_F(ArquivoConsultaTest, NoRowsGiveTheThreeLineFile) {
  const std::string path = Dir() + "vazio.xml";
  ArquivoConsulta(path).Finalizar();
  EXPECT_EQ(ReadAll(path), kDeclaracao + "  <dados>\r\n  </dados>\r\n");
}

TEST_F(ArquivoConsultaTest, ColumnLinesEscapeOnlyTheAmpersandOfValues) {
  struct Case {
    const char* what;
    std::string name;
    std::string value;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"escaping is blind", "V", "&amp;", "      <V>&amp;amp;</V>\r\n"},
      {"angle brackets and quotes stay", "V", "a<b>\"c'", "      <V>a<b>\"c'</V>\r\n"},
      {"a line break spans lines", "V", "um\r\ndois", "      <V>um\r\ndois</V>\r\n"},
      {"control and high bytes stay", "V", std::string("\x01\0\xE7", 3),
       std::string("      <V>\x01\0\xE7</V>\r\n", 18)},
      {"names are written unchanged", "A&B<c", "x", "      <A&B<c>x</A&B<c>\r\n"},
  };
  for (const Case& c : cases) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    ArquivoConsulta(buffer, "mem").EscreverRegistro({c.name}, {c.value});
    EXPECT_EQ(buffer.data().toStdString(),
              kDeclaracao + "  <dados>\r\n    <registro>\r\n" + c.line + "    </registro>\r\n")
        << c.what;
  }
}

TEST_F(ArquivoConsultaTest, ColumnsOfTheSameNameKeepTheirOwnValues) {
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  ArquivoConsulta(buffer, "mem").EscreverRegistro({"ID", "ID"}, {"1", "2"});
  EXPECT_EQ(buffer.data().toStdString(),
            kDeclaracao +
                "  <dados>\r\n    <registro>\r\n      <ID>1</ID>\r\n      <ID>2</ID>\r\n    </registro>\r\n");
}

TEST_F(ArquivoConsultaTest, MismatchedRowIsRefusedBeforeWriting) {
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  ArquivoConsulta arquivo(buffer, "mem");
  EXPECT_NE(test::ErrorOf([&] { arquivo.EscreverRegistro({"ID", "NOME"}, {"1"}); }), test::kNoError);
  EXPECT_EQ(buffer.data().toStdString(), kDeclaracao + "  <dados>\r\n");
}

TEST(CaminhoArquivoConsultaTest, NamesTheFileAfterClienteAndPedido) {
  struct Case {
    std::string dir;
    std::string cliente;
    std::string pedido;
    std::string path;
  };
  const std::vector<Case> cases = {
      {"/opt/v/", "loja.3", "42", "/opt/v/Consultaloja342.xml"},
      {"/opt/v/", "...", "7", "/opt/v/Consulta7.xml"},                   // a Cliente of only dots vanishes
      {"/opt/v/", "a.b", "1.2", "/opt/v/Consultaab1.2.xml"},             // Pedido keeps its dots
      {"/opt/v/", "", "..", "/opt/v/Consulta...xml"},                    // still a name inside the directory
      {"/opt/v/", "jo\xE3o", "\xAA", "/opt/v/Consultajo\xE3o\xAA.xml"},  // high bytes pass unchanged
      {"/opt/v", "c", "1", "/opt/v/Consultac1.xml"},
      {"/", "c", "1", "/Consultac1.xml"},
      {"", "c", "1", "/Consultac1.xml"},
  };
  for (const Case& c : cases) EXPECT_EQ(CaminhoArquivoConsulta(c.dir, c.cliente, c.pedido), c.path) << c.path;
}

TEST(CaminhoArquivoConsultaTest, RefusesFieldsThatCouldNameAnotherFile) {
  const std::vector<std::string> bad = {"../Servidor",        "a/b",  "/",    "a\\b", "\\",
                                        std::string(1, '\0'), "\x01", "a\tb", "\r\n", "x\x1F"};
  for (const std::string& field : bad) {
    for (bool inCliente : {true, false}) {
      const std::string cliente = inCliente ? field : "loja";
      const std::string pedido = inCliente ? "42" : field;
      EXPECT_EQ(test::ErrorOf([&] { CaminhoArquivoConsulta("/opt/v/", cliente, pedido); }),
                "Cliente ou Pedido inv\xE1lido para o arquivo de consulta")
          << (inCliente ? "Cliente " : "Pedido ") << field;
    }
  }
}

// "Baixar" gives the path's bytes, so the file must be found under exactly those bytes.
TEST_F(ArquivoConsultaTest, AccentedNamesAreStoredAsTheBytesClientsAreGivenInAFolderKeptAsItsBytes) {
  // Folder names in UTF-8 outside ISO-8859-1, and bytes that are no UTF-8 at all.
  for (const std::string folder : {"", "\xE6\x97\xA5\xE6\x9C\xAC/", "caf\xC3\xA9\xFF/"}) {
    const std::string dir = Dir() + folder;
    ASSERT_TRUE(folder.empty() || mkdir(dir.c_str(), 0700) == 0) << folder;
    const std::string path = CaminhoArquivoConsulta(dir, "jo\xE3o", "1");
    EXPECT_EQ(path, dir + "Consultajo\xE3o1.xml");
    ArquivoConsulta(path).Finalizar();
    const std::string onDisk = path;
    EXPECT_EQ(access(onDisk.c_str(), F_OK), 0) << folder;

    DeleteArquivoConsulta(path);
    EXPECT_NE(access(onDisk.c_str(), F_OK), 0) << folder;
    DeleteArquivoConsulta(path);  // already gone: nothing happens
  }
}

// Nothing placed at a result file's name takes the rows elsewhere or holds up the gateway: the query
// is refused, and "Deletar" removes the name itself, never what it leads to.
TEST_F(ArquivoConsultaTest, LinkOrPipeAtTheNameIsRefusedAndDeletedItself) {
  const std::string target = Dir() + "Servidor.xml";
  const std::string missing = Dir() + "naoexiste.xml";
  const std::string path = Dir() + "Consultac1.xml";
  struct Case {
    const char* what;
    std::function<int()> make;
  };
  const std::vector<Case> cases = {
      {"link to a file", [&] { return symlink(target.c_str(), path.c_str()); }},
      {"link to no file", [&] { return symlink(missing.c_str(), path.c_str()); }},
      {"hard link", [&] { return link(target.c_str(), path.c_str()); }},
      {"pipe nobody reads", [&] { return mkfifo(path.c_str(), 0600); }},
  };
  for (const Case& c : cases) {
    {
      QFile file(PathToQString(target));
      ASSERT_TRUE(file.open(QIODevice::WriteOnly));
      file.write("kept");
    }
    ASSERT_EQ(c.make(), 0) << c.what;
    EXPECT_EQ(test::ErrorOf([&] { ArquivoConsulta arquivo(path); }), "Cannot create file " + path) << c.what;
    EXPECT_EQ(ReadAll(target), "kept") << c.what;
    EXPECT_NE(access(missing.c_str(), F_OK), 0) << c.what;

    DeleteArquivoConsulta(path);
    struct stat info;
    EXPECT_NE(lstat(path.c_str(), &info), 0) << c.what;
    EXPECT_EQ(ReadAll(target), "kept") << c.what;
  }
}

TEST_F(ArquivoConsultaTest, FileThatCannotBeCreatedIsReported) {
  const std::string path = Dir() + "naoexiste/Consultac1.xml";
  EXPECT_EQ(test::ErrorOf([&] { ArquivoConsulta arquivo(path); }), "Cannot create file " + path);
  EXPECT_FALSE(QFileInfo::exists(PathToQString(path)));
}

TEST_F(ArquivoConsultaTest, EveryFailedWriteIsReportedWhereverItFalls) {
  const auto escrever = [](QIODevice& device) {
    ArquivoConsulta arquivo(device, "Consultac1.xml");
    arquivo.EscreverRegistro({"ID", "NOME"}, {"1", "Ana"});
    arquivo.EscreverRegistro({"ID", "NOME"}, {"7", "B&C"});
    arquivo.Finalizar();
  };
  FailingDevice unlimited(1 << 20);
  escrever(unlimited);
  const qint64 total = static_cast<qint64>(unlimited.Written().size());

  for (qint64 limit = 0; limit < total; ++limit) {
    FailingDevice device(limit);
    EXPECT_EQ(test::ErrorOf([&] { escrever(device); }), "Cannot write file Consultac1.xml") << limit;
  }
  FailingDevice exact(total);
  EXPECT_EQ(test::ErrorOf([&] { escrever(exact); }), test::kNoError);
  EXPECT_EQ(exact.Written(), unlimited.Written());
}

TEST_F(ArquivoConsultaTest, FullDiskIsReportedWhenTheFileIsFinished) {
  if (!QFileInfo::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  ArquivoConsulta arquivo("/dev/full");
  arquivo.EscreverRegistro({"ID"}, {"1"});
  EXPECT_EQ(test::ErrorOf([&] { arquivo.Finalizar(); }), "Cannot write file /dev/full");
}

TEST_F(ArquivoConsultaTest, ExistingLongerFileIsTruncated) {
  const std::string path = Dir() + "Consultac1.xml";
  {
    QFile old(PathToQString(path));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(10000, 'x'));
  }
  ArquivoConsulta(path).Finalizar();
  EXPECT_EQ(ReadAll(path), kDeclaracao + "  <dados>\r\n  </dados>\r\n");
}

TEST_F(ArquivoConsultaTest, AbandonedFileKeepsTheLinesWrittenSoFar) {
  const std::string path = Dir() + "Consultac1.xml";
  {
    ArquivoConsulta arquivo(path);
    arquivo.EscreverRegistro({"ID"}, {"1"});
  }
  EXPECT_EQ(ReadAll(path),
            kDeclaracao + "  <dados>\r\n    <registro>\r\n      <ID>1</ID>\r\n    </registro>\r\n");
}

TEST(ProgramDirectoryTest, IsTheDirectoryOfTheRunningProgram) {
  const std::string dir = ProgramDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  EXPECT_TRUE(
      QFileInfo(PathToQString(dir) + QFileInfo(QCoreApplication::applicationFilePath()).fileName()).isFile());
}

}  // namespace
}  // namespace vespril
