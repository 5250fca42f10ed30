// vespril-workspace DIR: prepares DIR as a ready-made working directory for VESPRIL: two embedded
// databases ALFA and BETA holding PEDIDO and ITEM, and the four configuration files that serve them
// on port 3211. What already exists is kept, so a second run changes nothing and an operator's edits
// survive. The embedded engine uses a lock folder of the user's own where the default one is the
// Firebird server's (see foundation/FbLockFolder.h).
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "config/ConfigTables.h"
#include "foundation/Error.h"
#include "foundation/FbAttachment.h"
#include "foundation/FbLockFolder.h"
#include "foundation/FbStatement.h"

namespace {

namespace fs = std::filesystem;
using vespril::PersistedTable;

constexpr int kPorta = 3211;
const std::vector<std::string> kServidores{"ALFA", "BETA"};

void CreateDatabase(const fs::path& file) {
  if (fs::exists(file)) return;
  vespril::fb::Attachment db = vespril::fb::Attachment::Create(file.string(), "SYSDBA", "quillbark", 3);
  for (const char* ddl : {"CREATE TABLE PEDIDO (IDPEDIDO INTEGER NOT NULL PRIMARY KEY, CLIENTE VARCHAR(30))",
                          "CREATE TABLE ITEM (IDITEM INTEGER NOT NULL PRIMARY KEY, IDPEDIDO INTEGER, "
                          "QTD INTEGER, PRECO NUMERIC(9,2))"}) {
    vespril::fb::ExecuteAndCommit(db, ddl, 3);
  }
  db.Detach();
  std::printf("created %s\n", file.c_str());
}

// Builds the table from the working directory and, when its file is missing, fills and saves it.
void WriteIfMissing(PersistedTable (*build)(), const std::function<void(PersistedTable&)>& fill) {
  PersistedTable table = build();
  if (fs::exists(table.FileName())) return;
  fill(table);
  table.SaveToFile(table.FileName());
  std::printf("wrote %s\n", table.FileName().c_str());
}

void Row(PersistedTable& table, const std::vector<std::pair<std::string, std::string>>& fields) {
  table.Append();
  for (const auto& [name, value] : fields) table.SetFieldAsString(name, value);
  table.Post();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  try {
    vespril::fb::ChooseLockFolder();
    const fs::path dir = fs::absolute(argv[1]);
    fs::create_directories(dir);
    fs::current_path(dir);
    for (const std::string& servidor : kServidores) CreateDatabase(dir / (servidor + ".fdb"));

    WriteIfMissing(&vespril::config::BuildPortaRelembrar, [](PersistedTable& t) {
      Row(t, {{"Atributo", "Porta"}, {"Valor", std::to_string(kPorta)}});
      Row(t, {{"Atributo", "TabelaRelembrar"}, {"Valor", "False"}});
    });
    WriteIfMissing(&vespril::config::BuildServidor, [&](PersistedTable& t) {
      for (const std::string& s : kServidores)
        Row(t, {{"Nome", s}, {"Endereco", (dir / (s + ".fdb")).string()}});
    });
    WriteIfMissing(&vespril::config::BuildTabela, [](PersistedTable& t) {
      Row(t, {{"Tabela", "PEDIDO"}, {"Chave", "IDPEDIDO"}, {"Gerador", "0"}});
      Row(t, {{"Tabela", "ITEM"}, {"Chave", "IDITEM"}, {"Gerador", "0"}});
    });
    WriteIfMissing(&vespril::config::BuildServidorTabela, [](PersistedTable& t) {
      for (const char* tabela : {"PEDIDO", "ITEM"}) {
        for (const std::string& s : kServidores)
          Row(t, {{"Servidor", s}, {"Tabela", tabela}, {"Registro", "0"}});
      }
    });
  } catch (const vespril::Error& e) {
    std::fprintf(stderr, "vespril-workspace: %s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vespril-workspace: %s\n", e.what());
    return 1;
  }
  return 0;
}
