#include "config/ConfigTables.h"

#include <QFile>
#include <QFileInfo>

namespace vespril::config {

namespace {

struct ConfigField {
  const char* name;
  int size;  // 0 for an integer field
};

// Loads only when something stands at the path, a dangling link or a directory included, so that
// whatever is there reports its own failure instead of being saved over later as an empty table.
PersistedTable Build(std::initializer_list<ConfigField> fields, const char* fileName,
                     const char* indexFieldNames, bool carregar = true) {
  PersistedTable table;
  for (const ConfigField& field : fields) {
    if (field.size > 0) {
      table.DefineStringField(field.name, field.size);
    } else {
      table.DefineIntegerField(field.name);
    }
  }
  table.SetFileName(fileName);
  table.SetIndexFieldNames(indexFieldNames);
  table.Create();
  const QFileInfo info(QFile::decodeName(fileName));
  if (carregar && (info.exists() || info.isSymLink())) table.LoadFromFile(table.FileName());
  return table;
}

}  // namespace

PersistedTable BuildPortaRelembrar() {
  return Build({{"Atributo", 30}, {"Valor", 30}}, kArquivoPortaRelembrar, "Atributo");
}

PersistedTable BuildServidor() { return Build({{"Nome", 30}, {"Endereco", 500}}, kArquivoServidor, "Nome"); }

PersistedTable BuildTabela() {
  return Build({{"Tabela", 30}, {"Chave", 30}, {"Gerador", 0}}, kArquivoTabela, "Tabela");
}

PersistedTable BuildTabelaVazia() {
  return Build({{"Tabela", 30}, {"Chave", 30}, {"Gerador", 0}}, kArquivoTabela, "Tabela", false);
}

PersistedTable BuildServidorTabela() {
  return Build({{"Servidor", 30}, {"Tabela", 30}, {"Registro", 0}}, kArquivoServidorTabela,
               "Tabela;Registro");
}

PersistedTable BuildServidorTabelaVazia() {
  return Build({{"Servidor", 30}, {"Tabela", 30}, {"Registro", 0}}, kArquivoServidorTabela, "Tabela;Registro",
               false);
}

}  // namespace vespril::config
