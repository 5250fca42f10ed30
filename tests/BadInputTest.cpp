// Seeded random input, as a hostile or broken client would send it, through the frame reassembly and
// the INSERT rewriting. Each run draws the same inputs; a failure names its seed.
#include <cstdint>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/WireProtocol.h"
#include "statements/InsertRewriting.h"

namespace vespril {

// Frames print as their three fields, with every byte outside printable ASCII escaped.
void PrintTo(const Pedido& p, std::ostream* out) {
  for (const std::string* field : {&p.cliente, &p.pedido, &p.comando}) {
    for (unsigned char c : *field) {
      if (c >= 32 && c < 127) {
        *out << c;
      } else {
        *out << "\\x" << std::hex << static_cast<int>(c) << std::dec;
      }
    }
    *out << (field == &p.comando ? "" : "|");
  }
}

namespace {

const std::string kInicio(MarcaInicio);
const std::string kSep(Separador);
const std::string kFim(MarcaFim);

class Gerador {
 public:
  explicit Gerador(uint32_t seed) : m_random(seed) {}

  size_t Upto(size_t n) { return std::uniform_int_distribution<size_t>(0, n)(m_random); }
  bool OneIn(size_t n) { return Upto(n - 1) == 0; }

  // Text rich in the pieces delimiters are made of, whole delimiters now and then.
  // With anyByte, a random byte now and then.
  std::string Text(size_t maxPieces, const std::vector<std::string>& pieces, bool anyByte = true) {
    std::string out;
    for (size_t n = Upto(maxPieces); n > 0; --n) {
      if (anyByte && OneIn(4)) {
        out.push_back(static_cast<char>(Upto(255)));
      } else {
        out += pieces[Upto(pieces.size() - 1)];
      }
    }
    return out;
  }

  std::string Mutated(std::string text) {
    for (size_t n = Upto(3); n > 0 && !text.empty(); --n) {
      const size_t at = Upto(text.size() - 1);
      switch (Upto(2)) {
        case 0:
          text.erase(at, 1 + Upto(5));
          break;
        case 1:
          text.insert(at, Text(2, {kInicio, kSep, kFim, "\x1B", "\r\n"}));
          break;
        default:
          text[at] = static_cast<char>(Upto(255));
      }
    }
    return text;
  }

