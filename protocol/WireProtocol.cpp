#include "protocol/WireProtocol.h"

#include <algorithm>
#include <cassert>

namespace vespril {

namespace {

constexpr char kEsc = '\x1B';
constexpr std::string_view kEscVisivel = "<ESC>";

}  // namespace

std::string MontarResposta(std::string_view cliente, std::string_view pedido, std::string_view mensagem,
                           std::string_view retorno) {
  std::string out;
  out.reserve(MarcaInicio.size() + cliente.size() + pedido.size() + mensagem.size() + retorno.size() +
              3 * Separador.size() + MarcaFim.size());
  out.append(MarcaInicio).append(cliente).append(Separador).append(pedido).append(Separador);
  for (char c : mensagem) {
    if (c == kEsc) {
      out.append(kEscVisivel);
    } else {
      out.push_back(c);
    }
  }
  out.append(Separador).append(retorno).append(MarcaFim);
  return out;
}

bool PodeEcoar(std::string_view cliente, std::string_view pedido) {
  // Without ESC neither field holds a delimiter nor joins the bytes around it into one; only the
  // Separador before pedido can still turn into a MarcaFim.
  return cliente.find(kEsc) == std::string_view::npos && pedido.find(kEsc) == std::string_view::npos &&
         !pedido.starts_with(MarcaFim.substr(Separador.size()));
}

std::string MontarPedido(std::string_view cliente, std::string_view pedido, std::string_view comando) {
  std::string out;
  out.reserve(MarcaInicio.size() + cliente.size() + pedido.size() + comando.size() + 2 * Separador.size() +
              MarcaFim.size());
  out.append(MarcaInicio).append(cliente).append(Separador).append(pedido).append(Separador);
  out.append(comando).append(MarcaFim);
  return out;
}

std::string MontarQuadro(std::initializer_list<std::string_view> campos) {
  std::string out(MarcaInicio);
  for (const std::string_view* campo = campos.begin(); campo != campos.end(); ++campo) {
    if (campo != campos.begin()) out.append(Separador);
    out.append(*campo);
  }
  out.append(MarcaFim);
  return out;
}

std::optional<Pedido> FrameAssembler::Next() {
  std::optional<std::vector<std::string>> fields = m_cutter.Next();
  if (!fields) return std::nullopt;
  return Pedido{std::move((*fields)[0]), std::move((*fields)[1]), std::move((*fields)[2])};
}

std::optional<Resposta> ReplyAssembler::Next() {
  std::optional<std::vector<std::string>> fields = m_cutter.Next();
  if (!fields) return std::nullopt;
  return Resposta{std::move((*fields)[0]), std::move((*fields)[1]), std::move((*fields)[2]),
                  std::move((*fields)[3])};
}

FrameCutter::FrameCutter(size_t fields, size_t maxFrameBytes)
    : m_campos(fields), m_maxFrameBytes(maxFrameBytes) {
  assert(fields >= 2 && fields <= m_separators.size() + 1);
}

void FrameCutter::Append(std::string_view bytes) {
  if (m_overflowed) return;
  m_buffer.append(bytes);
  Scan();
}

std::optional<std::vector<std::string>> FrameCutter::Next() {
  if (m_ready.empty()) return std::nullopt;
  std::vector<std::string> fields = std::move(m_ready.front());
  m_ready.pop_front();
  for (const std::string& field : fields) m_readyBytes -= field.size();
  return fields;
}

void FrameCutter::Discard(bool complete) {
  if (complete) {
    m_ready.clear();
    m_readyBytes = 0;
  }
  m_overflowed = true;
  m_inFrame = false;
  std::string().swap(m_buffer);
  m_start = m_scanned = 0;
}

void FrameCutter::Scan() {
  const std::string_view buffer = m_buffer;
  for (;;) {
    if (!m_inFrame) {
      const size_t inicio = buffer.find(MarcaInicio, m_scanned);
      if (inicio == std::string_view::npos) {
        // Only the last bytes can still turn out to be the head of a start marker.
        const size_t kept =
            std::max(m_start, buffer.size() - std::min(buffer.size(), MarcaInicio.size() - 1));
        m_skipped += kept - m_start;
        m_start = kept;
        m_scanned = m_start;
        break;
      }
      m_inFrame = true;
      m_skipped += inicio - m_start;
      m_start = inicio;
      m_fields = 0;
      m_scanned = inicio + MarcaInicio.size();
    }
    // Every field but the last ends at the next Separador, the last at the next MarcaFim.
    const bool ultimo = m_fields + 1 == m_campos;
    const std::string_view marca = ultimo ? MarcaFim : Separador;
    const size_t at = buffer.find(marca, m_scanned);
    if (at == std::string_view::npos) {
      // Measured up to the first place where the delimiter can still begin, a frame's size doesn't
      // depend on how the transport cut it.
      m_scanned = std::max(m_scanned, buffer.size() - std::min(buffer.size(), marca.size() - 1));
      if (TooLong(m_scanned)) return;
      break;
    }
    if (TooLong(at)) return;
    if (!ultimo) {
      m_separators[m_fields++] = at;
      m_scanned = at + Separador.size();
    } else {
      Emit(buffer, at);
    }
  }
  Compact();
}

bool FrameCutter::TooLong(size_t known) {
  if (!m_inFrame || known - m_start <= m_maxFrameBytes) return false;
  Discard();
  return true;
}

void FrameCutter::Emit(std::string_view buffer, size_t fim) {
  std::vector<std::string> fields;
  fields.reserve(m_campos);
  size_t begin = m_start + MarcaInicio.size();
  for (size_t f = 0; f < m_fields; ++f) {
    fields.emplace_back(buffer.substr(begin, m_separators[f] - begin));
    begin = m_separators[f] + Separador.size();
  }
  fields.emplace_back(buffer.substr(begin, fim - begin));
  for (const std::string& field : fields) m_readyBytes += field.size();
  m_ready.push_back(std::move(fields));
  m_inFrame = false;
  m_start = fim + MarcaFim.size();
  m_scanned = m_start;
}

void FrameCutter::Compact() {
  if (m_start == 0) return;
  m_buffer.erase(0, m_start);
  m_scanned -= m_start;
  for (size_t f = 0; f < m_fields; ++f) m_separators[f] -= m_start;
  m_start = 0;
  // The room a large frame took is given back once it is out, so memory follows Buffered().
  if (m_buffer.capacity() > 2 * m_buffer.size() + (64u << 10)) m_buffer.shrink_to_fit();
}

}  // namespace vespril
