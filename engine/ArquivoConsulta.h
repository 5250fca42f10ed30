// The query result file: one XML file per client and request, in the program's directory, into which
// the rows of every server are written as the script executor walks each server's result set.
// Lines end with CR LF; values are written byte for byte with only "&" escaped. Runs on the GUI thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QIODevice;

namespace vespril {

// The directory of the running executable, with a trailing "/".
std::string ProgramDirectory();

// programDir + "Consulta" + cliente without its dots + pedido + ".xml". Refuses (Error "Cliente ou
// Pedido inválido para o arquivo de consulta") fields holding "/" or "\" or any byte below 32, so a
// request can never name a file outside the program's directory.
std::string CaminhoArquivoConsulta(std::string_view programDir, std::string_view cliente,
                                   std::string_view pedido);

// Streams one result file. Every write failure raises Error with a message naming the file.
class ArquivoConsulta {
 public:
  // Creates or truncates the file and writes the declaration and root lines.
  // Throws Error "Cannot create file <path>" when it can't be created.
  explicit ArquivoConsulta(const std::string& path);
  // Over a device already open for writing (the seam the tests use to make writes fail).
  ArquivoConsulta(QIODevice& device, std::string nameForMessages);
  ~ArquivoConsulta();  // closes the file; writes nothing more
  ArquivoConsulta(const ArquivoConsulta&) = delete;
  ArquivoConsulta& operator=(const ArquivoConsulta&) = delete;

  // One <registro> with one line per column, names and values paired by position.
  void EscreverRegistro(const std::vector<std::string>& names, const std::vector<std::string>& values);
  // The root close line; the file is then closed.
  void Finalizar();

 private:
  void Write(std::string_view bytes);

  std::unique_ptr<QIODevice> m_file;
  QIODevice* m_device = nullptr;
  std::string m_name;
};

}  // namespace vespril
