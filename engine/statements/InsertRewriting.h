// Text operations on the INSERT statements of a script: cutting off the foreign-key annotations,
// finding the target table, and putting a column and its value at the head of the statement's lists.
// Pure functions over single-byte text; none of them fails. Where a name is missing they give an empty
// text, and the lookups of the script executor report it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// SeparadorChave and ChaveEstrangeira: clients write the annotations these functions read.
#include "protocol/WireProtocol.h"

namespace vespril {

struct InsertSeparado {
  std::string sql;  // the statement without its annotations, ending with ";" when it had any
  std::vector<ChaveEstrangeira> chaves;
};

// Splits "SQL SEP pai, campo SEP pai2, campo2 SEP ;" into the SQL text (with ";" appended) and the pairs,
// in order, names trimmed. A statement without a separator is returned unchanged with no pairs.
InsertSeparado SepararChaves(std::string_view statement);

// The word after the first lower-case "into", up to the first blank; empty when there is no blank.
std::string ExtrairTabela(std::string_view statement);

// Puts "column, " right after the first "(" and "value, " right after the next "(".
// A statement without both parentheses comes back unchanged; nothing is read out of bounds.
std::string IncluirCampo(std::string_view statement, std::string_view column, std::string_view value);

// A server's message about a statement that IncluirCampo rewrote, its positions ("line 1, column 40")
// told in the text the client wrote: `reescrita` is the statement as it ran, `colunas` and `valores`
// the bytes put in after its first "(" and its next one. A position inside what was put in becomes
// the place it was put at. A message without positions comes back unchanged.
std::string PosicoesDoCliente(std::string_view mensagem, std::string_view reescrita, size_t colunas,
                              size_t valores);

}  // namespace vespril
