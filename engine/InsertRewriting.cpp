#include "engine/InsertRewriting.h"

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

}  // namespace vespril
