#include "statements/InsertRewriting.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vespril {
namespace {

// Spelt out so the cases read like the statements a client sends.
const std::string SEP(SeparadorChave);

// The pairs as one line, so a whole result is compared in one assertion.
std::string Dump(const InsertSeparado& separado) {
  std::string out = separado.sql;
  for (const ChaveEstrangeira& chave : separado.chaves)
    out += " [" + chave.TabelaPai + "|" + chave.Campo + "]";
  return out;
}

TEST(InsertRewritingTest, SepararChavesCutsTheAnnotationsOff) {
  struct Case {
    const char* what;
    std::string statement;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"no separator: unchanged, no pairs", "insert into ITEM (QTD) values (2);",
       "insert into ITEM (QTD) values (2);"},
      {"two pairs, the blank before the second comma trimmed",
       "insert into ITEM (QTD, PRECO) values (2, 10)" + SEP + "PEDIDO, IDPEDIDO" + SEP +
           "PRODUTO , IDPRODUTO" + SEP + ";",
       "insert into ITEM (QTD, PRECO) values (2, 10); [PEDIDO|IDPEDIDO] [PRODUTO|IDPRODUTO]"},
      {"line breaks and blanks around the names",
       "insert into ITEM (QTD) values (2)\r\n" + SEP + "\r\n  PEDIDO ,\r\n\tIDPEDIDO \r\n" + SEP + "\r\n;",
       "insert into ITEM (QTD) values (2)\r\n; [PEDIDO|IDPEDIDO]"},
      {"doubled separator before the first pair",
       "insert into ITEM (QTD) values (2)" + SEP + SEP + "PEDIDO, IDPEDIDO" + SEP + ";",
       "insert into ITEM (QTD) values (2); [PEDIDO|IDPEDIDO]"},
      {"doubled separator between pairs",
       "insert into I (Q) values (2)" + SEP + "PEDIDO, IDPEDIDO" + SEP + SEP + "PRODUTO, IDPRODUTO" + SEP +
           ";",
       "insert into I (Q) values (2); [PEDIDO|IDPEDIDO] [PRODUTO|IDPRODUTO]"},
      {"doubled separator at the end",
       "insert into I (Q) values (2)" + SEP + "PEDIDO, IDPEDIDO" + SEP + SEP + ";",
       "insert into I (Q) values (2); [PEDIDO|IDPEDIDO]"},
      {"separator followed only by the semicolon: one empty pair", "insert into I (Q) values (2)" + SEP + ";",
       "insert into I (Q) values (2); [|]"},
      {"pair without its closing separator", "insert into I (Q) values (2)" + SEP + "PEDIDO, IDPEDIDO;",
       "insert into I (Q) values (2); [PEDIDO|]"},
      {"closing separator with nothing after it is trimmed away",
       "insert into I (Q) values (2)" + SEP + "PEDIDO, IDPEDIDO" + SEP,
       "insert into I (Q) values (2); [PEDIDO|]"},
      {"pair without a comma", "insert into I (Q) values (2)" + SEP + "PEDIDO" + SEP + ";",
       "insert into I (Q) values (2); [|PEDIDO]"},
      {"a pair without its comma takes the next pair's table along",
       "insert into I (Q) values (2)" + SEP + "T0, C0" + SEP + "C1" + SEP + "T2, C2" + SEP + ";",
       "insert into I (Q) values (2); [T0|C0] [C1" + SEP + "T2|C2]"},
      {"text after the last separator is ignored",
       "insert into I (Q) values (2)" + SEP + "PEDIDO, IDPEDIDO" + SEP + "; -- resto",
       "insert into I (Q) values (2); [PEDIDO|IDPEDIDO]"},
      {"high bytes are kept in the names",
       "insert into I (Q) values (2)" + SEP +
           "PE\xC7"
           "A, C\xC3O" +
           SEP + ";",
       "insert into I (Q) values (2); [PE\xC7"
       "A|C\xC3O]"},
      {"separator as the very first bytes", SEP + "PEDIDO, IDPEDIDO" + SEP + ";", "; [PEDIDO|IDPEDIDO]"},
      {"empty statement", "", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Dump(SepararChaves(c.statement)), c.expected) << c.what;
}

TEST(InsertRewritingTest, SepararChavesKeepsEveryPairOfALongList) {
  std::string statement = "insert into I (Q) values (2)" + SEP;
  std::string expected = "insert into I (Q) values (2);";
  for (int i = 0; i < 2000; ++i) {
    const std::string n = std::to_string(i);
    statement += "T" + n + ", C" + n + SEP;
    expected += " [T" + n + "|C" + n + "]";
  }
  statement += ";";
  EXPECT_EQ(Dump(SepararChaves(statement)), expected);
}

TEST(InsertRewritingTest, ExtrairTabelaTakesTheWordAfterLowerCaseInto) {
  struct Case {
    const char* statement;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"insert into ITEM (QTD) values (2);", "ITEM"},
      {"insert into ITEM(QTD) values (2);", "ITEM(QTD)"},
      {"insert into ITEM\r\n(QTD) values (2);", "ITEM\r\n(QTD)"},
      {"INSERT INTO ITEM (QTD) values (2);", "RT"},
      {"insert into   \r\n ITEM (QTD) values (2);", "ITEM"},
      {"insert intoITEM (Q) values (2);", "TEM"},  // the byte after "into" is skipped whatever it is
      {"insert into ITEM;", ""},                   // no blank after the name
      {"insert into", ""},                         // nothing after "into"
      {"insert into ", ""},                        // only the skipped byte
      {"select 1 from T into :x ;", ":x"},         // the first "into" wins, wherever it is
      {"ins", ""},                                 // shorter than the skipped bytes
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ExtrairTabela(c.statement), c.expected) << c.statement;
}

