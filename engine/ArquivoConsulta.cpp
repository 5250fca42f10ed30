#include "engine/ArquivoConsulta.h"

#include <algorithm>

#include <QCoreApplication>
#include <QFile>
#include <QString>

#include "foundation/Error.h"
#include "foundation/Text.h"

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

}  // namespace

QString PathToQString(std::string_view path) {
  return QString::fromLatin1(path.data(), static_cast<qsizetype>(path.size()));
}

std::string ProgramDirectory() {
  const QString dir = QCoreApplication::applicationDirPath();
  for (QChar c : dir) {
    if (c.unicode() > 0xFF) {
      throw Error(
          Format("The program's directory %s has a name outside ISO-8859-1", dir.toLatin1().toStdString()));
    }
  }
  return dir.toLatin1().toStdString() + "/";
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
  const QString name = PathToQString(path);
  if (QFile::exists(name)) QFile::remove(name);
}

ArquivoConsulta::ArquivoConsulta(const std::string& path)
    : m_file(new QFile(PathToQString(path))), m_name(path) {
  if (!m_file->open(QIODevice::WriteOnly | QIODevice::Truncate))
    throw Error(Format("Cannot create file %s", path));
  m_device = m_file.get();
  Write(kInicio);
}

ArquivoConsulta::ArquivoConsulta(QIODevice& device, std::string nameForMessages)
    : m_device(&device), m_name(std::move(nameForMessages)) {
  Write(kInicio);
}

ArquivoConsulta::~ArquivoConsulta() = default;

void ArquivoConsulta::EscreverRegistro(const std::vector<std::string>& names,
                                       const std::vector<std::string>& values) {
  if (names.size() != values.size()) {
    throw Error(Format("Cannot write file %s: a row with a different number of names and values", m_name));
  }
  std::string registro = "    <registro>\r\n";
  for (size_t i = 0; i < names.size(); ++i) {
    registro += "      <";
    registro += names[i];
    registro += '>';
    registro += ReplaceAll(values[i], "&", "&amp;");
    registro += "</";
    registro += names[i];
    registro += ">\r\n";
  }
  registro += "    </registro>\r\n";
  Write(registro);
}

void ArquivoConsulta::Finalizar() {
  Write(kFim);
  if (m_file) {
    // Buffered bytes reach the disk only here; a full disk shows up now or never.
    if (!m_file->flush()) throw Error(Format("Cannot write file %s", m_name));
    m_file->close();
  }
}

void ArquivoConsulta::Write(std::string_view bytes) {
  const auto size = static_cast<qint64>(bytes.size());
  if (m_device->write(bytes.data(), size) != size) throw Error(Format("Cannot write file %s", m_name));
}

}  // namespace vespril
