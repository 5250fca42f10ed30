// How a client's script is cut into statements and each statement classified: what decides which path
// a statement takes, and which scripts may share the write lane as a group. Bytes only; no Qt, no
// database. Internal to the engine.
#pragma once

#include <algorithm>
#include <string_view>

namespace vespril {

// Hands each statement of a script to `f` as it runs, until `f` returns false: each up to and including
// its ";"; text after the last ";" never runs, and a script without one is one empty statement.
template <typename F>
void PercorrerInstrucoes(std::string_view script, F&& f) {
  size_t fim = script.find(';');
  if (fim == std::string_view::npos) {
    f(std::string_view());
    return;
  }
  size_t inicio = 0;
  do {
    if (!f(script.substr(inicio, fim + 1 - inicio))) return;
    inicio = fim + 1;
    fim = script.find(';', inicio);
  } while (fim != std::string_view::npos);
}

enum class Tipo { Consulta, Insert, Outra };

// Whether `texto` holds `palavra` (lower case), ignoring the case of ASCII letters.
inline bool ContemSemCaixa(std::string_view texto, std::string_view palavra) {
  const auto igual = [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a + ('a' - 'A') : a) == b; };
  return std::search(texto.begin(), texto.end(), palavra.begin(), palavra.end(), igual) != texto.end();
}

// A statement naming SELECT anywhere is a query; else one naming INSERT is an INSERT.
inline Tipo Classificar(std::string_view statement) {
  if (ContemSemCaixa(statement, "select")) return Tipo::Consulta;
  if (ContemSemCaixa(statement, "insert")) return Tipo::Insert;
  return Tipo::Outra;
}

// Whether a script may share the write lane with others: it has a ";" and every statement is an
// INSERT. A group is made of whole statements, each up to and including its ";".
inline bool SoInsercoes(std::string_view script) {
  if (script.find(';') == std::string_view::npos) return false;
  bool insercoes = true;
  PercorrerInstrucoes(script, [&](std::string_view statement) {
    insercoes = Classificar(statement) == Tipo::Insert;
    return insercoes;
  });
  return insercoes;
}

// A plain INSERT as Firebird reads it: after blanks and comments it begins with the word INSERT; every
// string ('...'), quoted name ("...") and comment (-- to the line's end, /* */) in it is closed; and
// outside them it has no parameter (? or :name), no RETURNING and no ";" but one at its very end. So
// it is an INSERT whatever the server makes of it, and it may run in one call, unprepared; anything
// else is prepared first, to learn what the server takes it for.
inline bool InsercaoSimples(std::string_view statement) {
  const auto letra = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$';
  };
  bool inicio = true;  // nothing but blanks and comments yet
  for (size_t i = 0; i < statement.size();) {
    const char c = statement[i];
    const char d = i + 1 < statement.size() ? statement[i + 1] : '\0';
    if (c == '-' && d == '-') {
      const size_t fim = statement.find('\n', i);
      if (fim == std::string_view::npos) return false;
      i = fim + 1;
    } else if (c == '/' && d == '*') {
      const size_t fim = statement.find("*/", i + 2);
      if (fim == std::string_view::npos) return false;
      i = fim + 2;
    } else if (c == '\'' || c == '"') {
      if (inicio) return false;
      size_t fim = i + 1;
      for (;; fim += 2) {  // a doubled quote stands for itself
        fim = statement.find(c, fim);
        if (fim == std::string_view::npos) return false;
        if (fim + 1 >= statement.size() || statement[fim + 1] != c) break;
      }
      i = fim + 1;
    } else if (static_cast<unsigned char>(c) <= ' ') {
      ++i;
    } else if (letra(c)) {
      size_t fim = i;
      while (fim < statement.size() && letra(statement[fim])) ++fim;
      const std::string_view nome = statement.substr(i, fim - i);
      const auto e = [&nome](std::string_view qual) {
        return nome.size() == qual.size() && ContemSemCaixa(nome, qual);
      };
      if (inicio ? !e("insert") : e("returning")) return false;
      inicio = false;
      i = fim;
    } else if (inicio || c == '?' || c == ':' || (c == ';' && i + 1 != statement.size())) {
      return false;
    } else {
      ++i;
    }
  }
  return !inicio;
}

}  // namespace vespril
