// INSERT rewriting under libFuzzer: the three steps on any statement, each held to its contract.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "statements/InsertRewriting.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view statement(reinterpret_cast<const char*>(data), size);
  const vespril::InsertSeparado separado = vespril::SepararChaves(statement);
  const size_t first = statement.find(vespril::SeparadorChave);
  if (first == std::string_view::npos) {
    Check(separado.sql == statement && separado.chaves.empty());
  } else {
    Check(separado.sql == std::string(statement.substr(0, first)) + ";" && !separado.chaves.empty());
  }
  for (const vespril::ChaveEstrangeira& chave : separado.chaves) {
    Check(statement.find(chave.TabelaPai) != std::string_view::npos);
    Check(statement.find(chave.Campo) != std::string_view::npos);
  }
  const std::string tabela = vespril::ExtrairTabela(separado.sql);
  Check(tabela.find(' ') == std::string::npos && separado.sql.find(tabela) != std::string::npos);
  const std::string rewritten = vespril::IncluirCampo(separado.sql, "IDITEM", "7");
  Check(rewritten == separado.sql || rewritten.size() == separado.sql.size() + 11);
  return 0;
}
