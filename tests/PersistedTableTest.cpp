#include "config/PersistedTable.h"

#include <algorithm>
#include <climits>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include "tests/support/ErrorOf.h"
#include "tests/support/FailingDevice.h"

#include "foundation/Error.h"
#include "foundation/Text.h"

namespace vespril {
namespace {

using test::FailingDevice;

PersistedTable Table(bool matrix) {
  PersistedTable table;
  table.DefineStringField(matrix ? "Servidor" : "Atributo", 30);
  table.DefineStringField(matrix ? "Tabela" : "Valor", 30);
  if (matrix) table.DefineIntegerField("Registro");
  table.SetIndexFieldNames(matrix ? "Tabela;Registro" : "Atributo");
  table.Create();
  return table;
}

// Appends one record, assigning the values in field order; "-" leaves a field unset.
void Add(PersistedTable& table, const std::vector<std::string>& values) {
  table.Append();
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i] != "-") table.SetFieldAsString(table.Fields()[i].name, values[i]);
  }
  table.Post();
}

// Every record in index order, fields joined by "," and records ended by ";". Moves the cursor.
std::string Dump(PersistedTable& table) {
  std::string out;
  for (table.First(); !table.Eof(); table.Next()) {
    for (size_t i = 0; i < table.Fields().size(); ++i) {
      out += (i ? "," : "") + table.FieldAsString(table.Fields()[i].name);
    }
    out += ";";
  }
  return out;
}

std::string ReadBytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "(unreadable)";
}

void WriteBytes(const QString& path, const std::string& bytes) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

constexpr char kSettingsPacket[] =
    "<?xml version=\"1.0\" standalone=\"yes\"?>  <DATAPACKET Version=\"2.0\"><METADATA><FIELDS>"
    "<FIELD attrname=\"Atributo\" fieldtype=\"string\" WIDTH=\"30\"/>"
    "<FIELD attrname=\"Valor\" fieldtype=\"string\" WIDTH=\"30\"/></FIELDS><PARAMS/></METADATA><ROWDATA>"
    "<ROW Atributo=\"Porta\" Valor=\"211\"/><ROW Atributo=\"TabelaRelembrar\" Valor=\"False\"/>"
    "</ROWDATA></DATAPACKET>";

constexpr char kMatrixHeader[] =
    "<?xml version=\"1.0\" standalone=\"yes\"?>  <DATAPACKET Version=\"2.0\"><METADATA><FIELDS>"
    "<FIELD attrname=\"Servidor\" fieldtype=\"string\" WIDTH=\"30\"/>"
    "<FIELD attrname=\"Tabela\" fieldtype=\"string\" WIDTH=\"30\"/>"
    "<FIELD attrname=\"Registro\" fieldtype=\"i4\"/></FIELDS><PARAMS/></METADATA><ROWDATA>";

TEST(PersistedTableTest, CursorWalksTheRecordsInIndexOrder) {
  PersistedTable table = Table(true);
  table.First();
  EXPECT_TRUE(table.Eof());
  EXPECT_EQ(table.RecNo(), 0);
  EXPECT_EQ(test::ErrorOf([&] { table.Delete(); }), "Cannot perform this operation on an empty dataset");

  Add(table, {"A", "pedido", "3"});
  Add(table, {"B", "item", "12"});
  Add(table, {"C", "item", "2"});
  Add(table, {"E", "Zeta", "0"});  // byte order puts capitals first
  EXPECT_EQ(Dump(table), "E,Zeta,0;C,item,2;B,item,12;A,pedido,3;");
  EXPECT_EQ(table.RecNo(), 4);  // Next past the last stays on it
  EXPECT_EQ(table.FieldAsString("Servidor"), "A");
  Add(table, {"D", "-", "-"});  // unset sorts first and renumbers the rest
  EXPECT_EQ(table.RecNo(), 1);
  ASSERT_TRUE(table.Locate("Servidor", "A"));
  EXPECT_EQ(table.RecNo(), 5);
}

TEST(PersistedTableTest, PostedChangeOfASortFieldMovesTheRecord) {
  PersistedTable table = Table(true);
  Add(table, {"A", "item", "0"});
  Add(table, {"B", "item", "0"});
  ASSERT_TRUE(table.Locate("Tabela", "item"));
  ASSERT_EQ(table.FieldAsString("Servidor"), "A");
  table.Edit();
  table.SetFieldAsInteger("Registro", table.FieldAsInteger("Registro") + 1);
  table.Post();
  EXPECT_EQ(table.RecNo(), 2);
  ASSERT_TRUE(table.Locate("Tabela", "item"));
  EXPECT_EQ(table.FieldAsString("Servidor"), "B");
}

