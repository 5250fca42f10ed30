// The in-process sections: the engine's parts timed directly, without sockets or child processes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QTimer>

#include "bench/Harness.h"
#include "bench/Sections.h"
#include "config/ConfigTables.h"
#include "execution/ArquivoConsulta.h"
#include "foundation/FbAttachment.h"
#include "foundation/FbStatement.h"
#include "gateway/UVESPRIL.h"
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

// A blocking client connection, for client threads.
class Client {
 public:
  explicit Client(int port) {
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) std::abort();
  }
  ~Client() { ::close(m_fd); }
  void Send(const std::string& cliente, const std::string& pedido, const std::string& comando) {
    const std::string bytes = Frame(cliente, pedido, comando);
    if (::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
      std::abort();
  }
  ::vespril::Resposta Receive() {
    for (;;) {
      if (auto reply = m_replies.Next()) return *reply;
      char buffer[1 << 16];
      const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
      if (n <= 0) std::abort();
      m_replies.Append(std::string_view(buffer, static_cast<size_t>(n)));
    }
  }
  // One request answered; its latency in milliseconds.
  double Ask(const std::string& cliente, const std::string& pedido, const std::string& comando) {
    const auto start = Clock::now();
    Send(cliente, pedido, comando);
    const ::vespril::Resposta reply = Receive();
    if (!reply.mensagem.empty()) std::printf("  (refused: %s)\n", reply.mensagem.c_str());
    return Seconds(start) * 1000;
  }

 private:
  int m_fd = -1;
  ::vespril::ReplyAssembler m_replies;
};

struct Latencies {
  std::vector<double> ms;
  std::string Text() {
    if (ms.empty()) return "none";
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<size_t>(q * ms.size()))]; };
    char text[160];
    std::snprintf(text, sizeof text, "p50 %.3f ms, p99 %.3f ms, max %.3f ms (%zu)", at(0.5), at(0.99),
                  ms.back(), ms.size());
    return text;
  }
};

