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

// MarcaInicio cliente Separador pedido Separador mensagem Separador retorno MarcaFim.
std::string MontarResposta(std::string_view cliente, std::string_view pedido, std::string_view mensagem,
                           std::string_view retorno);

// Per-connection receive buffer; one per client connection, on the GUI thread. Bytes that don't begin a
// frame are skipped up to the next MarcaInicio. In a frame, cliente ends at the first Separador, pedido
// at the next, and comando at the first MarcaFim after that; the frame is handed out once that MarcaFim
// has arrived. No field may hold a MarcaInicio: one that appears inside a frame means the frame was cut
// short, so it is dropped and a new frame begins there. Work and memory are linear in the bytes
// appended, however small the pieces.
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

 private:
  void Scan();
  void StartFrame(size_t at);
  // Marks the overflow (dropping everything held) when the frame begun at m_start reaches past the
  // limit at `known`.
  bool TooLong(size_t known);
  void Emit(std::string_view buffer, size_t fim);
  void Compact();

  size_t m_maxFrameBytes = kMaxFrameBytes;
  std::string m_buffer;
  size_t m_start = 0;    // bytes before it are consumed; in a frame, where its start marker begins
  size_t m_scanned = 0;  // no delimiter that the search is after begins before this position
  bool m_inFrame = false;
  size_t m_fields = 0;          // separators found in the current frame (0 to 2)
  size_t m_separators[2] = {};  // their positions
  std::deque<Pedido> m_ready;
  bool m_overflowed = false;
};

}  // namespace vespril
