// Reading a gateway's query result file, and showing its rows as a table. The file is the gateway's
// own XML lines (CR LF after each): a declaration, "  <dados>", per row "    <registro>", one
// "      <NAME>value</NAME>" per column and "    </registro>", then "  </dados>". Values are written
// as the database gave them with "&" escaped, so a value may hold "<" or line breaks; a NULL is an
// empty value. No Qt. A file too large to hold is read piece by piece (LeitorArquivoConsulta) and its
// table printed in two passes (TabelaConsulta); the functions at the end do both on a whole text.
// Not thread-safe: one thread uses an object at a time.
#pragma once

#include <cstddef>
#include <functional>
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

// A result file read in pieces, cut anywhere: each row is handed to `registro` once its end has been
// read, and only the bytes of the row being read are kept (twice the largest row at most).
class LeitorArquivoConsulta {
 public:
  explicit LeitorArquivoConsulta(std::function<void(RegistroConsulta&&)> registro);

  // Throws ResultFileError naming the line where the bytes read so far depart from the layout.
  void Ler(std::string_view pedaco);
  // The file has ended: throws ResultFileError when it ended before its layout did (a file cut
  // short, as a failed query leaves it).
  void Fim();

 private:
  enum class Etapa { Inicio, Registros, Fim };
  void Avancar();

  std::function<void(RegistroConsulta&&)> m_registro;
  std::string m_texto;  // the bytes not yet read as part of a whole row
  size_t m_linha = 1;   // the line of m_texto's first byte
  // A row that did not end in m_texto is read again only once m_texto has reached this size, so a
  // long row is gone over a few times, not once per piece.
  size_t m_tentarCom = 0;
  Etapa m_etapa = Etapa::Inicio;
  bool m_fim = false;
};

// The rows as a table: a header of the first row's column names, a line of "=" under each, then one
// line per row, columns one blank apart and as wide as their widest value. Columns whose values are
// all numbers are aligned right. A value with line breaks takes as many lines in its column. Nothing
// for no rows. Values are the bytes of the file; widths count characters of UTF-8 text, else bytes.
// Made in two passes, so the rows need not be held: every row is measured, then printed.
class TabelaConsulta {
 public:
  void Medir(const RegistroConsulta& registro);
  // "" when no row was measured.
  std::string Cabecalho() const;
  std::string Linhas(const RegistroConsulta& registro) const;

 private:
  struct Coluna {
    std::string nome;
    size_t largura;
    bool numerica = true;
  };
  std::string Linha(const std::vector<std::string_view>& celulas) const;

  std::vector<Coluna> m_colunas;
  bool m_medida = false;
};

// The rows of a whole result file, in file order; throws ResultFileError as LeitorArquivoConsulta.
std::vector<RegistroConsulta> LerArquivoConsulta(std::string_view conteudo);

// The table of these rows (see TabelaConsulta).
std::string FormatarTabela(const std::vector<RegistroConsulta>& registros);

}  // namespace vespril
