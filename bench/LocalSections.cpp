// The in-process sections: the engine's parts timed directly, without sockets or child processes.
#include <cstdio>
#include <string>
#include <vector>

#include <QDir>
#include <QString>

#include "bench/Harness.h"
#include "bench/Sections.h"
#include "config/ConfigTables.h"
#include "engine/ArquivoConsulta.h"
#include "engine/UVESPRIL.h"
#include "foundation/FbAttachment.h"
#include "foundation/FbStatement.h"
#include "protocol/WireProtocol.h"

namespace vespril::bench {

namespace {

std::string MakeDatabase(const QString& dir, const std::string& name) {
  const std::string path = (dir + "/").toStdString() + name + ".fdb";
  vespril::fb::Attachment db = vespril::fb::Attachment::Create(path, "SYSDBA", "quillbark", 3, false);
  vespril::fb::ExecuteAndCommit(db, "CREATE TABLE ITEM (IDITEM INTEGER NOT NULL PRIMARY KEY, QTD INTEGER)",
                                3);
  db.Detach();
  return path;
}

void Save(vespril::PersistedTable table, const std::vector<std::vector<std::string>>& rows) {
  for (const auto& row : rows) {
    table.Append();
    for (size_t i = 0; i < row.size(); ++i) table.SetFieldAsString(table.Fields()[i].name, row[i]);
    table.Post();
  }
  table.SaveToFile(table.FileName());
}

}  // namespace

void BenchFrames() {
  // One 32 MiB script arriving in 4 KiB reads, the way a large request comes off the socket.
  std::string comando;
  while (comando.size() < (32u << 20)) comando += "insert into ITEM (QTD) values (1);\r\n";
  const std::string big = Frame("loja", "1", comando);
  auto start = Clock::now();
  vespril::FrameAssembler assembler;
  for (size_t at = 0; at < big.size(); at += 4096) assembler.Append(std::string_view(big).substr(at, 4096));
  const bool whole = assembler.Next().has_value();
  double s = Seconds(start);
  std::printf("frames: one %.0f MiB frame in 4 KiB reads: %.3f s, %.0f MiB/s (%s)\n", big.size() / 1048576.0,
              s, big.size() / 1048576.0 / s, whole ? "complete" : "MISSING");

  // Many small frames in one stream, one byte at a time at worst.
  std::string many;
  const int frames = 200000;
  for (int i = 0; i < frames; ++i) many += Frame("c" + std::to_string(i), "42", "Baixar");
  start = Clock::now();
  vespril::FrameAssembler stream;
  int handed = 0;
  for (size_t at = 0; at < many.size(); at += 1500) {
    stream.Append(std::string_view(many).substr(at, 1500));
    while (stream.Next()) ++handed;
  }
  s = Seconds(start);
  std::printf("frames: %d small frames in 1500-byte reads: %.3f s, %.0f frames/s (%d handed out)\n", frames,
              s, frames / s, handed);
}

void BenchResultFile(const QString& dir) {
  const std::string path = (dir + "/ConsultaBench1.xml").toStdString();
  const std::vector<std::string> names{"IDITEM", "IDPEDIDO", "QTD", "PRECO", "DESCRICAO"};
  std::vector<std::string> values{"", "41", "2", "10.50", "Parafuso & porca 3/8"};
  const int rows = 1000000;
  auto start = Clock::now();
  {
    vespril::ArquivoConsulta arquivo(path);
    for (int i = 0; i < rows; ++i) {
      values[0] = std::to_string(i);
      arquivo.EscreverRegistro(names, values);
    }
    arquivo.Finalizar();
  }
  const double s = Seconds(start);
  std::printf("resultfile: %d rows of 5 columns: %.3f s, %.0f rows/s\n", rows, s, rows / s);
}

void BenchTables(const QString& dir) {
  // The matrix at its largest: ten servers by two hundred tables.
  vespril::PersistedTable matrix = vespril::config::BuildServidorTabela();
  for (int t = 0; t < 200; ++t) {
    for (int sv = 0; sv < 10; ++sv) {
      matrix.Append();
      matrix.SetFieldAsString("Servidor", "SERVIDOR" + std::to_string(sv));
      matrix.SetFieldAsString("Tabela", "TABELA" + std::to_string(t));
      matrix.SetFieldAsInteger("Registro", t * sv);
      matrix.Post();
    }
  }
  const std::string path = (dir + "/ServidorTabela.xml").toStdString();
  const int rounds = 200;
  auto start = Clock::now();
  for (int i = 0; i < rounds; ++i) matrix.SaveToFile(path);
  double s = Seconds(start);
  std::printf("tables: save of a 2000-row matrix: %.2f ms each\n", s * 1000 / rounds);
  start = Clock::now();
  for (int i = 0; i < rounds; ++i) matrix.LoadFromFile(path);
  s = Seconds(start);
  std::printf("tables: load of a 2000-row matrix: %.2f ms each\n", s * 1000 / rounds);
  start = Clock::now();
  int found = 0;
  for (int i = 0; i < 20000; ++i)
    found += matrix.Locate("Tabela", "tabela" + std::to_string(i % 200)) ? 1 : 0;
  s = Seconds(start);
  std::printf("tables: locate by Tabela in a 2000-row matrix: %.1f us each (%d found)\n", s * 1e6 / 20000,
              found);
}

// Scripts through the engine itself against two embedded databases (no sockets): routed INSERTs,
// each saving both bookkeeping tables, and a query gathering every row into the result file.
void BenchEngine(const QString& dir) {
  const QString previous = QDir::currentPath();
  QDir::setCurrent(dir);
  const std::string alfa = MakeDatabase(dir, "alfa");
  const std::string beta = MakeDatabase(dir, "beta");
  Save(vespril::config::BuildServidor(), {{"ALFA", alfa}, {"BETA", beta}});
  Save(vespril::config::BuildTabela(), {{"ITEM", "IDITEM", "0"}});
  Save(vespril::config::BuildServidorTabela(), {{"ALFA", "ITEM", "0"}, {"BETA", "ITEM", "0"}});
  {
    vespril::VESPRIL engine((dir + "/").toStdString());
    const int inserts = 500;
    auto start = Clock::now();
    for (int i = 0; i < inserts; ++i)
      engine.ExecutarScript("insert into ITEM (QTD) values (1);", "bench", "1");
    double s = Seconds(start);
    std::printf("engine: %d routed INSERTs, one script each: %.3f s, %.0f inserts/s\n", inserts, s,
                inserts / s);

    std::string script;
    for (int i = 0; i < inserts; ++i) script += "insert into ITEM (QTD) values (2);\r\n";
    start = Clock::now();
    const std::string message = engine.ExecutarScript(script, "bench", "1");
    s = Seconds(start);
    std::printf("engine: %d routed INSERTs in one script: %.3f s, %.0f inserts/s%s\n", inserts, s,
                inserts / s, message.empty() ? "" : " (FAILED)");

    engine.SetTabelaRelembrar(true);
    start = Clock::now();
    for (int i = 0; i < 200; ++i) engine.ExecutarScript("insert into ITEM (QTD) values (3);", "bench", "1");
    s = Seconds(start);
    std::printf("engine: 200 INSERTs with the recount on: %.3f s, %.0f inserts/s\n", s, 200 / s);

    start = Clock::now();
    const int queries = 20;
    for (int i = 0; i < queries; ++i) engine.ExecutarScript("select IDITEM, QTD from ITEM;", "bench", "1");
    s = Seconds(start);
    std::printf("engine: query of %d rows over two servers into the result file: %.1f ms each, %.0f rows/s\n",
                2 * inserts + 200, s * 1000 / queries, (2 * inserts + 200) * queries / s);
  }
  QDir::setCurrent(previous);
}

}  // namespace vespril::bench
