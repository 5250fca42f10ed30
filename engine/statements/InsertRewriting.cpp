#include "statements/InsertRewriting.h"

#include <algorithm>

namespace vespril {

namespace {

constexpr bool IsTrimmed(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string_view TrimView(std::string_view text) {
  while (!text.empty() && IsTrimmed(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsTrimmed(text.back())) text.remove_suffix(1);
  return text;
}

// Finds a needle in a window that only ever moves forward through one text. The last hit is
// remembered, so a statement with many annotations is searched once in all, not once per pair.
class ForwardSearch {
 public:
  ForwardSearch(std::string_view text, std::string_view needle) : m_text(text), m_needle(needle) {}

  // The first occurrence lying wholly inside window, as an offset into window, or npos.
  // REQUIRES: window is a part of the text that begins no earlier than in the previous call.
  size_t In(std::string_view window) {
    const size_t begin = static_cast<size_t>(window.data() - m_text.data());
    if (!m_searched || (m_hit != std::string_view::npos && m_hit < begin)) {
      m_hit = m_text.find(m_needle, begin);
      m_searched = true;
    }
    if (m_hit == std::string_view::npos || m_hit + m_needle.size() > begin + window.size()) {
      return std::string_view::npos;
    }
    return m_hit - begin;
  }

 private:
  std::string_view m_text;
  std::string_view m_needle;
  size_t m_hit = std::string_view::npos;
  bool m_searched = false;
};

// Reads the digits at text[at...]; false when there are none.
bool LerNumero(std::string_view text, size_t& at, size_t& valor) {
  const size_t inicio = at;
  valor = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - inicio < 9) {
    valor = valor * 10 + static_cast<size_t>(text[at++] - '0');
  }
  return at > inicio;
}

}  // namespace

InsertSeparado SepararChaves(std::string_view statement) {
  const size_t first = statement.find(SeparadorChave);
  if (first == std::string_view::npos) return {std::string(statement), {}};

  InsertSeparado out;
  out.sql.reserve(first + 1);
  out.sql.append(statement.substr(0, first)).push_back(';');

  ForwardSearch comma(statement, ",");
  ForwardSearch separator(statement, SeparadorChave);
  std::string_view rest = statement.substr(first + SeparadorChave.size());
  bool more = true;
  while (more) {
    ChaveEstrangeira chave;
    if (size_t k = comma.In(rest); k != std::string_view::npos) {
      chave.TabelaPai = std::string(TrimView(rest.substr(0, k)));
      rest = TrimView(rest.substr(k + 1));
    } else {
      rest = TrimView(rest);
    }
    if (size_t s = separator.In(rest); s != std::string_view::npos) {
      chave.Campo = std::string(TrimView(rest.substr(0, s)));
      rest = TrimView(rest.substr(s + SeparadorChave.size()));
      more = separator.In(rest) != std::string_view::npos;
    } else {
      more = false;
    }
    out.chaves.push_back(std::move(chave));
  }
  return out;
}

std::string ExtrairTabela(std::string_view statement) {
  // Without a lower-case "into" the name is still read from the fifth byte on: the text of an
  // upper-case INSERT gives a name no table has, and the executor's lookup reports it.
  const size_t into = statement.find("into");
  const size_t from = into == std::string_view::npos ? 4 : into + 5;
  if (from >= statement.size()) return {};
  const std::string_view text = TrimView(statement.substr(from));
  const size_t blank = text.find(' ');
  if (blank == std::string_view::npos) return {};
  return std::string(text.substr(0, blank));
}

std::string IncluirCampo(std::string_view statement, std::string_view column, std::string_view value) {
  const size_t columns = statement.find('(');
  if (columns == std::string_view::npos) return std::string(statement);
  const size_t values = statement.find('(', columns + 1);
  if (values == std::string_view::npos) return std::string(statement);

  std::string out;
  out.reserve(statement.size() + column.size() + value.size() + 4);
  out.append(statement.substr(0, columns + 1)).append(column).append(", ");
  out.append(statement.substr(columns + 1, values - columns)).append(value).append(", ");
  out.append(statement.substr(values + 1));
  return out;
}

std::string PosicoesDoCliente(std::string_view mensagem, std::string_view reescrita, size_t colunas,
                              size_t valores) {
  const size_t primeira = reescrita.find('(');
  if (primeira == std::string_view::npos || primeira + 1 + colunas > reescrita.size())
    return std::string(mensagem);
  const size_t inicioColunas = primeira + 1;
  const size_t segunda = reescrita.find('(', inicioColunas + colunas);
  if (segunda == std::string_view::npos || segunda + 1 + valores > reescrita.size())
    return std::string(mensagem);
  const size_t inicioValores = segunda + 1;
  // The client's text: the statement without what was put in, which holds no line break.
  std::string original;
  original.append(reescrita.substr(0, inicioColunas))
      .append(reescrita.substr(inicioColunas + colunas, inicioValores - inicioColunas - colunas))
      .append(reescrita.substr(inicioValores + valores));
  const auto paraOriginal = [&](size_t r) {
    if (r < inicioColunas) return r;
    if (r < inicioColunas + colunas) return inicioColunas;
    if (r < inicioValores) return r - colunas;
    if (r < inicioValores + valores) return inicioValores - colunas;
    return r - colunas - valores;
  };
  // Lines count from 1 at each line feed, columns from 1 at each line's start.
  const auto inicioDaLinha = [](std::string_view texto, size_t linha) -> size_t {
    size_t inicio = 0;
    for (size_t l = 1; l < linha; ++l) {
      const size_t fim = texto.find('\n', inicio);
      if (fim == std::string_view::npos) return std::string_view::npos;
      inicio = fim + 1;
    }
    return inicio;
  };

  static constexpr std::string_view kLinha = "line ";
  static constexpr std::string_view kColuna = ", column ";
  std::string saida;
  size_t copiado = 0;
  for (size_t at = mensagem.find(kLinha); at != std::string_view::npos; at = mensagem.find(kLinha, at)) {
    size_t cursor = at + kLinha.size();
    size_t linha = 0;
    size_t coluna = 0;
    if (!LerNumero(mensagem, cursor, linha) || mensagem.substr(cursor, kColuna.size()) != kColuna) {
      at = cursor;
      continue;
    }
    const size_t inicioNumeros = at + kLinha.size();
    cursor += kColuna.size();
    if (!LerNumero(mensagem, cursor, coluna) || linha == 0 || coluna == 0) {
      at = cursor;
      continue;
    }
    const size_t linhaReescrita = inicioDaLinha(reescrita, linha);
    if (linhaReescrita == std::string_view::npos) {
      at = cursor;
      continue;
    }
    const size_t o = paraOriginal(linhaReescrita + coluna - 1);
    const size_t inicioOriginal = inicioDaLinha(original, linha);
    saida.append(mensagem.substr(copiado, inicioNumeros - copiado));
    saida +=
        std::to_string(linha) + std::string(kColuna) + std::to_string(o - std::min(o, inicioOriginal) + 1);
    copiado = cursor;
    at = cursor;
  }
  saida.append(mensagem.substr(copiado));
  return saida;
}

}  // namespace vespril
