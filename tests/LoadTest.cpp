// Many clients at once through the real listener, on two servers: every reply is right and in order,
// keys stay unique across the servers, children carry their parent's key, broadcast UPDATEs reach
// every row once, and the row-count matrix matches the databases. The clients are sockets of this
// process, driven by the same event loop as the engine. VESPRIL_LOAD_SEED repeats a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <QFile>
#include <QFileInfo>
#include <QTest>

#include "execution/ArquivoConsulta.h"
#include "gateway/UVESPRIL.h"
#include "protocol/WireProtocol.h"
#include "tests/support/FirebirdTestDatabase.h"
#include "tests/support/SocketClient.h"
#include "tests/support/Workspace.h"

namespace vespril {
namespace {

using test::FirebirdTestDatabase;
using test::Workspace;

constexpr int kClients = 32;
constexpr int kRequests = 100;  // frames each client sends
const std::string SEP(SeparadorChave);

unsigned Seed() {
  if (const char* seed = std::getenv("VESPRIL_LOAD_SEED")) return static_cast<unsigned>(std::stoul(seed));
  return std::random_device{}();
}

// The values between <CLIENTE> and </CLIENTE> in a result file, sorted.
std::vector<std::string> Clientes(const std::string& file) {
  std::vector<std::string> values;
  for (size_t at = file.find("<CLIENTE>"); at != std::string::npos; at = file.find("<CLIENTE>", at)) {
    at += 9;
    values.push_back(file.substr(at, file.find("</CLIENTE>", at) - at));
  }
  std::sort(values.begin(), values.end());
  return values;
}

std::string ReadFile(const std::string& path) {
  QFile file(PathToQString(path));
  return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "(no file)";
}

// One client: sends its requests a write at a time (one to four frames), waits for the replies of the
// whole write, checks them byte for byte and what they imply, then writes again. Items are tagged by
// QTD = 1000 * client + request, and their parent's CLIENTE is "kNN-request".
class LoadClient {
 public:
  LoadClient(int index, unsigned seed, int port, std::string resultDirectory)
      : m_index(index),
        m_random(seed + static_cast<unsigned>(index)),
        m_results(std::move(resultDirectory)),
        m_socket(port) {
    char name[8];
    std::snprintf(name, sizeof name, "k%02d", index);
    m_cliente = name;
    m_socket.OnBytes([this](std::string_view bytes) {
      m_received += bytes;
      Read();
    });
    Write();
  }

  bool Done() const { return m_sent == kRequests && m_expected.empty(); }
  const std::vector<std::string>& Failures() const { return m_failures; }
  int Parents() const { return static_cast<int>(m_parents.size()); }
  // Tag of every item this client inserted -> the PRECO it must end with.
  std::map<int, int> Precos() const {
    std::map<int, int> precos;
    for (const auto& [tag, updatesBefore] : m_items) precos[tag] = 1 + m_updates - updatesBefore;
    return precos;
  }
  int Items() const { return m_itemCount; }

 private:
  void Write() {
    std::string bytes;
    int frames = 0;
    auto add = [&](const std::string& pedido, const std::string& comando, const std::string* retorno) {
      bytes += MontarPedido(m_cliente, pedido, comando);
      if (retorno) m_expected += MontarResposta(m_cliente, pedido, "", *retorno);
      ++frames;
    };
    if (!m_toDelete.empty() && kRequests - m_sent >= 2) {
      add(m_toDelete, "Deletar", nullptr);
      m_deleted = m_toDelete;
    }
    m_toDelete.clear();
    m_query.clear();
    const int ops = std::uniform_int_distribution<int>(1, 3)(m_random);
    for (int op = 0; op < ops && m_sent + frames < kRequests && m_query.empty(); ++op) {
      const int request = m_sent + frames;
      int kind = std::uniform_int_distribution<int>(0, 9)(m_random);
      if (kind >= 5 && kRequests - request < 2) kind = 4;  // no room left for a query and its "Baixar"
      const std::string pedido = std::to_string(request);
      const int tag = 1000 * m_index + request;
      if (kind < 3) {
        const std::string parent = m_cliente + "-" + pedido;
        std::string script = "insert into PEDIDO (CLIENTE) values ('" + parent + "');";
        const int children = 1 + kind % 2;
        for (int c = 0; c < children; ++c) {
          script += "\r\ninsert into ITEM (QTD, PRECO) values (" + std::to_string(tag) + ", 1)" + SEP +
                    "PEDIDO, IDPEDIDO" + SEP + ";";
        }
        add(pedido, script, &script);
        m_parents.push_back(parent);
        m_items[tag] = m_updates;
        m_itemCount += children;
      } else if (kind < 5) {
        const std::string script = "update ITEM set PRECO = PRECO + 1 where QTD between " +
                                   std::to_string(1000 * m_index) + " and " +
                                   std::to_string(1000 * m_index + 999) + ";";
        add(pedido, script, &script);
        ++m_updates;
      } else {
        // A query then its "Baixar", last in the write, so the file is checked before it is deleted.
        const std::string script =
            "select CLIENTE from PEDIDO where CLIENTE starting with '" + m_cliente + "-';";
        const std::string path = CaminhoArquivoConsulta(m_results, m_cliente, pedido);
        add(pedido, script, &script);
        add(pedido, "Baixar", &path);
        m_query = pedido;
      }
    }
    m_sent += frames;
    m_socket.Send(bytes);
  }

