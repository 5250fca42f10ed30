// The query result file: one XML file per client and request, in the program's directory, into which
// the rows of every server are written one server after another. Lines end with CR LF; values are
// written byte for byte with only "&" escaped. The writer runs on the worker that runs the query; rows
// may be formatted on any thread (AcrescentarRegistro) and written by it afterwards.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QFile;
class QIODevice;
class QString;

namespace vespril {

// A result file's path is bytes: the program's folder exactly as the file system names it (whatever its
// encoding), then the file name built from Cliente and Pedido, ISO-8859-1 text like everything a client
// sends. The file is created under exactly these bytes, which are also what "Baixar" tells the client.
//
// The path as a QString, for Qt's file classes; names that aren't valid in the locale's encoding may
// not survive the conversion, so the engine itself works with the bytes.
QString PathToQString(std::string_view path);

// The directory of the running executable, as the file system names it, with a trailing "/".
// REQUIRES: a QCoreApplication exists.
std::string ProgramDirectory();

// programDir + "Consulta" + cliente without its dots + pedido + ".xml". Refuses (Error "Cliente ou
// Pedido inválido para o arquivo de consulta") fields holding "/" or "\" or any byte below 32, so a
// request can never name a file outside the program's directory.
std::string CaminhoArquivoConsulta(std::string_view programDir, std::string_view cliente,
                                   std::string_view pedido);

// Removes the file at path if there is one; a file that is missing or can't be removed is no failure.
// A link at path is removed itself; what it points to is never touched.
void DeleteArquivoConsulta(std::string_view path);

// Appends one <registro> to `out`, one line per column, names and values paired by position: the
// bytes EscreverRegistro writes. Any thread. REQUIRES: as many values as names.
void AcrescentarRegistro(std::string& out, const std::vector<std::string>& names,
                         const std::vector<std::string>& values);

// Streams one result file. Every write failure raises Error with a message naming the file.
class ArquivoConsulta {
 public:
  // Creates or truncates the file and writes the declaration and root lines. Throws Error "Cannot create
  // file <path>" when it can't be created, and when anything but a regular file of its own stands at
  // the name (a symbolic or hard link, a pipe): a link placed in the folder must not let a query write
  // a file elsewhere.
  explicit ArquivoConsulta(const std::string& path);
  // Over a device already open for writing (the seam the tests use to make writes fail); writes the same
  // two lines. The device must outlive this writer.
  ArquivoConsulta(QIODevice& device, std::string nameForMessages);
  ~ArquivoConsulta();  // writes the rows gathered so far, not the close line, and closes the file
  ArquivoConsulta(const ArquivoConsulta&) = delete;
  ArquivoConsulta& operator=(const ArquivoConsulta&) = delete;

  // One <registro> with one line per column, names and values paired by position.
  // REQUIRES: as many values as names (Error otherwise, before anything is written).
  void EscreverRegistro(const std::vector<std::string>& names, const std::vector<std::string>& values);
  // Whole rows made by AcrescentarRegistro, as they are; `quantos` of them.
  void EscreverRegistros(std::string_view registros, size_t quantos);
  // The root close line; a file of its own is then flushed and closed, so a failure of the last writes
  // is reported too. A device given by the caller stays open.
  void Finalizar();

 private:
  void Escrever(std::string_view bytes);
  // Writes the rows gathered so far.
  void Descarregar();

  static constexpr size_t kBloco = 256u * 1024u;  // rows are written in blocks of about this size
  std::unique_ptr<QFile> m_arquivo;               // null when writing to a caller's device
  QIODevice* m_dispositivo = nullptr;
  std::string m_nome;
  std::string m_pendente;  // rows not yet written
  // Rows and bytes written so far, told to the panel when the file closes (see Painel::Conta).
  int64_t m_registros = 0;
  int64_t m_bytes = 0;
};

}  // namespace vespril
