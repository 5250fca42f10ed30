#include "engine/WireProtocol.h"

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

void FrameAssembler::Scan() {
  const std::string_view buffer = m_buffer;
  for (;;) {
    if (!buffer.substr(m_start).starts_with(MarcaInicio)) {
      const size_t inicio = buffer.find(MarcaInicio, m_scanned);
      if (inicio == std::string_view::npos) {
        // Only the last bytes can still turn out to be the head of a start marker.
        const size_t keep = std::min(buffer.size(), MarcaInicio.size() - 1);
        m_start = std::max(m_start, buffer.size() - keep);
        m_scanned = m_start;
        break;
      }
      m_start = inicio;
    }
    const size_t conteudo = m_start + MarcaInicio.size();
    m_scanned = std::max(m_scanned, conteudo);
    const size_t fim = buffer.find(MarcaFim, m_scanned);
    if (fim == std::string_view::npos) {
      const size_t tail = std::min(buffer.size() - conteudo, MarcaFim.size() - 1);
      m_scanned = std::max(m_scanned, buffer.size() - tail);
    }
    // Measured up to its end marker, or to the first place where that can still begin, a frame's size
    // doesn't depend on how the transport cut it.
    const size_t known = fim == std::string_view::npos ? m_scanned : fim;
    if (known - m_start > m_maxFrameBytes) {
      m_overflowed = true;
      std::string().swap(m_buffer);
      m_start = m_scanned = 0;
      return;
    }
    if (fim == std::string_view::npos) break;
    Parse(buffer.substr(conteudo, fim - conteudo));
    m_start = fim + MarcaFim.size();
    m_scanned = m_start;
  }
  if (m_start > 0) {
    m_buffer.erase(0, m_start);
    m_scanned -= m_start;
    m_start = 0;
  }
}

void FrameAssembler::Parse(std::string_view content) {
  const size_t first = content.find(Separador);
  if (first == std::string_view::npos) return;
  const size_t second = content.find(Separador, first + Separador.size());
  if (second == std::string_view::npos) return;
  m_ready.push_back(
      Pedido{std::string(content.substr(0, first)),
             std::string(content.substr(first + Separador.size(), second - first - Separador.size())),
             std::string(content.substr(second + Separador.size()))});
}

}  // namespace vespril
