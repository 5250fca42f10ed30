// Reading a gateway's query result file, and showing its rows as a table. The file is the gateway's
// own XML lines (CR LF after each): a declaration, "  <dados>", per row "    <registro>", one
// "      <NAME>value</NAME>" per column and "    </registro>", then "  </dados>". Values are written
// as the database gave them with "&" escaped, so a value may hold "<" or line breaks; a NULL is an
// empty value. No Qt; pure functions.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vespril {

struct CampoConsulta {
  std::string nome;
  std::string valor;  // references (&amp; &lt; &gt; &quot; &apos; &#N; &#xN;) resolved
  bool operator==(const CampoConsulta&) const = default;
};
using RegistroConsulta = std::vector<CampoConsulta>;

class ResultFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The rows of a result file, in file order. Throws ResultFileError naming the line where the text
// departs from the layout (a file cut short, as a failed query leaves it, included).
std::vector<RegistroConsulta> LerArquivoConsulta(std::string_view conteudo);

// The rows as a table: a header of the first row's column names, a line of "=" under each, then one
// line per row, columns one blank apart and as wide as their widest value. Columns whose values are
// all numbers are aligned right. A value with line breaks takes as many lines in its column. Nothing
// for no rows. Values are the bytes of the file; widths count characters of UTF-8 text, else bytes.
std::string FormatarTabela(const std::vector<RegistroConsulta>& registros);

}  // namespace vespril
