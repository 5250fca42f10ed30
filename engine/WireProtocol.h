// The client protocol's frames: the three delimiters, the reply frame, and FrameAssembler, which
// reassembles request frames from the bytes of one connection however the transport splits them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vespril {

inline constexpr std::string_view MarcaInicio{"\r\n\x1BTPYALG\x1B\n\r", 12};
inline constexpr std::string_view Separador{"\r\n\x1B", 3};
inline constexpr std::string_view MarcaFim{"\r\n\x1BGLAYPT", 9};

// An unfinished frame may grow to this many bytes before its connection is closed.
inline constexpr size_t kMaxFrameBytes = 64u * 1024u * 1024u;

struct Pedido {
  std::string cliente;
  std::string pedido;
  std::string comando;
};

// MarcaInicio cliente Separador pedido Separador mensagem Separador retorno MarcaFim.
std::string MontarResposta(std::string_view cliente, std::string_view pedido, std::string_view mensagem,
                           std::string_view retorno);

// Per-connection receive buffer. Bytes that don't begin a frame are skipped up to the next MarcaInicio;
// a frame is handed out once its MarcaFim has arrived. A frame whose fields lack a Separador is dropped.
class FrameAssembler {
 public:
  void Append(std::string_view bytes);
  // The next complete frame, in arrival order, or nothing until more bytes arrive.
  std::optional<Pedido> Next();
  // True when the unfinished frame has grown past kMaxFrameBytes (the connection must be closed).
  bool Overflowed() const;
  size_t Buffered() const { return m_buffer.size() - m_start; }

 private:
  std::string m_buffer;
  size_t m_start = 0;    // bytes before it are consumed
  size_t m_scanned = 0;  // resume point for the MarcaFim search
};

}  // namespace vespril
