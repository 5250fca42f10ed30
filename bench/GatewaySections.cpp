// The comparison sections: the gateway over its TCP port against a client that talks to the Firebird
// server directly, on the same loopback server, in alternating rounds.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <QTemporaryDir>

#include "bench/Harness.h"
#include "bench/Sections.h"
#include "foundation/Error.h"
#include "foundation/FbAttachment.h"
#include "foundation/FbStatement.h"
#include "foundation/FbTransaction.h"
#include "gateway/UVESPRIL.h"
#include "tests/support/TcpProxy.h"

namespace vespril::bench {

namespace {

constexpr char kCliente[] = "bench";
constexpr char kPedido[] = "q";
constexpr char kArquivo[] = "Consultabenchq.xml";  // "Consulta" + kCliente + kPedido + ".xml"

std::string Dir(const QTemporaryDir& dir) { return dir.path().toStdString() + "/"; }

std::string ServerName(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "S%02d", i + 1);  // two digits: name order is slot order
  return name;
}

// The client's side of the servers: one attachment each, kept for the whole run as the gateway keeps
// its slots.
std::vector<std::unique_ptr<fb::Attachment>> Attach(const std::vector<std::string>& addresses) {
  std::vector<std::unique_ptr<fb::Attachment>> attachments;
  for (const std::string& address : addresses)
    attachments.push_back(std::make_unique<fb::Attachment>(address, kUsuario, kSenha));
  return attachments;
}

// What the gateway does for each configuration save: write a new file beside the old one, flush it to
// the disk, rename it over the old one, and flush the directory so the rename survives a power failure.
void SaveAtomically(const std::string& path, const std::string& bytes) {
  const std::string temporary = path + ".new";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
      fdatasync(fd) != 0 || close(fd) != 0 || rename(temporary.c_str(), path.c_str()) != 0) {
    throw Error("Cannot save " + path);
  }
  const std::string directory = path.substr(0, path.rfind('/') + 1);
  const int dir = open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0 || fsync(dir) != 0 || close(dir) != 0) throw Error("Cannot flush the folder of " + path);
}

std::string Mib(long kib) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", kib / 1024.0);
  return text;
}

// "identical", or where the two files first differ.
std::string CompareFiles(const std::string& a, const std::string& b) {
  std::ifstream first(a, std::ios::binary), second(b, std::ios::binary);
  if (!first || !second) return "DIFFERENT (a file is missing)";
  std::vector<char> x(1 << 20), y(1 << 20);
  long long offset = 0;
  for (;;) {
    first.read(x.data(), static_cast<std::streamsize>(x.size()));
    second.read(y.data(), static_cast<std::streamsize>(y.size()));
    const std::streamsize n = first.gcount(), m = second.gcount();
    for (std::streamsize i = 0; i < std::min(n, m); ++i) {
      if (x[i] != y[i]) return "DIFFERENT from byte " + std::to_string(offset + i);
    }
    if (n != m) return "DIFFERENT in length after byte " + std::to_string(offset + std::min(n, m));
    if (n == 0) return "identical";
    offset += n;
  }
}

// ---- routed INSERTs ----

constexpr char kItemDdl[] = "CREATE TABLE ITEM (IDITEM INTEGER NOT NULL PRIMARY KEY, QTD INTEGER)";
constexpr char kDiretoDdl[] = "CREATE TABLE ITEMDIRETO (IDITEM INTEGER NOT NULL PRIMARY KEY, QTD INTEGER)";

// One-row INSERTs straight to the servers in turn: prepare, execute, commit each row. The durable form
// then saves two files of the sizes of the gateway's bookkeeping files, as the gateway does.
class DirectInserter {
 public:
  DirectInserter(const std::vector<std::string>& addresses, std::string fileDir, size_t tabelaBytes,
                 size_t matrizBytes, long firstKey = 1)
      : m_attachments(Attach(addresses)),
        m_fileDir(std::move(fileDir)),
        m_tabelaBytes(tabelaBytes),
        m_matrizBytes(matrizBytes),
        m_lastKey(firstKey - 1) {
    for (auto& attachment : m_attachments) m_statements.emplace_back(*attachment);
  }

