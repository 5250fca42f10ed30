// The client protocol's frames: the three delimiters, request and reply frames, and the assemblers
// that cut frames from the bytes of one connection however the transport splits them (FrameAssembler
// for the requests a gateway receives, ReplyAssembler for the replies a client receives). Also the
// separator of the foreign-key annotations a script's INSERT may carry. Bytes only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vespril {

inline constexpr std::string_view MarcaInicio{"\r\n\x1BTPYALG\x1B\n\r", 12};
inline constexpr std::string_view Separador{"\r\n\x1B", 3};
inline constexpr std::string_view MarcaFim{"\r\n\x1BGLAYPT", 9};

// A frame's start marker and content may hold this many bytes; a longer frame closes its connection.
inline constexpr size_t kMaxFrameBytes = 64u * 1024u * 1024u;

// The separator of an INSERT's foreign-key annotations: ESC LF CR.
//   insert into ITEM (QTD) values (2) SEP PEDIDO, IDPEDIDO SEP ;
inline constexpr std::string_view SeparadorChave{"\x1B\n\r", 3};

// One annotation: the new row's column Campo takes the last key handed out for TabelaPai.
struct ChaveEstrangeira {
  std::string TabelaPai;
  std::string Campo;
  bool operator==(const ChaveEstrangeira&) const = default;
};

struct Pedido {
  std::string cliente;
  std::string pedido;
  std::string comando;
  bool operator==(const Pedido&) const = default;
};

struct Resposta {
  std::string cliente;
  std::string pedido;
  std::string mensagem;
  std::string retorno;
  bool operator==(const Resposta&) const = default;
};

// MarcaInicio cliente Separador pedido Separador comando MarcaFim. The caller keeps Separador out of
// cliente and pedido and MarcaFim out of comando.
std::string MontarPedido(std::string_view cliente, std::string_view pedido, std::string_view comando);

// MarcaInicio cliente Separador pedido Separador mensagem Separador retorno MarcaFim. Each ESC in
// mensagem is written as "<ESC>", so a message quoting a delimiter can't end the reply early.
std::string MontarResposta(std::string_view cliente, std::string_view pedido, std::string_view mensagem,
                           std::string_view retorno);

// MarcaInicio, the fields joined by Separador, MarcaFim, with nothing checked or escaped: any frame a
// peer may send, well formed or not (a reply whose message holds an ESC, a frame of the wrong arity).
std::string MontarQuadro(std::initializer_list<std::string_view> campos);

// Whether cliente and pedido can be echoed in a reply that a client still cuts at its delimiters: the
// reply must hold no delimiter but its own, and no MarcaFim before its end. An ESC in either field (every
// delimiter holds one) or a pedido that begins with the letters of MarcaFim would break it.
bool PodeEcoar(std::string_view cliente, std::string_view pedido);

// Cuts frames of a fixed number of fields from a byte stream; the engine of both assemblers below.
// Between frames, bytes are skipped up to the next MarcaInicio. Once a frame has begun it runs to its
// end: each field but the last ends at the next Separador (the first bytes of any delimiter count as
// one), and the last at the first MarcaFim after that, whatever comes before it (a MarcaInicio
// included); the frame is handed out once that MarcaFim has arrived. Work and memory are linear in the
// bytes appended, however small the pieces.
class FrameCutter {
 public:
  // REQUIRES: 2 <= fields <= 4.
  FrameCutter(size_t fields, size_t maxFrameBytes);

  // Bytes after an overflow are ignored.
  void Append(std::string_view bytes);
  // The fields of the next complete frame, in arrival order, or nothing until more bytes arrive.
  // Frames completed before an overflow are still handed out.
  std::optional<std::vector<std::string>> Next();
  // True once a frame's MarcaInicio and content exceed the limit, however the frame was split.
  bool Overflowed() const { return m_overflowed; }
  // Bytes held for a frame not yet complete (or for what may become its start marker).
  size_t Buffered() const { return m_buffer.size() - m_start; }
  // Those and the fields of the complete frames not yet handed out.
  size_t Held() const { return Buffered() + m_readyBytes; }
  // Whether Next() has a frame to hand out.
  bool HasFrame() const { return !m_ready.empty(); }
  // Bytes skipped so far outside any frame (before a start marker).
  uint64_t Skipped() const { return m_skipped; }
  // Gives up the frame being gathered as if it had grown past the limit (its connection is to be
  // closed); frames already complete are still handed out, unless `complete` is true.
  void Discard(bool complete = false);

 private:
  void Scan();
  // Marks the overflow (dropping everything held) when the frame begun at m_start reaches past the
  // limit at `known`.
  bool TooLong(size_t known);
  void Emit(std::string_view buffer, size_t fim);
  void Compact();

  size_t m_campos;
  size_t m_maxFrameBytes;
  std::string m_buffer;
  size_t m_start = 0;    // bytes before it are consumed; in a frame, where its start marker begins
  size_t m_scanned = 0;  // the delimiter the search is after does not begin before this position
  bool m_inFrame = false;
  size_t m_fields = 0;                   // separators found in the current frame
  std::array<size_t, 3> m_separators{};  // their positions
  std::deque<std::vector<std::string>> m_ready;
  size_t m_readyBytes = 0;
  bool m_overflowed = false;
  uint64_t m_skipped = 0;
};

// Per-connection receive buffer of the gateway, on the GUI thread: request frames (cliente, pedido,
// comando) cut as FrameCutter says; a frame longer than the limit closes its connection.
class FrameAssembler {
 public:
  FrameAssembler() = default;
  // A smaller limit than kMaxFrameBytes, for tests.
  explicit FrameAssembler(size_t maxFrameBytes) : m_cutter(3, maxFrameBytes) {}

  void Append(std::string_view bytes) { m_cutter.Append(bytes); }
  std::optional<Pedido> Next();
  bool Overflowed() const { return m_cutter.Overflowed(); }
  size_t Buffered() const { return m_cutter.Buffered(); }
  size_t Held() const { return m_cutter.Held(); }
  bool HasFrame() const { return m_cutter.HasFrame(); }
  uint64_t Skipped() const { return m_cutter.Skipped(); }
  void Discard(bool complete = false) { m_cutter.Discard(complete); }

 private:
  FrameCutter m_cutter{3, kMaxFrameBytes};
};

// A client's receive buffer: reply frames (cliente, pedido, mensagem, retorno) cut as FrameCutter
// says. A reply echoes its request's comando, so it may be longer than any request.
class ReplyAssembler {
 public:
  ReplyAssembler() = default;
  explicit ReplyAssembler(size_t maxFrameBytes) : m_cutter(4, maxFrameBytes) {}

  void Append(std::string_view bytes) { m_cutter.Append(bytes); }
  std::optional<Resposta> Next();
  bool Overflowed() const { return m_cutter.Overflowed(); }
  size_t Buffered() const { return m_cutter.Buffered(); }

 private:
  FrameCutter m_cutter{4, 2 * kMaxFrameBytes};
};

}  // namespace vespril
