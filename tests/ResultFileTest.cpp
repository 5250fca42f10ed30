// Result files as the gateway writes them, read back and shown as a table.
#include "client/ResultFile.h"

#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QBuffer>

#include "execution/ArquivoConsulta.h"

namespace vespril {
namespace {

using Rows = std::vector<std::vector<std::pair<std::string, std::string>>>;

// The file the gateway's own writer makes of these rows.
std::string Written(const Rows& rows) {
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  ArquivoConsulta file(buffer, "test");
  for (const auto& row : rows) {
    std::vector<std::string> names, values;
    for (const auto& [name, value] : row) {
      names.push_back(name);
      values.push_back(value);
    }
    file.EscreverRegistro(names, values);
  }
  file.Finalizar();
  return buffer.data().toStdString();
}

std::string Dump(const std::vector<RegistroConsulta>& registros) {
  std::string out;
  for (const RegistroConsulta& registro : registros) {
    for (const CampoConsulta& campo : registro) out += campo.nome + "=" + campo.valor + ";";
    out += "\n";
  }
  return out;
}

TEST(ResultFileTest, ReadsBackWhatTheGatewayWrites) {
  const std::vector<Rows> cases = {
      {},
      {{{"ID", "1"}, {"NOME", "Ana"}}, {{"ID", "7"}, {"NOME", "B&C"}}, {{"ID", "9"}, {"NOME", ""}}},
      {{{"V", "a < b > c \"q\" 'a'"}}, {{"V", "&amp; stays &amp;"}}, {{"V", "linha 1\r\nlinha 2\n"}}},
      // Text shaped like the file's own lines, inside a value.
      {{{"V", "x</V>\r\n"}, {"W", "</V>\r\n    <registro>\r\n"}}, {{"V", "\xE7\xE3o"}, {"W", "&#65;"}}},
  };
  for (const Rows& rows : cases) {
    std::string expected;
    for (const auto& row : rows) {
      for (const auto& [name, value] : row) expected += name + "=" + value + ";";
      expected += "\n";
    }
    EXPECT_EQ(Dump(LerArquivoConsulta(Written(rows))), expected);
  }
}

TEST(ResultFileTest, ResolvesCharacterReferencesAndRefusesOtherText) {
  const std::string head =
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n  <dados>\r\n    <registro>\r\n";
  const std::string tail = "    </registro>\r\n  </dados>\r\n";
  EXPECT_EQ(Dump(LerArquivoConsulta(
                head + "      <V>&lt;&gt;&quot;&apos;&#65;&#xe7;&#300;&#;&bogus;&</V>\r\n" + tail)),
            "V=<>\"'A\xE7&#300;&#;&bogus;&;\n");

  const std::vector<std::pair<std::string, std::string>> broken = {
      {"",
       "Not a result file: line 1: the file ends before \"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\""},
      {head + "      <V>1</V>\r\n", "Not a result file: line 5: the file ends before \"</registro>\""},
      {head + "      <V>1</V>\r\n  </dados>\r\n", "Not a result file: line 4: no </V> ends this column"},
      {head + tail.substr(0, 17), "Not a result file: line 5: the file ends before \"</dados>\""},
      {head + "      <V>1</V>\n" + tail, "Not a result file: line 4: no </V> ends this column"},
      {head + "      <>1</>\r\n" + tail, "Not a result file: line 4: expected <NAME>"},
      {head + tail + "x", "Not a result file: line 6: text after </dados>"},
  };
  for (const auto& [text, message] : broken) {
    try {
      LerArquivoConsulta(text);
      ADD_FAILURE() << "read: " << text;
    } catch (const ResultFileError& e) {
      EXPECT_EQ(e.what(), message);
    }
  }
}

// The rows read, or the failure.
template <typename Read>
std::string Outcome(Read read) {
  try {
    return Dump(read());
  } catch (const ResultFileError& e) {
    return e.what();
  }
}

// Read in pieces cut anywhere, a text gives what it gives read whole: the same rows, or the same
// failure at the same line.
TEST(ResultFileTest, PiecesCutAnywhereReadAsTheWholeText) {
  const std::string head =
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n  <dados>\r\n    <registro>\r\n      <V>1</V>\r\n";
  const std::vector<std::string> texts = {
      Written(
          {{{"V", "x</V>\r\n    </registro>\r\n"}, {"W", "</V>\r\n      <W>"}}, {{"V", "&amp;"}, {"W", ""}}}),
      Written({}),
      head,
      head + "   ",
      head + "    </registro>\r\n  </dados>\r\nx",
      head + "      <>1</>\r\n",
      head.substr(0, 30),
  };
  const auto inPieces = [](const std::string& text, const std::vector<size_t>& cuts) {
    return Outcome([&] {
      std::vector<RegistroConsulta> registros;
      LeitorArquivoConsulta leitor([&](RegistroConsulta&& r) { registros.push_back(std::move(r)); });
      size_t at = 0;
      for (size_t cut : cuts) {
        leitor.Ler(std::string_view(text).substr(at, cut - at));
        at = cut;
      }
      leitor.Ler(std::string_view(text).substr(at));
      leitor.Fim();
      return registros;
    });
  };
  for (const std::string& text : texts) {
    const std::string whole = Outcome([&] { return LerArquivoConsulta(text); });
    // Two pieces cut at each byte, then pieces of one byte.
    for (size_t cut = 0; cut <= text.size(); ++cut)
      EXPECT_EQ(inPieces(text, {cut}), whole) << cut << ": " << text;
    std::vector<size_t> bytes(text.empty() ? 0 : text.size() - 1);
    std::iota(bytes.begin(), bytes.end(), 1);
    EXPECT_EQ(inPieces(text, bytes), whole) << text;
  }
}

TEST(ResultFileTest, TableAlignsColumnsAndGivesLineBreaksLinesOfTheirOwn) {
  const std::string wide(40, 'w');
  const std::vector<RegistroConsulta> registros = {
      {{"ID", "1"}, {"NOME", "Ana"}, {"PRECO", "10.50"}, {"OBS", ""}},
      {{"ID", "127"}, {"NOME", "B&C"}, {"PRECO", ""}, {"OBS", "um\r\ndois"}},
      {{"ID", "-3"}, {"NOME", "S\xC3\xA3o"}, {"PRECO", "9"}, {"OBS", wide}},
  };
  EXPECT_EQ(FormatarTabela(registros),
            " ID NOME PRECO OBS\n"
            "=== ==== ===== " +
                std::string(40, '=') +
                "\n"
                "  1 Ana  10.50\n"
                "127 B&C        um\n"
                "               dois\n"
                " -3 S\xC3\xA3o      9 " +
                wide + "\n");
  EXPECT_EQ(FormatarTabela({}), "");
}

}  // namespace
}  // namespace vespril