TEST(InsertRewritingTest, IncluirCampoPutsTheColumnAndValueFirst) {
  struct Case {
    const char* statement;
    const char* column;
    const char* value;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"insert into ITEM (QTD, PRECO) values (2, 10);", "IDPEDIDO", "41",
       "insert into ITEM (IDPEDIDO, QTD, PRECO) values (41, 2, 10);"},
      {"insert into ITEM (QTD) values (2);", "", "41", "insert into ITEM (, QTD) values (41, 2);"},
      {"insert into ITEM (QTD) values ('a(b');", "ID", "7", "insert into ITEM (ID, QTD) values (7, 'a(b');"},
      {"insert into ITEM(QTD)values(2);", "ID", "7", "insert into ITEM(ID, QTD)values(7, 2);"},
      {"(()", "C", "V", "(C, (V, )"},
      {"(()(", "C", "V", "(C, (V, )("},
      // Not both parentheses: the statement goes to the database as it came.
      {"insert into ITEM values (2);", "ID", "7", "insert into ITEM values (2);"},
      {"delete from ITEM;", "ID", "7", "delete from ITEM;"},
      {"insert into ITEM (", "ID", "7", "insert into ITEM ("},
      {"(", "ID", "7", "("},
      {"", "ID", "7", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IncluirCampo(c.statement, c.column, c.value), c.expected) << c.statement;
}

TEST(InsertRewritingTest, IncluirCampoAppliedLastStandsFirst) {
  const std::string once = IncluirCampo("insert into ITEM (QTD, PRECO) values (2, 10);", "IDPEDIDO", "41");
  EXPECT_EQ(IncluirCampo(once, "IDITEM", "7"),
            "insert into ITEM (IDITEM, IDPEDIDO, QTD, PRECO) values (7, 41, 2, 10);");
}

TEST(InsertRewritingTest, ExecutorsSequenceOnAnAnnotatedInsert) {
  const InsertSeparado separado = SepararChaves("insert into ITEM (QTD, PRECO) values (2, 10)" + SEP +
                                                "PEDIDO, IDPEDIDO" + SEP + "PRODUTO , IDPRODUTO" + SEP + ";");
  std::string sql = separado.sql;
  sql = IncluirCampo(sql, separado.chaves[0].Campo, "41");
  sql = IncluirCampo(sql, separado.chaves[1].Campo, "5");
  EXPECT_EQ(ExtrairTabela(sql), "ITEM");
  sql = IncluirCampo(sql, "IDITEM", "7");
  EXPECT_EQ(sql, "insert into ITEM (IDITEM, IDPRODUTO, IDPEDIDO, QTD, PRECO) values (7, 5, 41, 2, 10);");
}

}  // namespace
}  // namespace vespril
