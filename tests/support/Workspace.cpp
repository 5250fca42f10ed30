#include "tests/support/Workspace.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>

#include "config/ConfigTables.h"
#include "tests/support/SocketClient.h"

namespace vespril::test {

namespace {

PersistedTable Fresh(PersistedTable (*build)()) {
  PersistedTable table = build();
  QFile::remove(QString::fromLatin1(table.FileName()));
  return build();
}

std::string Dump(PersistedTable table) {
  std::string dump;
  for (table.First(); !table.Eof(); table.Next()) {
    if (!dump.empty()) dump += ";";
    for (size_t i = 0; i < table.Fields().size(); ++i) {
      if (i > 0) dump += ",";
      dump += table.FieldAsString(table.Fields()[i].name);
    }
  }
  return dump;
}

}  // namespace

Workspace::Workspace()
    : m_directory(std::make_unique<QTemporaryDir>()),
      m_results(std::make_unique<QTemporaryDir>()),
      m_previous(QDir::currentPath().toStdString()) {
  QDir::setCurrent(m_directory->path());
}

Workspace::~Workspace() { QDir::setCurrent(QString::fromStdString(m_previous)); }

std::string Workspace::Path() const { return m_directory->path().toStdString() + "/"; }

std::string Workspace::ResultDirectory() const { return m_results->path().toStdString() + "/"; }

void Workspace::WriteSettings(std::optional<std::string> porta, std::optional<std::string> relembrar) {
  PersistedTable table = Fresh(&config::BuildPortaRelembrar);
  for (const auto& [atributo, valor] : {std::pair{"Porta", porta}, std::pair{"TabelaRelembrar", relembrar}}) {
    if (!valor) continue;
    table.Append();
    table.SetFieldAsString("Atributo", atributo);
    table.SetFieldAsString("Valor", *valor);
    table.Post();
  }
  table.SaveToFile(table.FileName());
}

void Workspace::WriteServers(const std::vector<std::pair<std::string, std::string>>& nameAndAddress) {
  PersistedTable table = Fresh(&config::BuildServidor);
  for (const auto& [nome, endereco] : nameAndAddress) {
    table.Append();
    table.SetFieldAsString("Nome", nome);
    table.SetFieldAsString("Endereco", endereco);
    table.Post();
  }
  table.SaveToFile(table.FileName());
}

void Workspace::WriteTables(const std::vector<std::tuple<std::string, std::string, int>>& tableKeyGenerator) {
  PersistedTable table = Fresh(&config::BuildTabela);
  for (const auto& [tabela, chave, gerador] : tableKeyGenerator) {
    table.Append();
    table.SetFieldAsString("Tabela", tabela);
    table.SetFieldAsString("Chave", chave);
    table.SetFieldAsInteger("Gerador", gerador);
    table.Post();
  }
  table.SaveToFile(table.FileName());
}

void Workspace::WriteMatrix(const std::vector<std::tuple<std::string, std::string, int>>& serverTableCount) {
  PersistedTable table = Fresh(&config::BuildServidorTabela);
  for (const auto& [servidor, tabela, registro] : serverTableCount) {
    table.Append();
    table.SetFieldAsString("Servidor", servidor);
    table.SetFieldAsString("Tabela", tabela);
    table.SetFieldAsInteger("Registro", registro);
    table.Post();
  }
  table.SaveToFile(table.FileName());
}

std::string Workspace::Files() const {
  return QDir(m_directory->path())
      .entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)
      .join(",")
      .toStdString();
}

std::string Workspace::Read(const std::string& name) const {
  QFile file(QString::fromStdString(Path() + name));
  if (!file.open(QIODevice::ReadOnly)) return "";
  return file.readAll().toStdString();
}

std::string Workspace::DumpMatrix() const { return Dump(config::BuildServidorTabela()); }
std::string Workspace::DumpTables() const { return Dump(config::BuildTabela()); }
std::string Workspace::DumpServers() const { return Dump(config::BuildServidor()); }

int FreeTcpPort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  return probe.serverPort();
}

bool Accepts(int port) { return SocketClient(port).Connected(2000); }

}  // namespace vespril::test