  void Insert(bool durable) {
    const long key = ++m_lastKey;
    const size_t server = static_cast<size_t>(key) % m_attachments.size();
    fb::Transaction transaction(*m_attachments[server]);
    m_statements[server].Prepare(
        transaction, "insert into ITEMDIRETO (IDITEM, QTD) values (" + std::to_string(key) + ", 1)", 3);
    m_statements[server].Execute(transaction);
    transaction.Commit();
    if (!durable) return;
    std::string tabela = "ITEMDIRETO IDITEM " + std::to_string(key) + "\n";
    std::string matriz = "ITEMDIRETO " + std::to_string(server) + " " + std::to_string(key) + "\n";
    tabela.resize(std::max(tabela.size(), m_tabelaBytes), ' ');
    matriz.resize(std::max(matriz.size(), m_matrizBytes), ' ');
    SaveAtomically(m_fileDir + "ServidorTabela.xml", matriz);
    SaveAtomically(m_fileDir + "Tabela.xml", tabela);
  }

 private:
  std::vector<std::unique_ptr<fb::Attachment>> m_attachments;
  std::vector<fb::Statement> m_statements;
  std::string m_fileDir;
  size_t m_tabelaBytes;
  size_t m_matrizBytes;
  long m_lastKey;
};

// ---- the query into the result file ----

constexpr char kColunas[] = "IDITEM, IDPEDIDO, QTD, PRECO, DESCRICAO";

std::string QueryTable(long rows, int servers) {
  return "Q" + std::to_string(rows) + "S" + std::to_string(servers);
}

// Fills table on one server with keys first..first+count-1, with NULLs, decimals and "&" in the rows.
void FillTable(const std::string& address, const std::string& table, long first, long count) {
  fb::Attachment attachment(address, kUsuario, kSenha);
  fb::ExecuteAndCommit(attachment,
                       "CREATE TABLE " + table +
                           " (IDITEM INTEGER NOT NULL PRIMARY KEY, IDPEDIDO INTEGER, QTD INTEGER, "
                           "PRECO NUMERIC(9,2), DESCRICAO VARCHAR(40))",
                       3);
  fb::ExecuteAndCommit(attachment,
                       "EXECUTE BLOCK AS DECLARE K INTEGER = " + std::to_string(first) +
                           "; BEGIN WHILE (K < " + std::to_string(first + count) + ") DO BEGIN " +
                           "INSERT INTO " + table +
                           " VALUES (:K, :K / 10, CASE WHEN MOD(:K, 10) = 0 THEN NULL ELSE MOD(:K, 7) END, "
                           "MOD(:K, 100000) * 0.01, 'Parafuso & porca ' || :K); K = K + 1; END END",
                       3);
  attachment.Detach();
}

void AppendEscaped(std::string& out, const std::string& value) {
  for (char c : value) {
    if (c == '&') {
      out += "&amp;";
    } else {
      out += c;
    }
  }
}

// A client that fetches every server's rows itself and writes the result file in its format.
void DirectQuery(std::vector<std::unique_ptr<fb::Attachment>>& attachments, const std::string& sql,
                 const std::string& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
  if (!file) throw Error("Cannot create " + path);
  std::string out = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n  <dados>\r\n";
  for (auto& attachment : attachments) {
    fb::Transaction transaction(*attachment);
    fb::Statement statement(*attachment);
    statement.Prepare(transaction, sql, 3);
    statement.OpenCursor(transaction);
    std::vector<std::string> names;
    for (int i = 0; i < statement.ColumnCount(); ++i) names.push_back(statement.ColumnName(i));
    while (statement.Fetch()) {
      out += "    <registro>\r\n";
      for (size_t i = 0; i < names.size(); ++i) {
        out += "      <" + names[i] + ">";
        AppendEscaped(out, statement.AsText(static_cast<int>(i)));
        out += "</" + names[i] + ">\r\n";
      }
      out += "    </registro>\r\n";
      if (out.size() >= (1u << 20)) {
        std::fwrite(out.data(), 1, out.size(), file.get());
        out.clear();
      }
    }
    statement.CloseCursor();
    transaction.Rollback();
  }
  out += "  </dados>\r\n";
  std::fwrite(out.data(), 1, out.size(), file.get());
  if (std::fflush(file.get()) != 0) throw Error("Cannot write " + path);
}