  void Read() {
    if (m_received.size() < m_expected.size()) return;
    if (m_received != m_expected) Fail("replies differ:\n" + m_received + "\nexpected:\n" + m_expected);
    m_received.clear();
    m_expected.clear();
    if (!m_deleted.empty() &&
        QFile::exists(PathToQString(CaminhoArquivoConsulta(m_results, m_cliente, m_deleted)))) {
      Fail("Deletar left result file " + m_deleted);
    }
    m_deleted.clear();
    if (!m_query.empty()) {
      std::vector<std::string> expected = m_parents;
      std::sort(expected.begin(), expected.end());
      if (Clientes(ReadFile(CaminhoArquivoConsulta(m_results, m_cliente, m_query))) != expected) {
        Fail("query " + m_query + " does not hold the client's " + std::to_string(expected.size()) + " rows");
      }
      m_toDelete = m_query;
    }
    if (m_sent < kRequests && m_failures.empty()) Write();
  }

  void Fail(const std::string& what) { m_failures.push_back(m_cliente + ": " + what); }

  int m_index;
  std::mt19937 m_random;
  std::string m_results;
  test::SocketClient m_socket;
  std::string m_cliente;
  int m_sent = 0;
  std::string m_expected;
  std::string m_received;
  std::string m_query;     // pedido of the query in the write under way
  std::string m_toDelete;  // pedido whose result file the next write deletes
  std::string m_deleted;   // pedido deleted in the write under way
  std::vector<std::string> m_parents;
  std::map<int, int> m_items;  // tag -> updates sent before it
  int m_itemCount = 0;
  int m_updates = 0;
  std::vector<std::string> m_failures;
};

// "ALFA,ITEM,3;..." sorted, for the matrix on disk and for the databases' own counts.
std::set<std::string> MatrixRows(const std::string& dump) {
  std::set<std::string> rows;
  for (size_t at = 0; at <= dump.size();) {
    const size_t end = std::min(dump.find(';', at), dump.size());
    rows.insert(dump.substr(at, end - at));
    at = end + 1;
  }
  return rows;
}

std::set<std::string> RealCounts(const FirebirdTestDatabase& alfa, const FirebirdTestDatabase& beta) {
  std::set<std::string> rows;
  for (const auto& [nome, db] : {std::pair{"ALFA", &alfa}, std::pair{"BETA", &beta}}) {
    for (const char* tabela : {"ITEM", "PEDIDO"}) {
      rows.insert(std::string(nome) + "," + tabela + "," + std::to_string(db->Count(tabela)));
    }
  }
  return rows;
}

// Points TMPDIR (and so the databases and the workspace made meanwhile) at memory while it lives. The
// load is about interleaving, not durability: the file syncs of every save would otherwise take most
// of the run on a slow disk.
class TemporaryFilesInMemory {
 public:
  TemporaryFilesInMemory() {
    if (const char* previous = std::getenv("TMPDIR")) m_previous = previous;
    if (QFileInfo("/dev/shm").isWritable()) setenv("TMPDIR", "/dev/shm", 1);
  }
  ~TemporaryFilesInMemory() {
    if (m_previous) {
      setenv("TMPDIR", m_previous->c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }

 private:
  std::optional<std::string> m_previous;
};

TEST(LoadTest, ThirtyTwoClientsOfMixedRequestsOnTwoServers) {
  TemporaryFilesInMemory inMemory;
  auto alfa = FirebirdTestDatabase::WithOrders();
  auto beta = FirebirdTestDatabase::WithOrders();
  Workspace workspace;
  const int port = test::FreeTcpPort();
  workspace.WriteSettings(std::to_string(port), "False");
  workspace.WriteServers({{"ALFA", alfa.Address()}, {"BETA", beta.Address()}});
  workspace.WriteTables({{"PEDIDO", "IDPEDIDO", 0}, {"ITEM", "IDITEM", 0}});
  workspace.WriteMatrix(
      {{"ALFA", "ITEM", 0}, {"BETA", "ITEM", 0}, {"ALFA", "PEDIDO", 0}, {"BETA", "PEDIDO", 0}});
  auto engine = std::make_unique<VESPRIL>(workspace.ResultDirectory());

  const unsigned seed = Seed();
  std::cout << "load test: seed " << seed << ", " << kClients << " connections x " << kRequests << " requests"
            << std::endl;
  std::vector<std::unique_ptr<LoadClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<LoadClient>(i, seed, port, workspace.ResultDirectory()));
  }
  const auto finished = [&] {
    return std::all_of(clients.begin(), clients.end(),
                       [](const auto& c) { return c->Done() || !c->Failures().empty(); });
  };
  ASSERT_TRUE(QTest::qWaitFor(finished, 120000)) << "the clients did not finish in time";

