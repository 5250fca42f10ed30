#include "protocol/WireProtocol.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vespril {
namespace {

// The delimiters as the wire carries them, spelt out byte by byte rather than taken from the header.
const std::string kInicio =
    "\x0D\x0A\x1B"
    "TPYALG"
    "\x1B\x0A\x0D";
const std::string kSep = "\x0D\x0A\x1B";
const std::string kFim =
    "\x0D\x0A\x1B"
    "GLAYPT";

std::string Frame(const std::string& cliente, const std::string& pedido, const std::string& comando) {
  return kInicio + cliente + kSep + pedido + kSep + comando + kFim;
}

// Everything the assembler hands out, one frame per line.
std::string Drain(FrameAssembler& assembler) {
  std::string out;
  while (std::optional<Pedido> p = assembler.Next())
    out += p->cliente + "|" + p->pedido + "|" + p->comando + "\n";
  return out;
}

TEST(WireProtocolTest, BaixarRequestAndItsReplyByteForByte) {
  FrameAssembler assembler;
  EXPECT_EQ(MontarPedido("loja.3", "42", "Baixar"),
            kInicio + "loja.3" + kSep + "42" + kSep + "Baixar" + kFim);
  // Any frame, escaping nothing, for peers that send what no well-behaved one would.
  EXPECT_EQ(MontarQuadro({"a", "", "b\x1B"}), kInicio + "a" + kSep + kSep + "b\x1B" + kFim);
  assembler.Append(MontarPedido("loja.3", "42", "Baixar"));
  const std::optional<Pedido> pedido = assembler.Next();
  ASSERT_TRUE(pedido);
  EXPECT_EQ(*pedido, (Pedido{"loja.3", "42", "Baixar"}));

  const std::string path = "/opt/vespril/Consultaloja342.xml";  // CaminhoArquivoConsultaTest names it
  EXPECT_EQ(MontarResposta(pedido->cliente, pedido->pedido, "", path),
            kInicio + "loja.3" + kSep + "42" + kSep + kSep + "/opt/vespril/Consultaloja342.xml" + kFim);
}

// A client cuts a reply at its delimiters: no field may hold one, nor begin where a separator and the
// field's first bytes would read as the end marker.
TEST(WireProtocolTest, RepliesNeverHoldADelimiterOfTheirOwnFields) {
  EXPECT_EQ(MontarResposta("c", "p", "tabela \"A" + kFim + "\" desconhecida\x1B", "r"),
            kInicio + "c" + kSep + "p" + kSep + "tabela \"A\r\n<ESC>GLAYPT\" desconhecida<ESC>" + kSep + "r" +
                kFim);
  struct Case {
    std::string cliente, pedido;
    bool echoed;
  };
  const std::vector<Case> cases = {
      {"loja.3", "42", true},       {"", "", true},        {"GLAYPT", "1", true},  {"c", "1GLAYPT", true},
      {"c\r\n", "\r\n1", true},     {"c", "GLAYP", true},  {"c", "GLAYPT", false}, {"c", "GLAYPTb", false},
      {"\n\x1BGLAYPT", "1", false}, {"a\x1B", "1", false}, {"c", "\x1B", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(PodeEcoar(c.cliente, c.pedido), c.echoed) << c.cliente << "|" << c.pedido;
}

TEST(WireProtocolTest, ParsesWhatOneAppendDelivers) {
  struct Case {
    const char* what;
    std::string stream;
    std::string frames;
    size_t buffered;
  };
  const std::vector<Case> cases = {
      {"two frames back to back", Frame("a", "1", "select 1") + Frame("b", "2", "Deletar"),
       "a|1|select 1\nb|2|Deletar\n", 0},
      {"junk before a frame", "lixo\r\n\x1B" + Frame("a", "1", "x"), "a|1|x\n", 0},
      {"junk between frames", Frame("a", "1", "x") + "\r\n\x1BTPY lixo" + Frame("b", "2", "y"),
       "a|1|x\nb|2|y\n", 0},
      {"comando holds separators", Frame("a", "1", "x" + kSep + "y" + kSep),
       "a|1|x" + kSep + "y" + kSep + "\n", 0},
      {"empty fields", Frame("", "", ""), "||\n", 0},
      {"no separator: the next start marker's head ends pedido", kInicio + "a" + kFim + Frame("b", "2", "y"),
       "a|GLAYPT|TPYALG\x1B\n\rb" + kSep + "2" + kSep + "y\n", 0},
      {"one separator: comando runs to the next end marker",
       kInicio + "a" + kSep + "1" + kFim + Frame("b", "2", "y"),
       "a|1|GLAYPT" + kInicio + "b" + kSep + "2" + kSep + "y\n", 0},
      {"delimiter bytes alone in fields", Frame("\r\n", "\x1B", "\r\n\x1BGLAYP"), "\r\n|\x1B|\r\n\x1BGLAYP\n",
       0},
      {"an end marker right after the start marker's last byte is content",
       kInicio + "\n\x1BGLAYPT" + kSep + "p" + kSep + "c" + kFim, "\n\x1BGLAYPT|p|c\n", 0},
      {"a start marker inside comando is content",
       Frame("a", "b", "x" + kInicio + "y") + Frame("c", "d", "Baixar"),
       "a|b|x" + kInicio + "y\nc|d|Baixar\n", 0},
      {"fields may begin like an end marker", Frame("a", "GLAYPT1", "Baixar") + Frame("b", "1", "GLAYPT"),
       "a|GLAYPT1|Baixar\nb|1|GLAYPT\n", 0},
      {"an end marker where the first separator stands begins pedido",
       kInicio + "a" + kFim + "1" + kSep + "c" + kFim, "a|GLAYPT1|c\n", 0},
      {"unfinished frame is kept", Frame("a", "1", "x") + kInicio + "b" + kSep, "a|1|x\n",
       kInicio.size() + 4},
      {"junk after the last frame keeps only a marker's head", Frame("a", "1", "x") + "lixo lixo\r\n\x1BTPYA",
       "a|1|x\n", kInicio.size() - 1},
      {"junk only", "sem marca nenhuma aqui", "", kInicio.size() - 1},
      {"nothing", "", "", 0},
  };
  for (const Case& c : cases) {
    FrameAssembler assembler;
    assembler.Append(c.stream);
    EXPECT_EQ(Drain(assembler), c.frames) << c.what;
    EXPECT_EQ(assembler.Buffered(), c.buffered) << c.what;
    EXPECT_FALSE(assembler.Overflowed()) << c.what;
  }
}

TEST(WireProtocolTest, EverySplitOfTheStreamGivesTheSameFrames) {
  struct Case {
    std::string stream;
    std::string frames;
    size_t buffered;
  };
  const std::vector<Case> cases = {
      {Frame("loja.3", "42", "Baixar") + Frame("c", "7", "a" + kSep + "b"),
       "loja.3|42|Baixar\nc|7|a" + kSep + "b\n", 0},
      {kInicio + "x" + kSep + "GLAYPT" + kSep + "cut" + kInicio +
           Frame("GLAYPT", "GLAYPT", "a" + kSep + "GLAYP"),
       "x|GLAYPT|cut" + kInicio + kInicio + "GLAYPT\n", MarcaInicio.size() - 1},
      {"\r\n\x1BTP" + Frame("a", "1", "x") + "\r\n\x1B\r\n" + Frame("b", "2", "") + "\r\n\x1BTPYALG",
       "a|1|x\nb|2|\n", 9},
  };
  for (const auto& [stream, expected, buffered] : cases) {
    for (size_t i = 0; i <= stream.size(); ++i) {
      for (size_t j = i; j <= stream.size(); ++j) {
        FrameAssembler assembler;
        std::string got;
        assembler.Append(stream.substr(0, i));
        got += Drain(assembler);
        assembler.Append(stream.substr(i, j - i));
        got += Drain(assembler);
        assembler.Append(stream.substr(j));
        got += Drain(assembler);
        ASSERT_EQ(got, expected) << "cut at " << i << " and " << j;
        ASSERT_EQ(assembler.Buffered(), buffered) << "cut at " << i << " and " << j;
      }
    }
    FrameAssembler bytewise;
    std::string got;
    for (char c : stream) {
      bytewise.Append(std::string_view(&c, 1));
      got += Drain(bytewise);
    }
    EXPECT_EQ(got, expected);
  }
}

// Replies have one field more: Mensagem and Retorno end at the third Separador and at MarcaFim, so a
// script echoed in Retorno keeps its separators.
TEST(WireProtocolTest, RepliesAreCutTheSameWayWhateverTheSplit) {
  const std::string stream = "\r\n\x1B" + MontarResposta("c", "1", "", "a" + kSep + "b;") + "lixo" +
                             MontarResposta("c", "2", "Falha\r\nlinha 2", "/dir/Consultac2.xml") + kInicio +
                             "c" + kSep + "3" + kSep + "m" + kSep;
  const std::string expected = "c|1||a" + kSep + "b;\nc|2|Falha\r\nlinha 2|/dir/Consultac2.xml\n";
  for (size_t i = 0; i <= stream.size(); ++i) {
    ReplyAssembler assembler;
    std::string got;
    for (const std::string& piece : {stream.substr(0, i), stream.substr(i)}) {
      assembler.Append(piece);
      while (std::optional<Resposta> r = assembler.Next())
        got += r->cliente + "|" + r->pedido + "|" + r->mensagem + "|" + r->retorno + "\n";
    }
    ASSERT_EQ(got, expected) << "cut at " << i;
    ASSERT_EQ(assembler.Buffered(), kInicio.size() + 12) << "cut at " << i;
  }
}

TEST(WireProtocolTest, EndMarkerSplitAfterItsSeparatorBytesWaitsForTheRest) {
  FrameAssembler assembler;
  assembler.Append(kInicio + "a" + kSep + "1" + kSep + "x" + kSep);
  EXPECT_EQ(Drain(assembler), "");
  assembler.Append("GLAYP");
  EXPECT_EQ(Drain(assembler), "");
  assembler.Append("T");
  EXPECT_EQ(Drain(assembler), "a|1|x\n");
  EXPECT_EQ(assembler.Buffered(), 0u);
}

TEST(WireProtocolTest, JunkNeverAccumulates) {
  FrameAssembler assembler;
  const std::string junk = std::string(1 << 16, 'j') + "\r\n\x1BTPYAL";
  for (int i = 0; i < 200; ++i) {
    assembler.Append(junk);
    ASSERT_LT(assembler.Buffered(), kInicio.size());
  }
  EXPECT_FALSE(assembler.Overflowed());
  assembler.Append(Frame("a", "1", "x"));
  EXPECT_EQ(Drain(assembler), "a|1|x\n");
}

TEST(WireProtocolTest, OverflowDoesNotDependOnHowTheFrameIsCut) {
  const size_t limit = 40;
  const std::string before = Frame("a", "1", "x");
  const std::string head = kInicio + "c" + kSep + "2" + kSep;
  const std::string fits = head + std::string(limit - head.size(), 'z') + kFim;
  const std::string tooLong = head + std::string(limit - head.size() + 1, 'z') + kFim;

  for (const bool overflows : {false, true}) {
    const std::string stream = before + (overflows ? tooLong : fits) + Frame("d", "3", "w");
    for (size_t piece : {stream.size(), size_t{1}, size_t{7}}) {
      FrameAssembler assembler(limit);
      for (size_t at = 0; at < stream.size(); at += piece) assembler.Append(stream.substr(at, piece));
      EXPECT_EQ(assembler.Overflowed(), overflows) << "pieces of " << piece;
      EXPECT_EQ(Drain(assembler),
                overflows ? "a|1|x\n" : "a|1|x\nc|2|" + std::string(limit - head.size(), 'z') + "\nd|3|w\n")
          << "pieces of " << piece;
      if (overflows) {
        EXPECT_EQ(assembler.Buffered(), 0u);
      }
    }
  }
}

TEST(WireProtocolTest, UnfinishedFrameOverflowsPastTheDefaultLimit) {
  FrameAssembler assembler;
  assembler.Append(kInicio);
  const std::string chunk(1 << 20, 'x');
  while (assembler.Buffered() + chunk.size() <= kMaxFrameBytes) assembler.Append(chunk);
  EXPECT_FALSE(assembler.Overflowed());
  assembler.Append(std::string(kMaxFrameBytes - assembler.Buffered() + MarcaFim.size(), 'x'));
  EXPECT_TRUE(assembler.Overflowed());
  EXPECT_EQ(assembler.Buffered(), 0u);
  assembler.Append(chunk);
  EXPECT_EQ(assembler.Buffered(), 0u);
}

// Its speed is measured by the frame benchmark in bench/; here only the result counts.
TEST(WireProtocolTest, LargeFrameFullOfNearMissMarkersArrivesWholeFromSmallPieces) {
  std::string comando;
  while (comando.size() < (2u << 20)) comando += "abc" + kSep + "\r\n\x1BGLAY";
  const std::string stream = Frame("a", "1", comando);

  FrameAssembler assembler;
  for (size_t at = 0; at < stream.size(); at += 64) assembler.Append(std::string_view(stream).substr(at, 64));

  const std::optional<Pedido> pedido = assembler.Next();
  ASSERT_TRUE(pedido);
  EXPECT_EQ(pedido->comando, comando);
  EXPECT_FALSE(assembler.Next());
}

}  // namespace
}  // namespace vespril