// The gateway's speed over the other side's, round by round (the other side's time over the gateway's,
// as both do the same work), and the median of those: a round and its neighbour see about the same
// machine, so a build that starts beside the benchmark shifts both of them and leaves the ratio be.
double MedianRatio(const std::vector<double>& gatewayTimes, const std::vector<double>& otherTimes) {
  std::vector<double> ratios;
  for (size_t r = 0; r < gatewayTimes.size(); ++r) ratios.push_back(otherTimes[r] / gatewayTimes[r]);
  return Median(std::move(ratios));
}

void CheckReply(const Resposta& reply) {
  if (!reply.mensagem.empty()) throw Error("The gateway answered: " + reply.mensagem);
}

constexpr int kRoundTripBlock = 50;

// Round trips of `frame` to two servers in short blocks to each in turn, so that whatever else the
// machine does falls on both alike, in microseconds. Not one round trip each: a server's event loop
// still works for a few microseconds after its reply has gone, and that would land on the other's next
// round trip. Each block starts with one untimed round trip, which takes the other side's leftover work.
void AlternatingRoundTrips(const std::string& frame, int samples, WireConnection& a,
                           std::vector<double>& aMicros, WireConnection& b, std::vector<double>& bMicros) {
  auto block = [&](WireConnection& connection, std::vector<double>* micros, int count) {
    connection.Ask(frame);
    for (int i = 0; i < count; ++i) {
      const auto start = Clock::now();
      connection.Ask(frame);
      if (micros) micros->push_back(Seconds(start) * 1e6);
    }
  };
  block(a, nullptr, 200);
  block(b, nullptr, 200);
  for (int done = 0; done < samples; done += kRoundTripBlock) {
    const int count = std::min(kRoundTripBlock, samples - done);
    block(a, &aMicros, count);
    block(b, &bMicros, count);
  }
}

}  // namespace

namespace {

// The servers of the INSERT sections, each with the gateway's ITEM and the direct client's ITEMDIRETO,
// and a child gateway serving them with ITEM spread over them.
struct InsertServers {
  InsertServers(const Options& options, const std::string& prefix) {
    GatewayConfig config;
    config.porta = FreeLoopbackPort();
    config.tabelas = {"ITEM"};
    for (int i = 0; i < options.insertServers; ++i) {
      addresses.push_back(
          databases.Create(prefix + ServerName(i), {kItemDdl, kDiretoDdl}, options.forcedWrites));
      config.servidores.emplace_back(ServerName(i), addresses.back());
    }
    WriteGatewayConfig(Dir(workspace), config);
    gateway = ChildServer::Gateway(Dir(workspace));
  }
  ServerDatabases databases;
  std::vector<std::string> addresses;
  QTemporaryDir workspace, directFiles;
  std::unique_ptr<ChildServer> gateway;
};

}  // namespace

