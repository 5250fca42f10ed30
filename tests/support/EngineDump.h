// One-line views of an engine's state for single assertions in the engine's tests.
#pragma once

#include <string>

#include "gateway/UVESPRIL.h"

namespace vespril::test {

// "n=address*;" for every slot holding an address, * when attached: "1=/w/a.fdb*;2=/w/b.fdb;".
inline std::string Slots(const VESPRIL& engine) {
  std::string dump;
  for (int n = 1; n <= kSlots; ++n) {
    const BaseDados& base = engine.Slot(n).baseDados;
    if (base.DatabaseName().empty() && !base.Connected()) continue;
    dump += std::to_string(n) + "=" + base.DatabaseName() + (base.Connected() ? "*" : "") + ";";
  }
  return dump;
}

// The row-count matrix in memory, in its index order: "ALFA,ITEM,2;BETA,ITEM,3;".
inline std::string Matriz(VESPRIL& engine) {
  return engine.ComTabelas([](const VESPRIL::Tabelas& tabelas) {
    PersistedTable& matriz = tabelas.CdsServidorTabela;
    std::string dump;
    for (matriz.First(); !matriz.Eof(); matriz.Next()) {
      dump += matriz.FieldAsString("Servidor") + "," + matriz.FieldAsString("Tabela") + "," +
              matriz.FieldAsString("Registro") + ";";
    }
    return dump;
  });
}

// The records of each table in memory, in the order Tabelas names them: "1,2,0,0".
inline std::string Registros(VESPRIL& engine) {
  return engine.ComTabelas([](const VESPRIL::Tabelas& t) {
    return std::to_string(t.CdsPortaRelembrar.RecordCount()) + "," +
           std::to_string(t.CdsServidor.RecordCount()) + "," + std::to_string(t.CdsTabela.RecordCount()) +
           "," + std::to_string(t.CdsServidorTabela.RecordCount());
  });
}

}  // namespace vespril::test
