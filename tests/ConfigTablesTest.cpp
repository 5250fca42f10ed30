#include "config/ConfigTables.h"

#include <string>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include "tests/support/ErrorOf.h"

#include "foundation/Error.h"

namespace vespril::config {
namespace {

constexpr char kSettingsPacket[] =
    "<?xml version=\"1.0\" standalone=\"yes\"?>  <DATAPACKET Version=\"2.0\"><METADATA><FIELDS>"
    "<FIELD attrname=\"Atributo\" fieldtype=\"string\" WIDTH=\"30\"/>"
    "<FIELD attrname=\"Valor\" fieldtype=\"string\" WIDTH=\"30\"/></FIELDS><PARAMS/></METADATA><ROWDATA>"
    "<ROW Atributo=\"Porta\" Valor=\"211\"/><ROW Atributo=\"TabelaRelembrar\" Valor=\"False\"/>"
    "</ROWDATA></DATAPACKET>";

// The table's definition and records in one line: file, index, fields, then each record.
std::string Describe(PersistedTable& table) {
  std::string out = table.FileName() + " by " + table.IndexFieldNames() + ":";
  for (const FieldDef& field : table.Fields()) {
    out += " " + field.name + (field.type == FieldType::String ? " s" + std::to_string(field.size) : " i4");
  }
  for (table.First(); !table.Eof(); table.Next()) {
    out += " |";
    for (const FieldDef& field : table.Fields()) out += " " + table.FieldAsString(field.name);
  }
  return out;
}

// Every test runs in a fresh working directory, where the tables resolve their bare file names.
class ConfigTablesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(QDir::setCurrent(m_dir.path())); }
  void TearDown() override { QDir::setCurrent(m_previous); }

  static void Write(const char* name, const std::string& bytes) {
    QFile file(name);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes.data(), static_cast<qint64>(bytes.size()));
  }
  static std::string Read(const char* name) {
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "(unreadable)";
  }
  QStringList Listing() const {
    return QDir().entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
  }

  QString m_previous = QDir::currentPath();
  QTemporaryDir m_dir;
};

TEST_F(ConfigTablesTest, BuildsEmptyTablesWithoutWritingFiles) {
  PersistedTable tables[] = {BuildPortaRelembrar(), BuildServidor(), BuildTabela(), BuildServidorTabela()};
  EXPECT_EQ(Describe(tables[0]), "Porta_Relembrar.xml by Atributo: Atributo s30 Valor s30");
  EXPECT_EQ(Describe(tables[1]), "Servidor.xml by Nome: Nome s30 Endereco s500");
  EXPECT_EQ(Describe(tables[2]), "Tabela.xml by Tabela: Tabela s30 Chave s30 Gerador i4");
  EXPECT_EQ(Describe(tables[3]),
            "ServidorTabela.xml by Tabela;Registro: Servidor s30 Tabela s30 Registro i4");
  for (PersistedTable& table : tables) EXPECT_TRUE(table.Eof());
  EXPECT_TRUE(Listing().isEmpty());
}

TEST_F(ConfigTablesTest, LoadsStoredFilesWithoutRewritingThem) {
  Write(kArquivoPortaRelembrar, kSettingsPacket);
  const std::string matrix =
      "<?xml version=\"1.0\" standalone=\"yes\"?>  <DATAPACKET Version=\"2.0\"><METADATA><FIELDS>"
      "<FIELD attrname=\"Servidor\" fieldtype=\"string\" WIDTH=\"30\"/>"
      "<FIELD attrname=\"Tabela\" fieldtype=\"string\" WIDTH=\"30\"/><FIELD attrname=\"Registro\" "
      "fieldtype=\"i4\"/>"
      "</FIELDS><PARAMS/></METADATA><ROWDATA><ROW Servidor=\"A\" Tabela=\"item\" Registro=\"4\"/>"
      "<ROW Servidor=\"B\" Tabela=\"item\" Registro=\"3\"/><ROW Servidor=\"A\" Tabela=\"cliente\" "
      "Registro=\"9\"/>"
      "</ROWDATA></DATAPACKET>";
  Write(kArquivoServidorTabela, matrix);

  PersistedTable settings = BuildPortaRelembrar();
  PersistedTable counts = BuildServidorTabela();
  EXPECT_EQ(
      Describe(counts),
      "ServidorTabela.xml by Tabela;Registro: Servidor s30 Tabela s30 Registro i4 | A cliente 9 | B item 3 "
      "| A item 4");
  EXPECT_EQ(Read(kArquivoServidorTabela), matrix);
  EXPECT_EQ(Listing(), QStringList({"Porta_Relembrar.xml", "ServidorTabela.xml"}));

  ASSERT_TRUE(settings.Locate("Atributo", "porta"));
  EXPECT_EQ(settings.FieldAsInteger("Valor"), 211);
  settings.SaveToFile(settings.FileName());
  EXPECT_EQ(Read(kArquivoPortaRelembrar), kSettingsPacket);
}

TEST_F(ConfigTablesTest, AnythingUnloadableAtTheFileNameStopsTheBuild) {
  const auto errorOf = [](PersistedTable (*build)()) { return test::ErrorOf([&] { build(); }); };
  Write(kArquivoServidor, "");
  EXPECT_EQ(errorOf(BuildServidor), "Cannot read file Servidor.xml: the file is empty");
  ASSERT_TRUE(QDir().mkdir(kArquivoTabela));
  EXPECT_EQ(errorOf(BuildTabela), "Cannot open file Tabela.xml");
  ASSERT_TRUE(QFile::link("nowhere.xml", kArquivoServidorTabela));
  EXPECT_EQ(errorOf(BuildServidorTabela), "Cannot open file ServidorTabela.xml");
  EXPECT_EQ(Read(kArquivoServidor), "");
  EXPECT_EQ(Listing(), QStringList({"Servidor.xml", "ServidorTabela.xml", "Tabela.xml"}));
}

}  // namespace
}  // namespace vespril::config