void BenchInserts(const Options& options) {
  InsertServers servers(options, "I");
  const std::vector<std::string>& addresses = servers.addresses;
  const QTemporaryDir& workspace = servers.workspace;
  const QTemporaryDir& directFiles = servers.directFiles;
  WireConnection connection(servers.gateway->Port());
  const std::string frame = Frame(kCliente, kPedido, "insert into ITEM (QTD) values (1);");
  auto gatewayInsert = [&] { CheckReply(connection.Ask(frame)); };

  gatewayInsert();  // the bookkeeping files now hold a generator and counts of realistic width
  namespace fs = std::filesystem;
  DirectInserter direct(addresses, Dir(directFiles), fs::file_size(Dir(workspace) + "Tabela.xml"),
                        fs::file_size(Dir(workspace) + "ServidorTabela.xml"));
  for (int i = 0; i < 20; ++i) {
    gatewayInsert();
    direct.Insert(true);
  }

  std::vector<double> gatewayTimes, bareTimes, durableTimes;
  auto round = [&](const std::function<void()>& insert) {
    const auto start = Clock::now();
    for (int i = 0; i < options.inserts; ++i) insert();
    return Seconds(start);
  };
  for (int r = 0; r < options.rounds; ++r) {
    gatewayTimes.push_back(round(gatewayInsert));
    bareTimes.push_back(round([&] { direct.Insert(false); }));
    durableTimes.push_back(round([&] { direct.Insert(true); }));
  }
  const double gatewayRate = options.inserts / Median(gatewayTimes);
  const double bareRate = options.inserts / Median(bareTimes);
  const double durableRate = options.inserts / Median(durableTimes);
  std::printf(
      "inserts: %d servers (forced writes %s), %d rounds of %d one-row INSERTs each, median round, "
      "one connection\n",
      options.insertServers, options.forcedWrites ? "on" : "off", options.rounds, options.inserts);
  std::printf("inserts:   gateway (routed, over TCP)          %8.0f rows/s  %6.2f ms/row\n", gatewayRate,
              1000 / gatewayRate);
  std::printf("inserts:   direct, insert + commit             %8.0f rows/s  %6.2f ms/row\n", bareRate,
              1000 / bareRate);
  std::printf("inserts:   direct, + two files saved durably   %8.0f rows/s  %6.2f ms/row\n", durableRate,
              1000 / durableRate);
  std::printf(
      "inserts:   median of the rounds' ratios: gateway / durable direct %.2f (target >= 0.95); "
      "gateway / bare direct %.2f\n",
      MedianRatio(gatewayTimes, durableTimes), MedianRatio(gatewayTimes, bareTimes));
}

void BenchWriters(const Options& options) {
  InsertServers servers(options, "W");
  const std::vector<std::string>& addresses = servers.addresses;
  const QTemporaryDir& workspace = servers.workspace;
  const QTemporaryDir& directFiles = servers.directFiles;
  const std::unique_ptr<ChildServer>& gateway = servers.gateway;
  const std::string frame = Frame(kCliente, kPedido, "insert into ITEM (QTD) values (1);");
  CheckReply(WireConnection(gateway->Port()).Ask(frame));  // the bookkeeping files take their width
  namespace fs = std::filesystem;
  const size_t tabelaBytes = fs::file_size(Dir(workspace) + "Tabela.xml");
  const size_t matrizBytes = fs::file_size(Dir(workspace) + "ServidorTabela.xml");

  std::printf(
      "writers: %d servers (forced writes %s), one-row INSERTs from N connections against direct clients "
      "with N threads: one doing the same durable work (insert, commit, two files saved), one doing only "
      "what a user of one server does (insert, commit); %d alternating rounds\n",
      options.insertServers, options.forcedWrites ? "on" : "off", options.rounds);
  constexpr int kRows = 192;  // a round, spread over the connections
  for (const int n : {1, 8, 32}) {
    // Each side's clients, made once: connections to the gateway; attachments and files of their own.
    std::vector<std::unique_ptr<WireConnection>> conexoes;
    std::vector<std::unique_ptr<DirectInserter>> diretos;
    for (int t = 0; t < n; ++t) {
      conexoes.push_back(std::make_unique<WireConnection>(gateway->Port()));
      const std::string dir = Dir(directFiles) + std::to_string(n) + "-" + std::to_string(t) + "/";
      fs::create_directories(dir);
      diretos.push_back(std::make_unique<DirectInserter>(addresses, dir, tabelaBytes, matrizBytes,
                                                         1 + (n * 100 + t) * 10000L));
    }
    std::vector<double> latencias;
    std::mutex mutex;
    const auto lado = [&](const std::function<void(int)>& insert) {
      const auto start = Clock::now();
      std::vector<std::thread> threads;
      for (int t = 0; t < n; ++t) {
        threads.emplace_back([&, t] {
          for (int i = t; i < kRows; i += n) insert(t);
        });
      }
      for (std::thread& thread : threads) thread.join();
      return Seconds(start);
    };
    const auto gatewayInsert = [&](int t) {
      const auto start = Clock::now();
      CheckReply(conexoes[static_cast<size_t>(t)]->Ask(frame));
      const double ms = 1000 * Seconds(start);
      std::lock_guard lock(mutex);
      latencias.push_back(ms);
    };
    const auto directInsert = [&](int t) { diretos[static_cast<size_t>(t)]->Insert(true); };
    const auto bareInsert = [&](int t) { diretos[static_cast<size_t>(t)]->Insert(false); };
    lado(gatewayInsert);  // warm-up
    lado(directInsert);
    lado(bareInsert);
    latencias.clear();
    std::vector<double> gatewayTimes, directTimes, bareTimes;
    for (int r = 0; r < options.rounds; ++r) {
      gatewayTimes.push_back(lado(gatewayInsert));
      directTimes.push_back(lado(directInsert));
      bareTimes.push_back(lado(bareInsert));
    }
    std::printf(
        "writers: %2d connection(s): gateway %6.0f rows/s, durable direct %6.0f rows/s (ratio %.2f), bare "
        "direct %6.0f rows/s (ratio %.2f); gateway latency p50 %.1f ms, p99 %.1f ms\n",
        n, kRows / Median(gatewayTimes), kRows / Median(directTimes), MedianRatio(gatewayTimes, directTimes),
        kRows / Median(bareTimes), MedianRatio(gatewayTimes, bareTimes), Median(latencias),
        Percentile(latencias, 0.99));
    std::fflush(stdout);
  }
}

