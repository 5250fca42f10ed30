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

}  // namespace vespril
