// The client protocol's frames: the three delimiters, the reply frame, and FrameAssembler, which
// reassembles request frames from the bytes of one connection however the transport splits them.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace vespril {

inline constexpr std::string_view MarcaInicio{"\r\n\x1BTPYALG\x1B\n\r", 12};
inline constexpr std::string_view Separador{"\r\n\x1B", 3};
inline constexpr std::string_view MarcaFim{"\r\n\x1BGLAYPT", 9};

// A frame's start marker and content may hold this many bytes; a longer frame closes its connection.
inline constexpr size_t kMaxFrameBytes = 64u * 1024u * 1024u;

struct Pedido {
  std::string cliente;
  std::string pedido;
  std::string comando;
  bool operator==(const Pedido&) const = default;
};

// MarcaInicio cliente Separador pedido Separador mensagem Separador retorno MarcaFim. Each ESC in
// mensagem is written as "<ESC>", so a message quoting a delimiter can't end the reply early.
std::string MontarResposta(std::string_view cliente, std::string_view pedido, std::string_view mensagem,
                           std::string_view retorno);

// Whether cliente and pedido can be echoed in a reply that a client still cuts at its delimiters: the
// reply must hold no delimiter but its own, and no MarcaFim before its end. An ESC in either field (every
// delimiter holds one) or a pedido that begins with the letters of MarcaFim would break it.
bool PodeEcoar(std::string_view cliente, std::string_view pedido);

// Per-connection receive buffer; one per client connection, on the GUI thread. Between frames, bytes are
// skipped up to the next MarcaInicio. Once a frame has begun it runs to its end: cliente ends at the
// first Separador, pedido at the next (the first bytes of any delimiter count as one), and comando at
// the first MarcaFim after that, whatever comes before it (a MarcaInicio included); the frame is handed
// out once that MarcaFim has arrived. Work and memory are linear in the bytes appended, however small
// the pieces.
class FrameAssembler {
 public:
  FrameAssembler() = default;
  // A smaller limit than kMaxFrameBytes, for tests.
  explicit FrameAssembler(size_t maxFrameBytes) : m_maxFrameBytes(maxFrameBytes) {}

  // Bytes after an overflow are ignored.
  void Append(std::string_view bytes);
  // The next complete frame, in arrival order, or nothing until more bytes arrive. Frames completed
  // before an overflow are still handed out.
  std::optional<Pedido> Next();
  // True once a frame's MarcaInicio and content exceed the limit, however the frame was split (the
  // connection must be closed).
  bool Overflowed() const { return m_overflowed; }
  // Bytes held for a frame not yet complete (or for what may become its start marker).
  size_t Buffered() const { return m_buffer.size() - m_start; }
  // Whether Next() has a frame to hand out.
  bool HasFrame() const { return !m_ready.empty(); }
  // Gives up the frame being gathered as if it had grown past the limit (its connection is to be
  // closed); frames already complete are still handed out.
  void Discard();

 private:
  void Scan();
  // Marks the overflow (dropping everything held) when the frame begun at m_start reaches past the
  // limit at `known`.
  bool TooLong(size_t known);
  void Emit(std::string_view buffer, size_t fim);
  void Compact();

  size_t m_maxFrameBytes = kMaxFrameBytes;
  std::string m_buffer;
  size_t m_start = 0;    // bytes before it are consumed; in a frame, where its start marker begins
  size_t m_scanned = 0;  // the delimiter the search is after does not begin before this position
  bool m_inFrame = false;
  size_t m_fields = 0;          // separators found in the current frame (0 to 2)
  size_t m_separators[2] = {};  // their positions
  std::deque<Pedido> m_ready;
  bool m_overflowed = false;
};

}  // namespace vespril