void BenchQuery(const Options& options) {
  int most = 0;
  for (int servers : options.servers) most = std::max(most, servers);
  ServerDatabases databases;
  std::vector<std::string> addresses;
  for (int i = 0; i < most; ++i) addresses.push_back(databases.Create("Q" + ServerName(i), {}, false));
  {
    const auto start = Clock::now();
    long filled = 0;
    for (int servers : options.servers) {
      for (long rows : options.rows) {
        const long each = rows / servers;
        for (int i = 0; i < servers; ++i)
          FillTable(addresses[i], QueryTable(rows, servers), i * each + 1, each);
        filled += each * servers;
      }
    }
    std::printf("query: %ld rows filled in %.1f s\n", filled, Seconds(start));
  }

  for (int servers : options.servers) {
    GatewayConfig config;
    config.porta = FreeLoopbackPort();
    for (int i = 0; i < servers; ++i) config.servidores.emplace_back(ServerName(i), addresses[i]);
    QTemporaryDir workspace, directFiles;
    WriteGatewayConfig(Dir(workspace), config);
    auto gateway = ChildServer::Gateway(Dir(workspace));
    WireConnection connection(gateway->Port());
    auto attachments = Attach(std::vector<std::string>(addresses.begin(), addresses.begin() + servers));
    std::printf("query: %d servers; gateway resident after start-up %s\n", servers,
                Mib(gateway->ResidentKiB()).c_str());

    for (long rows : options.rows) {
      const long total = rows / servers * servers;
      const std::string sql = std::string("select ") + kColunas + " from " + QueryTable(rows, servers);
      const std::string frame = Frame(kCliente, kPedido, sql + ";");
      const std::string gatewayFile = Dir(workspace) + kArquivo;
      const std::string directFile = Dir(directFiles) + kArquivo;
      CheckReply(connection.Ask(frame));  // warm: the server's pages are in its cache for both
      gateway->ResetPeak();
      const long before = gateway->ResidentKiB();
      // Small queries take more rounds, so that every size is timed for about as long.
      const int rounds = options.queryRounds * static_cast<int>(std::max(1L, 100000 / std::max(1L, total)));
      std::vector<double> gatewayTimes, directTimes;
      double gatewayCpu = 0, directCpu = 0;
      for (int r = 0; r < rounds; ++r) {
        double cpu = gateway->CpuSeconds();
        auto start = Clock::now();
        CheckReply(connection.Ask(frame));
        gatewayTimes.push_back(Seconds(start));
        gatewayCpu += gateway->CpuSeconds() - cpu;
        cpu = OwnCpuSeconds();
        start = Clock::now();
        DirectQuery(attachments, sql, directFile);
        directTimes.push_back(Seconds(start));
        directCpu += OwnCpuSeconds() - cpu;
      }
      const double gatewayRate = total / Median(gatewayTimes);
      const double directRate = total / Median(directTimes);
      const double rowsTimed = static_cast<double>(total) * rounds;
      std::printf(
          "query: %8ld rows over %2d servers, median of %d rounds: gateway %9.0f rows/s, direct "
          "%9.0f rows/s, ratio by round %.2f (target >= 0.90)\n",
          total, servers, rounds, gatewayRate, directRate, MedianRatio(gatewayTimes, directTimes));
      std::printf(
          "query:   processor a row: gateway %.2f us, direct %.2f us; files %s (%.1f MiB); "
          "gateway peak %s (%s before)\n",
          gatewayCpu * 1e6 / rowsTimed, directCpu * 1e6 / rowsTimed,
          CompareFiles(gatewayFile, directFile).c_str(),
          static_cast<double>(std::filesystem::file_size(gatewayFile)) / 1048576.0,
          Mib(gateway->PeakKiB()).c_str(), Mib(before).c_str());
      std::fflush(stdout);
    }
  }
}

