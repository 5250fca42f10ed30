// What the paths that run scripts (alone or in a group) share: a failure as the reply's text, the
// lookup of a table by name and the setting of its generator. Internal to the engine.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "config/PersistedTable.h"
#include "foundation/Error.h"
#include "statements/Classificacao.h"

namespace vespril {

// Runs a script's statements: "" when they all ran, else the first failure's text. Never throws.
template <typename F>
std::string Falha(F&& executar) {
  try {
    executar();
  } catch (const Error& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Exce\xE7\xE3o desconhecida";
  }
  return "";
}

// A table is located by its name; an empty name names no table, even when one was stored empty.
inline bool LocalizarTabela(PersistedTable& table, const char* field, const std::string& nome) {
  return !nome.empty() && table.Locate(field, nome);
}

// Sets the generator of `tabela`, a table the write lane found before (Error when it is gone, before
// anything changes). REQUIRES: the engine's lock.
inline void DefinirGerador(PersistedTable& tabelas, const std::string& tabela, int32_t valor) {
  if (!LocalizarTabela(tabelas, "Tabela", tabela))
    throw Error("Falha na localiza\xE7\xE3o da tabela " + tabela);
  tabelas.Edit();
  tabelas.SetFieldAsInteger("Gerador", valor);
  tabelas.Post();
}

}  // namespace vespril
