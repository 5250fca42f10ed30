#include "ResultFile.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <utility>

namespace vespril {

namespace {

constexpr std::string_view kDeclaracao = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n";
constexpr std::string_view kDados = "  <dados>\r\n";
constexpr std::string_view kDadosFim = "  </dados>\r\n";
constexpr std::string_view kRegistro = "    <registro>\r\n";
constexpr std::string_view kRegistroFim = "    </registro>\r\n";
constexpr std::string_view kCampo = "      <";

// The text after one reference at the head of `text` ("&amp;" ...), and its bytes; false when it is
// no reference this file could hold, so the "&" stays as it is.
bool Referencia(std::string_view text, std::string& out, size_t& length) {
  static constexpr std::pair<std::string_view, char> kNamed[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  for (const auto& [name, byte] : kNamed) {
    if (text.starts_with(name)) {
      out += byte;
      length = name.size();
      return true;
    }
  }
  if (!text.starts_with("&#")) return false;
  const size_t end = text.find(';');
  if (end == std::string_view::npos || end > 10) return false;
  const bool hex = text.size() > 2 && (text[2] == 'x' || text[2] == 'X');
  const std::string digits(text.substr(hex ? 3 : 2, end - (hex ? 3 : 2)));
  if (digits.empty() ||
      digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
    return false;
  const unsigned long code = std::strtoul(digits.c_str(), nullptr, hex ? 16 : 10);
  if (code == 0 || code > 0xFF) return false;  // a single-byte file holds nothing above 255
  out += static_cast<char>(code);
  length = end + 1;
  return true;
}

std::string Resolver(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size();) {
    size_t length = 0;
    if (value[i] == '&' && Referencia(value.substr(i), out, length)) {
      i += length;
    } else {
      out += value[i++];
    }
  }
  return out;
}

// Thrown inside a read when the bytes at hand end before the layout can tell what they are.
struct Falta {};

// Reads the layout over the bytes at hand, from `at`; `final` says no more will come. Where the bytes
// end too soon to decide, it throws Falta unless they are final.
class Cursor {
 public:
  Cursor(std::string_view text, size_t at, size_t line, bool final)
      : m_text(text), m_at(at), m_line(line), m_final(final) {}

  size_t At() const { return m_at; }
  size_t Line() const { return m_line; }
  bool AtEnd() const { return m_at == m_text.size(); }

  // "      <NAME>value</NAME>" CR LF. The value runs to the first closing tag of its name that ends a
  // line and is followed by the next column or the row's end; anything before it, "<" and line
  // breaks included, is the value's.
  CampoConsulta Campo() {
    if (!Comeca(kCampo)) Falhar("expected a column or </registro>");
    const size_t nameAt = m_at + kCampo.size();
    const size_t nameEnd = m_text.find('>', nameAt);
    const size_t lineEnd = m_text.find("\r\n", nameAt);
    if (nameEnd == std::string_view::npos && lineEnd == std::string_view::npos) Faltar();
    if (nameEnd == std::string_view::npos || nameEnd > lineEnd || nameEnd == nameAt)
      Falhar("expected <NAME>");
    const std::string_view nome = m_text.substr(nameAt, nameEnd - nameAt);
    const std::string fecho = "</" + std::string(nome) + ">\r\n";
    for (size_t end = m_text.find(fecho, nameEnd + 1); end != std::string_view::npos;
         end = m_text.find(fecho, end + 1)) {
      const std::string_view next = m_text.substr(end + fecho.size());
      if (next.starts_with(kCampo) || next.starts_with(kRegistroFim)) {
        CampoConsulta campo{std::string(nome), Resolver(m_text.substr(nameEnd + 1, end - nameEnd - 1))};
        Avancar(end + fecho.size());
        return campo;
      }
      if (kCampo.starts_with(next) || kRegistroFim.starts_with(next)) Faltar();
      if (next.empty()) {
        Avancar(m_text.size());
        Falhar("the file ends before \"</registro>\"");
      }
    }
    Faltar();
    Falhar("no </" + std::string(nome) + "> ends this column");
  }

  bool Proximo(std::string_view line) {
    if (!Comeca(line)) return false;
    Avancar(m_at + line.size());
    return true;
  }

  void Esperar(std::string_view line) {
    if (!Proximo(line)) {
      Falhar(AtEnd() ? "the file ends before \"" + Sem(line) + "\"" : "expected \"" + Sem(line) + "\"");
    }
  }

  [[noreturn]] void Falhar(const std::string& what) const {
    throw ResultFileError("Not a result file: line " + std::to_string(m_line) + ": " + what);
  }

 private:
  // Whether the bytes from here start with `line`; too few of them to tell are a Falta.
  bool Comeca(std::string_view line) const {
    const std::string_view rest = m_text.substr(m_at);
    if (rest.size() < line.size() && line.starts_with(rest)) Faltar();
    return rest.starts_with(line);
  }

  void Faltar() const {
    if (!m_final) throw Falta{};
  }

  static std::string Sem(std::string_view line) {
    line.remove_suffix(2);
    while (line.starts_with(' ')) line.remove_prefix(1);
    return std::string(line);
  }

  void Avancar(size_t to) {
    m_line += static_cast<size_t>(std::count(m_text.begin() + static_cast<std::ptrdiff_t>(m_at),
                                             m_text.begin() + static_cast<std::ptrdiff_t>(to), '\n'));
    m_at = to;
  }

  std::string_view m_text;
  size_t m_at;
  size_t m_line;
  bool m_final;
};

// Characters of valid UTF-8 text, else bytes.
size_t Largura(std::string_view text) {
  size_t characters = 0;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80           ? 1
                          : (lead >> 5) == 0x6  ? 2
                          : (lead >> 4) == 0xE  ? 3
                          : (lead >> 3) == 0x1E ? 4
                                                : 0;
    if (length == 0 || i + length > text.size()) return text.size();
    for (size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return text.size();
    }
    ++characters;
    i += length;
  }
  return characters;
}

bool Numero(std::string_view value) {
  if (value.starts_with('-')) value.remove_prefix(1);
  const size_t point = value.find('.');
  const std::string_view inteira = value.substr(0, point);
  const std::string_view fracao = point == std::string_view::npos ? "" : value.substr(point + 1);
  const auto digits = [](std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  return !inteira.empty() && digits(inteira) && digits(fracao) &&
         (point == std::string_view::npos || !fracao.empty());
}

// A value's lines: split at LF, a CR before it dropped.
std::vector<std::string_view> LinhasDe(std::string_view value) {
  std::vector<std::string_view> linhas;
  for (;;) {
    const size_t lf = value.find('\n');
    std::string_view linha = value.substr(0, lf);
    if (lf != std::string_view::npos && linha.ends_with('\r')) linha.remove_suffix(1);
    linhas.push_back(linha);
    if (lf == std::string_view::npos) return linhas;
    value.remove_prefix(lf + 1);
  }
}

}  // namespace

LeitorArquivoConsulta::LeitorArquivoConsulta(std::function<void(RegistroConsulta&&)> registro)
    : m_registro(std::move(registro)) {}

void LeitorArquivoConsulta::Ler(std::string_view pedaco) {
  m_texto.append(pedaco);
  if (m_texto.size() >= m_tentarCom) Avancar();
}

void LeitorArquivoConsulta::Fim() {
  m_fim = true;
  Avancar();
}

// Reads whole steps of the layout (the head, one row, the end) while the bytes at hand hold them, and
// keeps the rest for the next piece.
void LeitorArquivoConsulta::Avancar() {
  size_t lido = 0;
  try {
    for (;;) {
      Cursor cursor(m_texto, lido, m_linha, m_fim);
      if (m_etapa == Etapa::Fim) {
        if (!cursor.AtEnd()) cursor.Falhar("text after </dados>");
        break;
      }
      std::optional<RegistroConsulta> registro;
      if (m_etapa == Etapa::Inicio) {
        cursor.Esperar(kDeclaracao);
        cursor.Esperar(kDados);
        m_etapa = Etapa::Registros;
      } else if (cursor.Proximo(kRegistro)) {
        registro.emplace();
        while (!cursor.Proximo(kRegistroFim)) registro->push_back(cursor.Campo());
      } else {
        cursor.Esperar(kDadosFim);
        m_etapa = Etapa::Fim;
      }
      lido = cursor.At();
      m_linha = cursor.Line();
      if (registro) m_registro(std::move(*registro));
    }
    m_tentarCom = 0;
  } catch (const Falta&) {
    m_tentarCom = 2 * (m_texto.size() - lido) + 1;
  }
  m_texto.erase(0, lido);
}

std::vector<RegistroConsulta> LerArquivoConsulta(std::string_view conteudo) {
  std::vector<RegistroConsulta> registros;
  LeitorArquivoConsulta leitor(
      [&](RegistroConsulta&& registro) { registros.push_back(std::move(registro)); });
  leitor.Ler(conteudo);
  leitor.Fim();
  return registros;
}

void TabelaConsulta::Medir(const RegistroConsulta& registro) {
  m_medida = true;
  for (size_t c = 0; c < registro.size(); ++c) {
    if (c == m_colunas.size()) m_colunas.push_back({registro[c].nome, Largura(registro[c].nome)});
    const std::string& valor = registro[c].valor;
    for (std::string_view linha : LinhasDe(valor))
      m_colunas[c].largura = std::max(m_colunas[c].largura, Largura(linha));
    if (!valor.empty() && !Numero(valor)) m_colunas[c].numerica = false;
  }
}

std::string TabelaConsulta::Cabecalho() const {
  if (!m_medida) return "";
  std::vector<std::string_view> nomes;
  std::vector<std::string> tracos;
  for (const Coluna& coluna : m_colunas) {
    nomes.push_back(coluna.nome);
    tracos.emplace_back(coluna.largura, '=');
  }
  return Linha(nomes) + Linha(std::vector<std::string_view>(tracos.begin(), tracos.end()));
}

std::string TabelaConsulta::Linhas(const RegistroConsulta& registro) const {
  std::vector<std::vector<std::string_view>> celulas;
  size_t altura = 1;
  for (const CampoConsulta& campo : registro) {
    celulas.push_back(LinhasDe(campo.valor));
    altura = std::max(altura, celulas.back().size());
  }
  std::string out;
  for (size_t l = 0; l < altura; ++l) {
    std::vector<std::string_view> partes;
    for (const auto& c : celulas) partes.push_back(l < c.size() ? c[l] : std::string_view());
    out += Linha(partes);
  }
  return out;
}

std::string TabelaConsulta::Linha(const std::vector<std::string_view>& celulas) const {
  std::string texto;
  for (size_t c = 0; c < m_colunas.size(); ++c) {
    if (c > 0) texto += ' ';
    const std::string_view celula = c < celulas.size() ? celulas[c] : std::string_view();
    const std::string pad(m_colunas[c].largura - std::min(m_colunas[c].largura, Largura(celula)), ' ');
    texto += m_colunas[c].numerica ? pad + std::string(celula) : std::string(celula) + pad;
  }
  while (texto.ends_with(' ')) texto.pop_back();
  return texto + "\n";
}

std::string FormatarTabela(const std::vector<RegistroConsulta>& registros) {
  TabelaConsulta tabela;
  for (const RegistroConsulta& registro : registros) tabela.Medir(registro);
  std::string out = tabela.Cabecalho();
  for (const RegistroConsulta& registro : registros) out += tabela.Linhas(registro);
  return out;
}

}  // namespace vespril
