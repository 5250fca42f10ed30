#include "execution/ArquivoConsulta.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <QCoreApplication>
#include <QFile>
#include <QString>

#include "foundation/Descriptor.h"
#include "foundation/Error.h"
#include "foundation/Text.h"
#include "panel/Painel.h"

namespace vespril {

namespace {

constexpr std::string_view kInicio =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n"
    "  <dados>\r\n";
constexpr std::string_view kFim = "  </dados>\r\n";

// A separator or a control byte could take the name out of the program's directory or give the file
// system a name it mangles; such a request gets no file at all.
bool PodeNomearArquivo(std::string_view field) {
  return std::none_of(field.begin(), field.end(),
                      [](char c) { return c == '/' || c == '\\' || static_cast<unsigned char>(c) < 32; });
}

// Empties the file open at fd for a new result; false, leaving it as it was, when it could send the
// rows elsewhere: a pipe (even one that is read), or a file with a second hard link, which shares its
// contents with a name outside the folder.
bool PrepararArquivo(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0 || S_ISFIFO(info.st_mode)) return false;
  return !S_ISREG(info.st_mode) || (info.st_nlink == 1 && ftruncate(fd, 0) == 0);
}

}  // namespace

QString PathToQString(std::string_view path) {
  return QFile::decodeName(QByteArray(path.data(), static_cast<qsizetype>(path.size())));
}

std::string ProgramDirectory() {
  // The kernel's own bytes: Qt's QString form of a folder name outside the locale's encoding would
  // not lead back to the folder.
  char exe[PATH_MAX];
  const ssize_t size = readlink("/proc/self/exe", exe, sizeof exe);
  std::string path = size > 0 && static_cast<size_t>(size) < sizeof exe
                         ? std::string(exe, static_cast<size_t>(size))
                         : QFile::encodeName(QCoreApplication::applicationFilePath()).toStdString();
  return path.substr(0, path.rfind('/') + 1);
}

std::string CaminhoArquivoConsulta(std::string_view programDir, std::string_view cliente,
                                   std::string_view pedido) {
  if (!PodeNomearArquivo(cliente) || !PodeNomearArquivo(pedido)) {
    throw Error("Cliente ou Pedido inv\xE1lido para o arquivo de consulta");
  }
  std::string path(programDir);
  path += "/Consulta";
  path += ReplaceAll(cliente, ".", "");
  path += pedido;
  path += ".xml";
  return ReplaceAll(path, "//", "/");
}

void DeleteArquivoConsulta(std::string_view path) {
  // unlink removes a link itself and never follows it.
  unlink(std::string(path).c_str());
}

ArquivoConsulta::ArquivoConsulta(const std::string& path) : m_arquivo(new QFile), m_nome(path) {
  // Opened by its bytes, which Qt's QString form of a folder name may not keep. O_NOFOLLOW refuses a
  // symbolic link in the same step that opens the name, so none can be slipped in between a check and
  // the open; O_NONBLOCK makes a pipe nobody reads fail at once instead of holding up the gateway, and
  // changes nothing for a regular file.
  Descriptor fd(open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
  if (!fd.Valid() || !PrepararArquivo(fd.Get()) ||
      !m_arquivo->open(fd.Get(), QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
    throw Error(Format("Cannot create file %s", path));
  }
  fd.Release();  // the QFile closes it now
  m_dispositivo = m_arquivo.get();
  Escrever(kInicio);
}

ArquivoConsulta::ArquivoConsulta(QIODevice& device, std::string nameForMessages)
    : m_dispositivo(&device), m_nome(std::move(nameForMessages)) {
  Escrever(kInicio);
}

ArquivoConsulta::~ArquivoConsulta() {
  // A script that stops half-way leaves the rows written so far, as an unbuffered writer would.
  try {
    Descarregar();
  } catch (const Error&) {
  }
  Painel::ContarResultado(m_registros, m_bytes);
}

void AcrescentarRegistro(std::string& out, const std::vector<std::string>& names,
                         const std::vector<std::string>& values) {
  out += "    <registro>\r\n";
  for (size_t i = 0; i < names.size(); ++i) {
    out += "      <";
    out += names[i];
    out += '>';
    const std::string_view value = values[i];
    for (size_t pos = 0;;) {
      const size_t amp = value.find('&', pos);
      out.append(value.substr(pos, amp - pos));
      if (amp == std::string_view::npos) break;
      out += "&amp;";
      pos = amp + 1;
    }
    out += "</";
    out += names[i];
    out += ">\r\n";
  }
  out += "    </registro>\r\n";
}

void ArquivoConsulta::EscreverRegistro(const std::vector<std::string>& names,
                                       const std::vector<std::string>& values) {
  if (names.size() != values.size()) {
    throw Error(Format("Cannot write file %s: a row with a different number of names and values", m_nome));
  }
  // Rows gather in one buffer that goes out in large writes: a query of millions of rows spends its
  // time here, so nothing is allocated per row once the buffer has grown.
  AcrescentarRegistro(m_pendente, names, values);
  ++m_registros;
  if (m_pendente.size() >= kBloco) Descarregar();
}

void ArquivoConsulta::EscreverRegistros(std::string_view registros, size_t quantos) {
  m_pendente += registros;
  m_registros += static_cast<int64_t>(quantos);
  if (m_pendente.size() >= kBloco) Descarregar();
}

void ArquivoConsulta::Finalizar() {
  m_pendente += kFim;
  Descarregar();
  if (m_arquivo) {
    // Bytes reach the disk only by now; a full disk shows up here or never.
    if (!m_arquivo->flush()) throw Error(Format("Cannot write file %s", m_nome));
    m_arquivo->close();
  }
}

void ArquivoConsulta::Descarregar() {
  if (m_pendente.empty()) return;
  Escrever(m_pendente);
  m_pendente.clear();
}

void ArquivoConsulta::Escrever(std::string_view bytes) {
  const auto size = static_cast<qint64>(bytes.size());
  if (m_dispositivo->write(bytes.data(), size) != size) throw Error(Format("Cannot write file %s", m_nome));
  m_bytes += size;
}

}  // namespace vespril
