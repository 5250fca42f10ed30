// What may join a group of the write lane, under libFuzzer: a script of INSERTs joins as its whole
// statements, each up to and including its own ";" and together exactly the script up to its last
// ";", so nothing of one script's text can reach into another's; every statement of it is planned
// (keys separated, table found, key included) without fault; and the lexer that lets a plain INSERT
// run unprepared holds to its contract.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "statements/Classificacao.h"
#include "statements/InsertRewriting.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view script(reinterpret_cast<const char*>(data), size);
  if (!vespril::SoInsercoes(script)) return 0;
  std::string juntas;
  vespril::PercorrerInstrucoes(script, [&](std::string_view statement) {
    Check(!statement.empty() && statement.back() == ';');
    Check(statement.substr(0, statement.size() - 1).find(';') == std::string_view::npos);
    Check(vespril::Classificar(statement) == vespril::Tipo::Insert);
    juntas += statement;
    const vespril::InsertSeparado separado = vespril::SepararChaves(statement);
    const std::string tabela = vespril::ExtrairTabela(separado.sql);
    (void)vespril::IncluirCampo(separado.sql, "IDITEM", "7");
    Check(tabela.find(' ') == std::string::npos);
    // A statement run unprepared is an INSERT with every string and comment closed: a blank after it
    // changes nothing, and its text past a closed comment never reaches a following statement.
    if (vespril::InsercaoSimples(statement)) {
      Check(vespril::ContemSemCaixa(statement, "insert"));
      Check(vespril::InsercaoSimples(std::string(" ") + std::string(statement)));
    }
    return true;
  });
  Check(juntas == script.substr(0, script.rfind(';') + 1));
  return 0;
}