  int parents = 0;
  int items = 0;
  std::map<int, int> precos;
  for (const auto& client : clients) {
    for (const std::string& failure : client->Failures()) ADD_FAILURE() << failure;
    ASSERT_TRUE(client->Done());
    parents += client->Parents();
    items += client->Items();
    precos.merge(client->Precos());
  }

  // Keys unique across the servers; every item under its own parent with every UPDATE applied once.
  std::map<std::string, std::string> clienteOf;  // IDPEDIDO -> CLIENTE
  std::set<std::string> itemKeys;
  for (const FirebirdTestDatabase* db : {&alfa, &beta}) {
    for (const auto& row : db->Rows("select IDPEDIDO, CLIENTE from PEDIDO")) {
      EXPECT_TRUE(clienteOf.emplace(row[0], row[1]).second) << "PEDIDO key " << row[0] << " twice";
    }
  }
  for (const FirebirdTestDatabase* db : {&alfa, &beta}) {
    for (const auto& row : db->Rows("select IDITEM, IDPEDIDO, QTD, PRECO from ITEM")) {
      EXPECT_TRUE(itemKeys.insert(row[0]).second) << "ITEM key " << row[0] << " twice";
      const int tag = std::stoi(row[2]);
      char parent[16];
      std::snprintf(parent, sizeof parent, "k%02d-%d", tag / 1000, tag % 1000);
      EXPECT_EQ(clienteOf[row[1]], parent) << "ITEM " << row[0];
      EXPECT_EQ(row[3], std::to_string(precos[tag]) + ".00") << "ITEM " << row[0];
    }
  }
  EXPECT_EQ(static_cast<int>(clienteOf.size()), parents);
  EXPECT_EQ(static_cast<int>(itemKeys.size()), items);
  EXPECT_EQ(MatrixRows(workspace.DumpMatrix()), RealCounts(alfa, beta));

  // With the recount on, one more INSERT into each table takes the servers' own counts.
  engine->SetTabelaRelembrar(true);
  EXPECT_EQ(engine->ExecutarScript("insert into PEDIDO (CLIENTE) values ('fim');\r\n"
                                   "insert into ITEM (QTD) values (0)" +
                                       SEP + "PEDIDO, IDPEDIDO" + SEP + ";",
                                   "fim", "1"),
            "");
  EXPECT_EQ(MatrixRows(workspace.DumpMatrix()), RealCounts(alfa, beta));
  std::cout << "load test: " << parents << " PEDIDO and " << items << " ITEM rows" << std::endl;
  clients.clear();
  engine.reset();
}

}  // namespace
}  // namespace vespril