TEST(PersistedTableTest, LocateMatchesWholeValuesIgnoringCase) {
  PersistedTable table = Table(false);
  Add(table, {"Porta", "211"});
  Add(table, {"A\xc7\xc3O", "O'Brien"});  // AÇÃO
  table.Next();
  table.Next();
  ASSERT_TRUE(table.Eof());
  for (const char* miss : {"Port", "Portas", "Port%", "Port_"}) EXPECT_FALSE(table.Locate("Atributo", miss));
  EXPECT_TRUE(table.Eof());  // a failed locate leaves the cursor and the flag alone
  EXPECT_EQ(table.RecNo(), 2);
  EXPECT_TRUE(table.Locate("Atributo", "porta"));
  EXPECT_FALSE(table.Eof());
  EXPECT_EQ(table.FieldAsString("Atributo"), "Porta");
  EXPECT_TRUE(table.Locate("atributo", "a\xe7\xe3o"));
  EXPECT_TRUE(table.Locate("Valor", "o'brien"));
  EXPECT_EQ(table.RecNo(), 1);
  // A text too long for its field is no prefix of what the field holds; AsStored cuts it as a write would.
  Add(table, {std::string(30, 'x'), "cut"});
  EXPECT_FALSE(table.Locate("Atributo", std::string(31, 'X')));
  EXPECT_FALSE(table.Locate("Atributo", std::string(29, 'x')));
  EXPECT_TRUE(table.Locate("Atributo", table.AsStored("Atributo", std::string(40, 'X'))));
  EXPECT_EQ(table.FieldAsString("Valor"), "cut");

  PersistedTable matrix = Table(true);
  Add(matrix, {"A", "item", "5"});
  Add(matrix, {"B", "pedido", "1"});
  Add(matrix, {"B", "item", "7"});
  EXPECT_TRUE(matrix.Locate("Servidor;Tabela", {"b", "ITEM"}));
  EXPECT_EQ(matrix.FieldAsInteger("Registro"), 7);
  EXPECT_FALSE(matrix.Locate("Servidor;Tabela", {"A", "pedido"}));
  EXPECT_TRUE(matrix.Locate("Registro", "5"));
  EXPECT_EQ(matrix.FieldAsString("Servidor"), "A");
}

TEST(PersistedTableTest, MovingPostsPendingRecordsButDropsUnassignedOnes) {
  PersistedTable table = Table(true);
  Add(table, {"A", "item", "0"});
  Add(table, {"B", "item", "0"});
  table.Append();
  table.SetFieldAsString("Servidor", "C");
  EXPECT_EQ(table.RecordCount(), 2);
  table.First();
  EXPECT_EQ(table.RecordCount(), 3);
  table.Append();
  table.Next();
  table.Locate("Servidor", "A");
  table.Edit();
  table.Locate("Servidor", "A");  // dropping the empty edit keeps A before B
  EXPECT_EQ(Dump(table), "C,,;A,item,0;B,item,0;");
  table.Locate("Servidor", "A");
  table.Edit();
  table.Post();  // an explicit post places A after its equal, and the empty record after C
  table.Append();
  table.Post();
  EXPECT_EQ(Dump(table), "C,,;,,;B,item,0;A,item,0;");
}

TEST(PersistedTableTest, EditAndDeleteFollowTheCursor) {
  PersistedTable table = Table(false);
  table.Edit();  // an empty table appends instead
  table.SetFieldAsString("Atributo", "b");
  table.Post();
  for (const char* name : {"a", "c", "d"}) Add(table, {name, "-"});
  table.Locate("Atributo", "b");
  table.Delete();
  EXPECT_EQ(table.FieldAsString("Atributo"), "c");
  table.Locate("Atributo", "d");
  table.Delete();
  EXPECT_EQ(table.FieldAsString("Atributo"), "c");
  table.Append();
  table.Delete();  // while appending, only the new record goes
  table.Edit();
  table.SetFieldAsString("Valor", "x");
  EXPECT_EQ(table.FieldAsString("Valor"), "x");
  table.Delete();  // while editing, the change and the record go
  EXPECT_EQ(Dump(table), "a,;");
  EXPECT_EQ(test::ErrorOf([&] { table.SetFieldAsString("Valor", "1"); }),
            "Dataset not in edit or insert mode");
}

TEST(PersistedTableTest, ValuesConvertBetweenTextAndInteger) {
  PersistedTable table = Table(true);
  table.Append();
  EXPECT_EQ(table.FieldAsString("Registro"), "");
  EXPECT_EQ(table.FieldAsInteger("Registro"), 0);
  EXPECT_EQ(test::ErrorOf([&] { table.SetFieldAsString("Registro", "x1"); }),
            "'x1' is not a valid integer value");
  table.SetFieldAsInteger("Servidor", -7);
  EXPECT_EQ(table.FieldAsString("Servidor"), "-7");
  table.SetFieldAsString("Tabela", "abc");
  EXPECT_EQ(test::ErrorOf([&] { table.FieldAsInteger("Tabela"); }), "'abc' is not a valid integer value");
  EXPECT_EQ(test::ErrorOf([&] { table.FieldAsString("Nada"); }), "Field 'Nada' not found");
}