namespace {

// A gateway child serving the first `servers` of `addresses`, and a connection to it.
struct Gateway {
  Gateway(const std::vector<std::string>& addresses, int servers) {
    GatewayConfig config;
    config.porta = FreeLoopbackPort();
    for (int i = 0; i < servers; ++i) config.servidores.emplace_back(ServerName(i), addresses[i]);
    WriteGatewayConfig(Dir(workspace), config);
    child = ChildServer::Gateway(Dir(workspace));
    connection = std::make_unique<WireConnection>(child->Port());
  }
  double Time(const std::string& frame) {
    const auto start = Clock::now();
    CheckReply(connection->Ask(frame));
    return Seconds(start);
  }
  std::string File() const { return Dir(workspace) + kArquivo; }

  QTemporaryDir workspace;
  std::unique_ptr<ChildServer> child;
  std::unique_ptr<WireConnection> connection;
};

}  // namespace

void BenchRemote(const Options& options) {
  const int most = *std::max_element(options.remoteServers.begin(), options.remoteServers.end());
  ServerDatabases databases;
  std::vector<std::string> near, far;
  const test::TcpProxy proxy(3050, std::chrono::microseconds(options.delayMicros));
  const std::string prefix = "localhost:";
  {
    const auto start = Clock::now();
    for (int i = 0; i < most; ++i) {
      near.push_back(databases.Create("R" + ServerName(i), {}, false));
      fb::Attachment attachment(near.back(), kUsuario, kSenha);
      fb::ExecuteAndCommit(attachment, "CREATE TABLE T (I INTEGER NOT NULL PRIMARY KEY, S VARCHAR(40))", 3);
      fb::ExecuteAndCommit(attachment,
                           "EXECUTE BLOCK AS DECLARE K INTEGER = 0; BEGIN WHILE (K < " +
                               std::to_string(options.remoteRows) +
                               ") DO BEGIN INSERT INTO T VALUES (:K, 'Parafuso & porca ' || :K); K = K + 1; "
                               "END END",
                           3);
      attachment.Detach();
      far.push_back("localhost/" + std::to_string(proxy.Port()) + ":" + near.back().substr(prefix.size()));
    }
    std::printf("remote: %d servers of %ld rows filled in %.1f s\n", most, options.remoteRows,
                Seconds(start));
  }
  const std::string frame = Frame(kCliente, kPedido, "select I, S from T;");
  const std::string probe = Frame(kCliente, kPedido, "select 1 as UM from RDB$DATABASE;");
  const double delayMs = options.delayMicros / 1000.0;
  Gateway oneNear(near, 1), oneFar(far, 1);
  for (Gateway* gateway : {&oneNear, &oneFar}) gateway->Time(frame);
  oneFar.child->ResetPeak();
  std::printf("remote: gateway peak memory over 1 server at %.1f ms: ", delayMs);
  oneFar.Time(frame);
  std::printf("%s\n", Mib(oneFar.child->PeakKiB()).c_str());

  for (int servers : options.remoteServers) {
    Gateway nNear(near, servers), nFar(far, servers);
    for (Gateway* gateway : {&nNear, &nFar}) gateway->Time(frame);
    // The fixed cost of a query over every server, where no row and no delay hides it.
    std::vector<double> probeMs;
    for (int i = 0; i < 200; ++i) probeMs.push_back(nNear.Time(probe) * 1000);
    const long before = nFar.child->ResidentKiB();
    nFar.child->ResetPeak();
    std::vector<double> farTimes, nearTimes, oneFarTimes, oneNearTimes, ratios;
    for (int r = 0; r < options.queryRounds; ++r) {
      farTimes.push_back(nFar.Time(frame));
      nearTimes.push_back(nNear.Time(frame));
      oneFarTimes.push_back(oneFar.Time(frame));
      oneNearTimes.push_back(oneNear.Time(frame));
      ratios.push_back(farTimes.back() / (nearTimes.back() + oneFarTimes.back() - oneNearTimes.back()));
    }
    const long peak = nFar.child->PeakKiB();
    auto attachments = Attach(std::vector<std::string>(near.begin(), near.begin() + servers));
    QTemporaryDir directFiles;
    DirectQuery(attachments, "select I, S from T", Dir(directFiles) + kArquivo);
    std::printf(
        "remote: %2d servers of %ld rows, %.1f ms each way, median of %d rounds: %.3f s; without delay "
        "%.3f s; 1 server %.3f s at %.1f ms, %.3f s without\n",
        servers, options.remoteRows, delayMs, options.queryRounds, Median(farTimes), Median(nearTimes),
        Median(oneFarTimes), delayMs, Median(oneNearTimes));
    std::printf(
        "remote:   median ratio to (without delay + 1 server's wait) %.2f (target <= 1.3); file %s to a "
        "client's reading one server after another; gateway peak %s (%s before)\n",
        Median(ratios), CompareFiles(nFar.File(), Dir(directFiles) + kArquivo).c_str(), Mib(peak).c_str(),
        Mib(before).c_str());
    std::printf("remote:   a one-row query over %d servers without delay: p50 %.2f ms, p90 %.2f ms\n",
                servers, Percentile(probeMs, 0.5), Percentile(probeMs, 0.9));
    std::fflush(stdout);
  }
}