 private:
  std::mt19937 m_random;
};

const std::vector<std::string> kFramePieces = {"a",    "loja",     "42",     "\r",       "\n",    "\x1B",
                                               "\r\n", "\r\n\x1B", "GLAYPT", "TPYALG",   "GLAYP", kSep,
                                               kFim,   kInicio,    "Baixar", "select 1;"};

// The frames of a whole stream, cut as the protocol reads them, written independently of FrameAssembler:
// between frames skip to a start marker; then cliente and pedido end at a separator, comando at an end
// marker. Stops at a frame whose end hasn't come, or at one longer than the limit (*overflow).
std::vector<Pedido> Reference(std::string_view s, size_t limit, bool* overflow) {
  std::vector<Pedido> frames;
  *overflow = false;
  for (size_t at = 0, inicio; (inicio = s.find(kInicio, at)) != std::string_view::npos;) {
    const size_t cliente = inicio + kInicio.size();
    const size_t sep1 = s.find(kSep, cliente);
    const size_t sep2 = sep1 == std::string_view::npos ? sep1 : s.find(kSep, sep1 + kSep.size());
    const size_t fim = sep2 == std::string_view::npos ? sep2 : s.find(kFim, sep2 + kSep.size());
    if (fim == std::string_view::npos) break;
    if (fim - inicio > limit) {
      *overflow = true;
      break;
    }
    frames.push_back({std::string(s.substr(cliente, sep1 - cliente)),
                      std::string(s.substr(sep1 + kSep.size(), sep2 - sep1 - kSep.size())),
                      std::string(s.substr(sep2 + kSep.size(), fim - sep2 - kSep.size()))});
    at = fim + kFim.size();
  }
  return frames;
}

// A reply as the gateway builds it must cut back into its fields in their order, and its first end
// marker must be its last bytes (unless comando itself, echoed last, begins like one).
void ExpectReplyCutsBack(const Pedido& p, uint32_t seed) {
  const bool echoed = PodeEcoar(p.cliente, p.pedido);
  const std::string cliente = echoed ? p.cliente : "", pedido = echoed ? p.pedido : "";
  const std::string mensagem = "falha \x1B " + kFim;
  const std::string reply = MontarResposta(cliente, pedido, mensagem, p.comando);
  const size_t sep1 = reply.find(kSep, kInicio.size());
  const size_t sep2 = reply.find(kSep, sep1 + kSep.size());
  const size_t sep3 = reply.find(kSep, sep2 + kSep.size());
  const size_t fim = reply.find(kFim, sep3 + kSep.size());
  ASSERT_TRUE(reply.starts_with(kInicio) && fim == reply.size() - kFim.size()) << seed;
  EXPECT_EQ(reply.substr(kInicio.size(), sep1 - kInicio.size()), cliente) << seed;
  EXPECT_EQ(reply.substr(sep1 + kSep.size(), sep2 - sep1 - kSep.size()), pedido) << seed;
  EXPECT_EQ(reply.substr(sep2 + kSep.size(), sep3 - sep2 - kSep.size()), "falha <ESC> \r\n<ESC>GLAYPT")
      << seed;
  EXPECT_EQ(reply.substr(sep3 + kSep.size(), fim - sep3 - kSep.size()), p.comando) << seed;
  if (!p.comando.starts_with("GLAYPT")) {
    EXPECT_EQ(reply.find(kFim), fim) << seed;
  }
}

// 400 streams of 300 frames each: whole frames, frames with delimiters in every field, mutated frames,
// garbage between them, fed in pieces of 1 to 40 bytes. What comes out is what the stream holds, every
// whole frame once, in order.
TEST(BadInputTest, RandomFramesInRandomPiecesComeOutAsTheStreamHoldsThem) {
  size_t frames = 0, whole = 0;
  for (uint32_t seed = 1; seed <= 400; ++seed) {
    Gerador g(seed);
    const bool cleanStream = seed % 2 == 0;  // whole frames only, without garbage
    const size_t limit = !cleanStream && g.OneIn(4) ? 64 + g.Upto(64) : kMaxFrameBytes;
    std::string stream;
    std::vector<Pedido> clean;
    for (int i = 0; i < 300; ++i) {
      if (cleanStream) {
        Pedido p{g.Text(3, {"a", "loja", ".", "\r", "\n", "GLAYPT", "\xE1"}, false),
                 g.Text(3, {"1", "42", "\r\n", "TPYALG"}, false),
                 g.Text(6, {"x", "\r\n", kSep, "\x1B", "GLAYP", kInicio, ";"})};
        if ((p.comando + kFim).find(kFim) != p.comando.size()) p.comando = "x";
        stream += kInicio + p.cliente + kSep + p.pedido + kSep + p.comando + kFim;
        clean.push_back(p);
        ++whole;
        continue;
      }
      std::string frame = kInicio + g.Text(3, kFramePieces) + kSep + g.Text(3, kFramePieces) + kSep +
                          g.Text(8, kFramePieces) + kFim;
      if (g.OneIn(3)) frame = g.Mutated(frame);
      if (g.OneIn(3)) stream += g.Text(4, kFramePieces);
      stream += frame;
    }
    bool overflow = false;
    const std::vector<Pedido> expected = Reference(stream, limit, &overflow);
    if (cleanStream) {
      for (size_t i = 0; i < std::min(expected.size(), clean.size()); ++i) {
        ASSERT_EQ(expected[i], clean[i]) << "seed " << seed << " frame " << i;
      }
      ASSERT_EQ(expected.size(), clean.size()) << "seed " << seed;
    }

    FrameAssembler assembler(limit);
    std::vector<Pedido> got;
    for (size_t at = 0; at < stream.size();) {
      const size_t piece = 1 + g.Upto(39);
      assembler.Append(std::string_view(stream).substr(at, piece));
      at += piece;
      while (std::optional<Pedido> p = assembler.Next()) got.push_back(std::move(*p));
    }
    ASSERT_EQ(got, expected) << "seed " << seed;
    if (overflow) {
      EXPECT_TRUE(assembler.Overflowed()) << "seed " << seed;
    }
    for (const Pedido& p : got) ExpectReplyCutsBack(p, seed);
    frames += got.size();
  }
  EXPECT_GE(frames, 100'000u);
  EXPECT_GE(whole, 60'000u);
}

const std::vector<std::string> kInsertPieces = {"insert",
                                                "into",
                                                " ",
                                                "T",
                                                "PEDIDO",
                                                "(",
                                                ")",
                                                ",",
                                                ";",
                                                "values",
                                                "1",
                                                "'x'",
                                                std::string(SeparadorChave),
                                                "\x1B",
                                                "\n",
                                                "\r",
                                                "\t",
                                                "\"",
                                                "PAI",
                                                "IDPAI"};

// 100,000 statements, random and mutated annotated INSERTs, through the three rewriting steps: nothing
// crashes and each keeps its contract.
TEST(BadInputTest, RandomStatementsThroughTheInsertRewriting) {
  const std::string sep(SeparadorChave);
  Gerador g(20261208);
  for (int i = 0; i < 100'000; ++i) {
    std::string statement = g.OneIn(2) ? g.Text(12, kInsertPieces)
                                       : g.Mutated("insert into ITEM (QTD) values (1)" + sep +
                                                   "PEDIDO, IDPEDIDO" + sep + "PAI , IDPAI" + sep + ";");
    const InsertSeparado separado = SepararChaves(statement);
    const size_t first = statement.find(sep);
    if (first == std::string::npos) {
      ASSERT_EQ(separado.sql, statement) << i;
      ASSERT_TRUE(separado.chaves.empty()) << i;
    } else {
      ASSERT_EQ(separado.sql, statement.substr(0, first) + ";") << i;
      ASSERT_FALSE(separado.chaves.empty()) << i;
      for (const ChaveEstrangeira& chave : separado.chaves) {
        for (const std::string& name : {chave.TabelaPai, chave.Campo}) {
          ASSERT_TRUE(name.empty() || (static_cast<unsigned char>(name.front()) > 32 &&
                                       static_cast<unsigned char>(name.back()) > 32))
              << i;
        }
      }
    }
    const std::string tabela = ExtrairTabela(separado.sql);
    ASSERT_EQ(tabela.find(' '), std::string::npos) << i;
    ASSERT_NE(separado.sql.find(tabela), std::string::npos) << i;

    const std::string rewritten = IncluirCampo(separado.sql, "IDITEM", "7");
    const size_t columns = separado.sql.find('(');
    if (columns == std::string::npos || separado.sql.find('(', columns + 1) == std::string::npos) {
      ASSERT_EQ(rewritten, separado.sql) << i;
    } else {
      ASSERT_EQ(rewritten.size(), separado.sql.size() + 11) << i;
      ASSERT_EQ(rewritten.substr(columns + 1, 8), "IDITEM, ") << i;
    }
  }
}

}  // namespace
}  // namespace vespril
