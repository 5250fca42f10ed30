// Frame reassembly under libFuzzer. The first input byte chooses how the rest is cut into pieces; the
// frames handed out, and whether the stream overflowed, must not depend on the cut. Every frame must
// make a reply that cuts back into its fields. A small frame limit brings the overflow path in reach.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/WireProtocol.h"

namespace {

using vespril::FrameAssembler;
using vespril::Pedido;

constexpr size_t kLimit = 512;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

std::vector<Pedido> Feed(std::string_view stream, size_t piece, bool* overflowed) {
  FrameAssembler assembler(kLimit);
  std::vector<Pedido> frames;
  for (size_t at = 0; at < stream.size(); at += piece) {
    assembler.Append(stream.substr(at, piece));
    Check(assembler.Buffered() <= kLimit + vespril::MarcaFim.size() || assembler.Overflowed());
    while (std::optional<Pedido> p = assembler.Next()) frames.push_back(std::move(*p));
  }
  *overflowed = assembler.Overflowed();
  return frames;
}

void CheckReply(const Pedido& p) {
  using vespril::MarcaFim;
  using vespril::MarcaInicio;
  using vespril::Separador;
  const bool echoed = vespril::PodeEcoar(p.cliente, p.pedido);
  const std::string cliente = echoed ? p.cliente : "", pedido = echoed ? p.pedido : "";
  const std::string reply = vespril::MontarResposta(cliente, pedido, "m\x1B" + p.comando, p.comando);
  const std::string_view r = reply;
  const size_t s1 = r.find(Separador, MarcaInicio.size());
  const size_t s2 = r.find(Separador, s1 + Separador.size());
  const size_t s3 = r.find(Separador, s2 + Separador.size());
  const size_t fim = r.find(MarcaFim, s3 + Separador.size());
  Check(fim == r.size() - MarcaFim.size());
  Check(r.substr(MarcaInicio.size(), s1 - MarcaInicio.size()) == cliente);
  Check(r.substr(s1 + Separador.size(), s2 - s1 - Separador.size()) == pedido);
  Check(r.substr(s3 + Separador.size(), fim - s3 - Separador.size()) == p.comando);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = 1 + data[0] % 41;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
  bool wholeOverflowed = false, piecesOverflowed = false;
  const std::vector<Pedido> whole = Feed(stream, stream.size() + 1, &wholeOverflowed);
  const std::vector<Pedido> pieces = Feed(stream, piece, &piecesOverflowed);
  Check(whole == pieces);
  Check(wholeOverflowed == piecesOverflowed);
  for (const Pedido& p : whole) CheckReply(p);
  return 0;
}
