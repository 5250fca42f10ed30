#include "protocol/WireProtocol.h"

#include <algorithm>

namespace vespril {

std::string MontarResposta(std::string_view cliente, std::string_view pedido, std::string_view mensagem,
                           std::string_view retorno) {
  std::string out;
  out.reserve(MarcaInicio.size() + cliente.size() + pedido.size() + mensagem.size() + retorno.size() +
              3 * Separador.size() + MarcaFim.size());
  out.append(MarcaInicio).append(cliente).append(Separador).append(pedido).append(Separador);
  out.append(mensagem).append(Separador).append(retorno).append(MarcaFim);
  return out;
}

void FrameAssembler::Append(std::string_view bytes) {
  if (m_overflowed) return;
  m_buffer.append(bytes);
  Scan();
}

std::optional<Pedido> FrameAssembler::Next() {
  if (m_ready.empty()) return std::nullopt;
  Pedido pedido = std::move(m_ready.front());
  m_ready.pop_front();
  return pedido;
}

namespace {

// What the delimiter-shaped bytes at the head of `rest` turn out to be. Every delimiter begins with
// the bytes of Separador, so each occurrence of those is classified once enough bytes have arrived.
enum class Marca { Inicio, Fim, Separador, Incerta };

Marca Classificar(std::string_view rest, bool fimPossivel) {
  if (rest.starts_with(MarcaInicio)) return Marca::Inicio;
  if (fimPossivel && rest.starts_with(MarcaFim)) return Marca::Fim;
  if (rest.size() < MarcaInicio.size() && MarcaInicio.starts_with(rest)) return Marca::Incerta;
  if (fimPossivel && rest.size() < MarcaFim.size() && MarcaFim.starts_with(rest)) return Marca::Incerta;
  return Marca::Separador;
}

}  // namespace

void FrameAssembler::Scan() {
  const std::string_view buffer = m_buffer;
  for (;;) {
    if (!m_inFrame) {
      const size_t inicio = buffer.find(MarcaInicio, m_scanned);
      if (inicio == std::string_view::npos) {
        // Only the last bytes can still turn out to be the head of a start marker.
        m_start = std::max(m_start, buffer.size() - std::min(buffer.size(), MarcaInicio.size() - 1));
        m_scanned = m_start;
        break;
      }
      StartFrame(inicio);
    }
    // Cliente ends at the first Separador, Pedido at the next, Comando at the first MarcaFim after
    // that. No field can hold a start marker, so one means this frame was cut short: the new frame
    // starts there.
    const size_t at = buffer.find(Separador, m_scanned);
    if (at == std::string_view::npos) {
      m_scanned = std::max(m_scanned, buffer.size() - std::min(buffer.size(), Separador.size() - 1));
    } else {
      switch (Classificar(buffer.substr(at), m_fields == 2)) {
        case Marca::Inicio:
          StartFrame(at);
          continue;
        case Marca::Incerta:
          m_scanned = at;
          break;
        case Marca::Separador:
          if (m_fields < 2) {
            m_separators[m_fields++] = at;
            m_scanned = at + Separador.size();
          } else {
            m_scanned = at + 1;
          }
          if (!TooLong(m_scanned)) continue;
          return;
        case Marca::Fim:
          if (TooLong(at)) return;
          Emit(buffer, at);
          continue;
      }
    }
    // Measured up to the first place where its end marker can still begin, a frame's size doesn't
    // depend on how the transport cut it.
    if (TooLong(m_scanned)) return;
    break;
  }
  Compact();
}

void FrameAssembler::StartFrame(size_t at) {
  m_inFrame = true;
  m_start = at;
  m_fields = 0;
  m_scanned = at + MarcaInicio.size();
}

bool FrameAssembler::TooLong(size_t known) {
  if (!m_inFrame || known - m_start <= m_maxFrameBytes) return false;
  m_overflowed = true;
  m_inFrame = false;
  std::string().swap(m_buffer);
  m_start = m_scanned = 0;
  return true;
}

void FrameAssembler::Emit(std::string_view buffer, size_t fim) {
  const size_t cliente = m_start + MarcaInicio.size();
  const size_t pedido = m_separators[0] + Separador.size();
  const size_t comando = m_separators[1] + Separador.size();
  m_ready.push_back(Pedido{std::string(buffer.substr(cliente, m_separators[0] - cliente)),
                           std::string(buffer.substr(pedido, m_separators[1] - pedido)),
                           std::string(buffer.substr(comando, fim - comando))});
  m_inFrame = false;
  m_start = fim + MarcaFim.size();
  m_scanned = m_start;
}

void FrameAssembler::Compact() {
  if (m_start == 0) return;
  m_buffer.erase(0, m_start);
  m_scanned -= m_start;
  for (size_t f = 0; f < m_fields; ++f) m_separators[f] -= m_start;
  m_start = 0;
}

}  // namespace vespril