void BenchBaixar(const Options& options) {
  QTemporaryDir workspace;
  GatewayConfig config;
  config.porta = FreeLoopbackPort();
  WriteGatewayConfig(Dir(workspace), config);
  auto gateway = ChildServer::Gateway(Dir(workspace));
  auto floor = ChildServer::Floor(Dir(workspace));
  WireConnection toGateway(gateway->Port()), toFloor(floor->Port());
  const std::string frame = Frame(kCliente, kPedido, "Baixar");
  const Resposta fromGateway = toGateway.Ask(frame), fromFloor = toFloor.Ask(frame);
  if (fromGateway.retorno != fromFloor.retorno || !fromGateway.mensagem.empty())
    throw Error("The floor's reply differs from the gateway's: " + fromFloor.retorno);

  std::vector<double> gatewayMicros, floorMicros;
  AlternatingRoundTrips(frame, options.samples, toGateway, gatewayMicros, toFloor, floorMicros);
  std::printf("baixar: %d round trips on one connection to each, alternating blocks of %d\n", options.samples,
              kRoundTripBlock);
  std::printf("baixar:   gateway         p50 %7.1f us  p99 %7.1f us\n", Percentile(gatewayMicros, 0.5),
              Percentile(gatewayMicros, 0.99));
  std::printf("baixar:   poll() floor    p50 %7.1f us  p99 %7.1f us\n", Percentile(floorMicros, 0.5),
              Percentile(floorMicros, 0.99));
  std::printf("baixar:   gateway / floor p50 %.2f, p99 %.2f\n",
              Percentile(gatewayMicros, 0.5) / Percentile(floorMicros, 0.5),
              Percentile(gatewayMicros, 0.99) / Percentile(floorMicros, 0.99));
}

// ---- the log and the metrics, on against off ----

namespace {

// The body of http://127.0.0.1:port/path, fetched with HTTP/1.0.
std::string HttpGet(int port, const std::string& path) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      char buffer[65536];
      for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, 0)) > 0;)
        reply.append(buffer, static_cast<size_t>(got));
    }
  }
  if (fd >= 0) close(fd);
  const size_t body = reply.find("\r\n\r\n");
  return body == std::string::npos ? "" : reply.substr(body + 4);
}