// The event loop's delay: how late a repeating 10 ms timer fires, at worst, while `work` runs on other
// threads; the loop serves the engine meanwhile.
double WorstTimerDelayMs(const std::function<void(std::atomic<bool>&)>& work) {
  std::atomic<bool> done{false};
  std::thread worker([&] { work(done); });
  QElapsedTimer clock;
  clock.start();
  qint64 last = clock.nsecsElapsed();
  double worst = 0;
  QTimer timer;
  timer.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    worst = std::max(worst, (now - last) / 1e6 - 10);
    last = now;
  });
  timer.start(10);
  while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  worker.join();
  return worst;
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
    for (int sv = 0; sv < vespril::kSlots; ++sv) {
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

// Clients side by side through the listener, on databases of the loopback server.
void BenchClients(const QString& dir) {
  const QString previous = QDir::currentPath();
  QDir::setCurrent(dir);
  QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                 QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther);
  const std::string address = "localhost:" + (dir + "/clients.fdb").toStdString();
  {
    vespril::fb::Attachment db = vespril::fb::Attachment::Create(address, "SYSDBA", "quillbark", 3, false);
    vespril::fb::ExecuteAndCommit(db, "CREATE TABLE ITEM (IDITEM INTEGER NOT NULL PRIMARY KEY, QTD INTEGER)",
                                  3);
    vespril::fb::ExecuteAndCommit(db, "CREATE TABLE BIG (I INTEGER)", 3);
    vespril::fb::ExecuteAndCommit(db, "CREATE TABLE MEDIO (I INTEGER)", 3);
    vespril::fb::ExecuteAndCommit(
        db,
        "execute block as declare i integer = 0; begin while (i < 1000000) do begin "
        "insert into BIG values (:i); if (i < 10000) then insert into MEDIO values (:i); "
        "i = i + 1; end end",
        3);
    db.Detach();
  }
  const int port = FreeLoopbackPort();
  Save(vespril::config::BuildPortaRelembrar(),
       {{"Porta", std::to_string(port)}, {"TabelaRelembrar", "False"}});
  Save(vespril::config::BuildServidor(), {{"ALFA", address}});
  Save(vespril::config::BuildTabela(), {{"ITEM", "IDITEM", "0"}});
  Save(vespril::config::BuildServidorTabela(), {{"ALFA", "ITEM", "0"}});
  vespril::VESPRIL engine((dir + "/").toStdString());

  // Idle latencies, then the same while another connection's query of 10^6 rows runs.
  Latencies baixarIdle, insertIdle, baixarBusy, insertBusy;
  int next = 0;
  WorstTimerDelayMs([&](std::atomic<bool>& done) {
    Client client(port);
    for (int i = 0; i < 200; ++i) baixarIdle.ms.push_back(client.Ask("b", "1", "Baixar"));
    for (int i = 0; i < 50; ++i)
      insertIdle.ms.push_back(client.Ask("b", "2", "insert into ITEM (QTD) values (1);"));
    done = true;
  });
  double queryS = 0;
  const double delayDuringQuery = WorstTimerDelayMs([&](std::atomic<bool>& done) {
    std::atomic<bool> queryDone{false};
    std::thread query([&] {
      Client client(port);
      const auto start = Clock::now();
      client.Ask("q", "1", "select I from BIG;");
      queryS = Seconds(start);
      queryDone = true;
    });
    Client client(port);
    while (!queryDone) {
      baixarBusy.ms.push_back(client.Ask("b", "1", "Baixar"));
      if (++next % 10 == 0)
        insertBusy.ms.push_back(client.Ask("b", "2", "insert into ITEM (QTD) values (1);"));
    }
    query.join();
    done = true;
  });
  std::printf("clients: query of 10^6 rows into its result file: %.2f s\n", queryS);
  std::printf("clients: Baixar idle:               %s\n", baixarIdle.Text().c_str());
  std::printf("clients: Baixar during the query:   %s\n", baixarBusy.Text().c_str());
  std::printf("clients: INSERT idle:               %s\n", insertIdle.Text().c_str());
  std::printf("clients: INSERT during the query:   %s\n", insertBusy.Text().c_str());
  std::printf("clients: worst event-loop delay (10 ms timer) during the query: %.1f ms\n", delayDuringQuery);

  // `connections` clients at once, each sending `each` copies of `script`; the seconds they took
  // together and the event loop's worst delay meanwhile.
  const auto side = [port](int connections, int each, const std::string& cliente, const std::string& script) {
    double s = 0;
    const double delay = WorstTimerDelayMs([&](std::atomic<bool>& done) {
      const auto start = Clock::now();
      std::vector<std::thread> threads;
      for (int c = 0; c < connections; ++c) {
        threads.emplace_back([&, c] {
          Client client(port);
          for (int i = 0; i < each; ++i) client.Ask(cliente + std::to_string(c), "1", script);
        });
      }
      for (std::thread& thread : threads) thread.join();
      s = Seconds(start);
      done = true;
    });
    return std::pair{s, delay};
  };

  // Routed INSERTs: from one connection, then a storm of 32.
  for (int connections : {1, 32}) {
    const int each = connections == 1 ? 300 : 30;
    const auto [s, delay] = side(connections, each, "i", "insert into ITEM (QTD) values (2);");
    std::printf(
        "clients: routed INSERTs from %d connection(s): %.0f rows/s; worst event-loop delay %.1f ms\n",
        connections, connections * each / s, delay);
  }

  // Read scripts of 10^4 rows each from 1, 4 and 16 connections.
  for (int connections : {1, 4, 16}) {
    const int each = 64 / connections;
    const double s = side(connections, each, "r", "select I from MEDIO;").first;
    std::printf("clients: read scripts of 10^4 rows from %2d connection(s): %.0f rows/s into result files\n",
                connections, connections * each * 10000 / s);
  }
  QDir::setCurrent(previous);
}

}  // namespace vespril::bench