class PersistedTableFileTest : public ::testing::Test {
 protected:
  std::string Path(const char* name) const { return m_dir.filePath(name).toStdString(); }
  QStringList Listing() const {
    return QDir(m_dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
  }

  QTemporaryDir m_dir;
};

TEST_F(PersistedTableFileTest, SaveWritesTheDocumentedLayout) {
  PersistedTable settings = Table(false);
  Add(settings, {"TabelaRelembrar", "False"});
  Add(settings, {"Porta", "211"});
  settings.SaveToFile(Path("s.xml"));
  EXPECT_EQ(ReadBytes(m_dir.filePath("s.xml")), kSettingsPacket);

  PersistedTable matrix = Table(true);
  matrix.SaveToFile(Path("empty.xml"));
  EXPECT_EQ(ReadBytes(m_dir.filePath("empty.xml")), std::string(kMatrixHeader) + "</ROWDATA></DATAPACKET>");
  Add(matrix, {"-", "", "-"});
  Add(matrix, {"a&b<c>d\"e'f", "\xe9\x01\t\x7f", "-2147483648"});
  matrix.SaveToFile(Path("m.xml"));
  EXPECT_EQ(
      ReadBytes(m_dir.filePath("m.xml")),
      std::string(kMatrixHeader) +
          "<ROW Tabela=\"\"/><ROW Servidor=\"a&amp;b&lt;c&gt;d&quot;e'f\" Tabela=\"&#233;&#1;&#9;&#127;\" "
          "Registro=\"-2147483648\"/></ROWDATA></DATAPACKET>");
}

TEST_F(PersistedTableFileTest, SaveAndLoadReproduceTheRecords) {
  PersistedTable table = Table(true);
  for (const int32_t number : {INT32_MAX, INT32_MIN, 0, -1}) {
    Add(table, {"srv" + std::to_string(number), "same", std::to_string(number)});
  }
  Add(table, {"-", "unset", "-"});
  Add(table, {"second", "same", "0"});             // equal keys keep their order through the file
  for (int start = 0; start < 256; start += 30) {  // every byte, control characters included
    std::string bytes;
    for (int b = start; b < std::min(start + 30, 256); ++b) bytes += static_cast<char>(b);
    Add(table, {bytes, "bytes" + std::to_string(start), "-"});
  }
  Add(table, {std::string(31, 'n'), "cut", "1"});
  const std::string before = Dump(table);
  table.SaveToFile(Path("t.xml"));

  PersistedTable loaded = Table(true);
  loaded.LoadFromFile(Path("t.xml"));
  EXPECT_EQ(loaded.RecNo(), 1);
  EXPECT_EQ(Dump(loaded), before);
  loaded.SaveToFile(Path("again.xml"));  // byte-identical: unset stays unset, "" stays ""
  EXPECT_EQ(ReadBytes(m_dir.filePath("again.xml")), ReadBytes(m_dir.filePath("t.xml")));
  ASSERT_TRUE(loaded.Locate("Tabela", "cut"));
  EXPECT_EQ(loaded.FieldAsString("Servidor"), std::string(30, 'n'));
}

TEST_F(PersistedTableFileTest, LoadsPacketsWrittenByHand) {
  WriteBytes(
      m_dir.filePath("hand.xml"),
      "<?xml version=\"1.0\" standalone=\"yes\"?>\r\n<DATAPACKET Version=\"2.0\">\n <METADATA>\n <FIELDS>\n"
      "  <FIELD attrname=\"servidor\" fieldtype=\"string\" WIDTH=\"60\" required=\"true\"/>\n"
      "  <FIELD attrname=\"Tabela\" fieldtype=\"string\" SUBTYPE=\"Text\" WIDTH=\"30\"/>\n"
      "  <FIELD attrname=\"Registro\" fieldtype=\"i4\"/>\n </FIELDS>\n"
      " <PARAMS DEFAULT_ORDER=\"1\" LCID=\"1046\"/></METADATA>\n <ROWDATA>\n"
      "  <ROW RowState=\"4\" servidor=\"B\" Tabela=\"item\" Registro=\"2\"/>\n  <ROW servidor = '" +
          std::string(40, 'w') + "' Tabela=\"item\" Registro=\"1\" ></ROW>\n </ROWDATA>\n</DATAPACKET>\n");
  PersistedTable table = Table(true);
  table.LoadFromFile(Path("hand.xml"));
  EXPECT_EQ(Dump(table), std::string(30, 'w') + ",item,1;B,item,2;");

  WriteBytes(m_dir.filePath("utf8.xml"),
             ReplaceAll(ReplaceAll(kSettingsPacket, "standalone", "encoding=\"UTF-8\" standalone"), "211",
                        "Caf\xc3\xa9&#233;"));
  PersistedTable settings = Table(false);
  settings.LoadFromFile(Path("utf8.xml"));
  EXPECT_EQ(Dump(settings), "Porta,Caf\xe9\xe9;TabelaRelembrar,False;");
}

TEST_F(PersistedTableFileTest, UnreadableFilesFailAndStayUntouched) {
  const std::string good =
      std::string(kMatrixHeader) + "<ROW Tabela=\"t\" Registro=\"1\"/></ROWDATA></DATAPACKET>";
  const struct {
    std::string content;
    std::string error;  // after "Cannot read file <path>: "
  } cases[] = {
      {"", "the file is empty"},
      {good.substr(0, good.size() - 5), "XML error at line 1, column 327: Premature end of document."},
      {good + "<x/>", "XML error at line 1, column 336: Extra content at end of document."},
      {ReplaceAll(good, "\"i4\"", "\"string\" WIDTH=\"9\""), "its fields do not match the table's fields"},
      {ReplaceAll(good, "\"Tabela\"", "\"Nome\""), "its fields do not match the table's fields"},
      {ReplaceAll(good, "=\"1\"", "=\"2147483648\""), "'2147483648' is not a valid integer value"},
      {ReplaceAll(good, "\"t\"", "\"&#8364;\""),
       "the value of field Tabela holds a character outside ISO-8859-1"},
      {ReplaceAll(good, "Tabela=\"t\"", "Chave=\"t\""),
       "a row holds the attribute Chave, which is not a field"},
  };
  for (const auto& c : cases) {
    PersistedTable table = Table(true);
    Add(table, {"kept", "x", "0"});
    WriteBytes(m_dir.filePath("bad.xml"), c.content);
    EXPECT_EQ(test::ErrorOf([&] { table.LoadFromFile(Path("bad.xml")); }),
              "Cannot read file " + Path("bad.xml") + ": " + c.error);
    EXPECT_EQ(Dump(table), "kept,x,0;");
    EXPECT_EQ(ReadBytes(m_dir.filePath("bad.xml")), c.content);
  }
  PersistedTable table = Table(true);
  EXPECT_EQ(test::ErrorOf([&] { table.LoadFromFile(Path("missing.xml")); }),
            "Cannot open file " + Path("missing.xml"));
  ASSERT_TRUE(QDir(m_dir.path()).mkdir("dir.xml"));
  EXPECT_EQ(test::ErrorOf([&] { table.LoadFromFile(Path("dir.xml")); }),
            "Cannot open file " + Path("dir.xml"));
  EXPECT_EQ(Listing(), QStringList({"bad.xml", "dir.xml"}));  // loading never writes
}

TEST_F(PersistedTableFileTest, FailedSavesKeepTheEarlierFile) {
  PersistedTable table = Table(false);
  for (int i = 0; i < 500; ++i) Add(table, {"attribute" + std::to_string(i), std::string(30, 'v')});
  for (const qint64 capacity : {0, 100, 20000}) {
    FailingDevice device(capacity);
    EXPECT_EQ(test::ErrorOf([&] { table.SaveTo(device, "Servidor.xml"); }),
              "Cannot create file Servidor.xml");
  }
  ASSERT_TRUE(QDir(m_dir.path()).mkdir("dir.xml"));
  EXPECT_EQ(test::ErrorOf([&] { table.SaveToFile(Path("dir.xml")); }),
            "Cannot create file " + Path("dir.xml"));
  EXPECT_EQ(test::ErrorOf([&] { table.SaveToFile(Path("no/such.xml")); }),
            "Cannot create file " + Path("no/such.xml"));

  // A disk that fills part way through, buffered or not: the file-size limit binds even root.
  WriteBytes(m_dir.filePath("old.xml"), kSettingsPacket);
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit previous{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
  for (const rlim_t limit : {rlim_t{1000}, rlim_t{20000}}) {
    rlimit small = previous;
    small.rlim_cur = limit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::string error = test::ErrorOf([&] { table.SaveToFile(Path("old.xml")); });
    setrlimit(RLIMIT_FSIZE, &previous);
    EXPECT_EQ(error, "Cannot create file " + Path("old.xml"));
  }
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_TRUE(ReadBytes(m_dir.filePath("old.xml")) == kSettingsPacket)
      << "a torn file replaced the earlier one";
  EXPECT_EQ(Listing(), QStringList({"dir.xml", "old.xml"}));
  EXPECT_EQ(table.RecordCount(), 500);
}

}  // namespace
}  // namespace vespril