long Lines(const std::string& path) {
  std::ifstream file(path);
  return static_cast<long>(
      std::count(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>(), '\n'));
}

}  // namespace

void BenchLogMetrics(const Options& options) {
  ServerDatabases databases;
  // Two gateways alike, each on databases of its own, but for the request log and the metrics.
  struct Side {
    QTemporaryDir workspace;
    std::unique_ptr<ChildServer> gateway;
    std::unique_ptr<WireConnection> connection;
  };
  Side on, off;
  const int metricsPort = FreeLoopbackPort();
  for (Side* side : {&on, &off}) {
    GatewayConfig config;
    config.porta = FreeLoopbackPort();
    config.tabelas = {"ITEM"};
    for (int i = 0; i < options.insertServers; ++i) {
      const std::string name = (side == &on ? "L" : "N") + ServerName(i);
      config.servidores.emplace_back(ServerName(i), databases.Create(name, {kItemDdl}, options.forcedWrites));
    }
    WriteGatewayConfig(Dir(side->workspace), config);
    const std::vector<std::string> environment =
        side == &on ? std::vector<std::string>{"VESPRIL_METRICAS=127.0.0.1:" + std::to_string(metricsPort),
                                               "QT_LOGGING_RULES=vespril.*=true"}
                    : std::vector<std::string>{"QT_LOGGING_RULES=vespril.*=false"};
    side->gateway =
        ChildServer::Gateway(Dir(side->workspace), environment, Dir(side->workspace) + "stderr.log");
    side->connection = std::make_unique<WireConnection>(side->gateway->Port());
  }

  std::vector<double> onMicros, offMicros;
  AlternatingRoundTrips(Frame(kCliente, kPedido, "Baixar"), options.samples, *on.connection, onMicros,
                        *off.connection, offMicros);

  // INSERTs: alternating rounds, the median round of each.
  const std::string insert = Frame(kCliente, kPedido, "insert into ITEM (QTD) values (1);");
  std::vector<double> onTimes, offTimes;
  auto round = [&](WireConnection& connection) {
    const auto start = Clock::now();
    for (int i = 0; i < options.inserts; ++i) CheckReply(connection.Ask(insert));
    return Seconds(start);
  };
  round(*on.connection);
  round(*off.connection);
  // Each side goes first in every other round, so that neither always follows the other's disk work.
  for (int r = 0; r < options.rounds; ++r) {
    if (r % 2 == 0) onTimes.push_back(round(*on.connection));
    offTimes.push_back(round(*off.connection));
    if (r % 2 == 1) onTimes.push_back(round(*on.connection));
  }

  const std::string metrics = HttpGet(metricsPort, "/metrics");
  std::printf("logmetrics: log and metrics on against off, two gateways alike, alternating\n");
  std::printf("logmetrics:   baixar  on  p50 %7.1f us  p99 %7.1f us   off p50 %7.1f us  p99 %7.1f us\n",
              Percentile(onMicros, 0.5), Percentile(onMicros, 0.99), Percentile(offMicros, 0.5),
              Percentile(offMicros, 0.99));
  std::printf("logmetrics:   baixar  on / off round trip p50 %.3f, p99 %.3f (target <= 1.03)\n",
              Percentile(onMicros, 0.5) / Percentile(offMicros, 0.5),
              Percentile(onMicros, 0.99) / Percentile(offMicros, 0.99));
  std::printf("logmetrics:   inserts on %8.0f rows/s, off %8.0f rows/s (%d rounds of %d, forced writes %s)\n",
              options.inserts / Median(onTimes), options.inserts / Median(offTimes), options.rounds,
              options.inserts, options.forcedWrites ? "on" : "off");
  std::printf(
      "logmetrics:   inserts on / off throughput, median of the rounds' ratios %.3f (target >= 0.97)\n",
      MedianRatio(onTimes, offTimes));
  std::printf("logmetrics:   the log held %ld lines; /metrics answered %zu bytes\n",
              Lines(Dir(on.workspace) + "stderr.log"), metrics.size());
}

}  // namespace vespril::bench
