// The gateway telling what it does: a request's log line, and the metrics a few requests move. The
// gateway serves an embedded database in this process; its lines are caught where Qt's logging hands
// them over.
#include <algorithm>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QHostAddress>
#include <QTest>

#include "gateway/UVESPRIL.h"
#include "tests/support/FirebirdTestDatabase.h"
#include "tests/support/LoopbackGateway.h"

namespace vespril {
namespace {

using test::Insert;
using test::Pedir;
using test::SocketClient;

// The lines of the category vespril.requests, as Qt's logging delivers them (from the log's thread).
class LinhasDePedidos {
 public:
  LinhasDePedidos() {
    s_linhas = this;
    m_anterior =
        qInstallMessageHandler([](QtMsgType tipo, const QMessageLogContext& contexto, const QString& texto) {
          if (std::string(contexto.category) == "vespril.requests") {
            std::lock_guard trava(s_linhas->m_mutex);
            s_linhas->m_linhas.push_back(texto.toLatin1().toStdString());
          } else {
            s_linhas->m_anterior(tipo, contexto, texto);
          }
        });
  }
  ~LinhasDePedidos() { qInstallMessageHandler(m_anterior); }
  // The next line logged, waiting for it.
  std::string Proxima() {
    std::string linha = "(no line)";
    (void)QTest::qWaitFor(
        [&] {
          std::lock_guard trava(m_mutex);
          if (m_lidas == m_linhas.size()) return false;
          linha = m_linhas[m_lidas++];
          return true;
        },
        5000);
    return linha;
  }

 private:
  static inline LinhasDePedidos* s_linhas = nullptr;
  QtMessageHandler m_anterior = nullptr;
  std::mutex m_mutex;
  std::vector<std::string> m_linhas;  // guarded by m_mutex
  size_t m_lidas = 0;
};

TEST(PainelTest, RequestLineHoldsItsFieldsAndNoValueOfItsScript) {
  LinhasDePedidos linhas;
  const auto db = test::FirebirdTestDatabase::WithOrders();
  test::LoopbackGateway gateway(db.Address());
  SocketClient client(gateway.port);
  struct Caso {
    std::string script;
    std::string resto;  // after the request's Cliente and Pedido, as a pattern
  };
  const std::vector<Caso> casos = {
      {Insert("Segredo"), R"(escrita instrucoes=1: insert PEDIDO linhas=0 [0-9.]+ ms ok)"},
      {"select CLIENTE from PEDIDO where CLIENTE = 'Segredo' or 'x from Segredo' = '';",
       R"(consulta instrucoes=1: select PEDIDO linhas=1 [0-9.]+ ms ok)"},
      {"update PEDIDO set NADA = 'Segredo';",
       R"(escrita instrucoes=1: update PEDIDO linhas=0 [0-9.]+ ms falha="ALFA: Dynamic SQL Error\\r\\n.*Column unknown\\r\\nNADA.*")"},
      {"Baixar", R"(Baixar linhas=0 [0-9.]+ ms ok)"},
  };
  for (const Caso& caso : casos) {
    // The line names the server that failed; the reply keeps the server's own text for the client.
    EXPECT_EQ(client.Ask(Pedir("c", "7", caso.script)).find("ALFA:"), std::string::npos);
    const std::string linha = linhas.Proxima();
    EXPECT_TRUE(
        std::regex_match(linha, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} 127\.0\.0\.1:\d+ )"
                                           R"(Cliente="c" Pedido="7" )" +
                                           caso.resto)))
        << linha;
    EXPECT_EQ(linha.find("Segredo"), std::string::npos) << linha;
  }
}

// The body of an HTTP GET of http://127.0.0.1:port/path.
std::string Get(int port, const std::string& path) {
  SocketClient socket(port);
  if (!socket.Connected()) return "(not connected)";
  socket.Send("GET " + path + " HTTP/1.0\r\n\r\n");
  socket.Closed();
  const std::string resposta = socket.Received();
  const size_t corpo = resposta.find("\r\n\r\n");
  return corpo == std::string::npos ? resposta : resposta.substr(corpo + 4);
}

TEST(PainelTest, MetricsEndpointCountsTheRequestsServersAndRows) {
  const int porta = test::FreeTcpPort();
  qputenv("VESPRIL_METRICAS", ("127.0.0.1:" + std::to_string(porta)).c_str());
  const auto db = test::FirebirdTestDatabase::WithOrders();
  test::LoopbackGateway gateway(db.Address());
  qunsetenv("VESPRIL_METRICAS");
  ASSERT_EQ(gateway.engine->Atividade().MetricasEndereco(), "127.0.0.1:" + std::to_string(porta));
  // From the first scrape every series is there, at zero, and nothing but the program's own.
  const std::string primeira = Get(porta, "/metrics");
  for (const char* linha : {
           R"(vespril_requests_total{kind="download",outcome="ok"} 0)",
           R"(vespril_rows_routed_total{server="ALFA",table="PEDIDO"} 0)",
           R"(vespril_reattach_attempts_total{server="ALFA"} 0)",
           R"(vespril_result_bytes_total 0)",
       }) {
    EXPECT_NE(primeira.find(std::string("\n") + linha + "\n"), std::string::npos) << linha << "\n"
                                                                                  << primeira;
  }
  for (size_t inicio = 0, fim = 0; inicio < primeira.size(); inicio = fim + 1) {
    fim = std::min(primeira.find('\n', inicio), primeira.size());
    const std::string linha = primeira.substr(inicio, fim - inicio);
    EXPECT_TRUE(linha.empty() || linha.starts_with("#") || linha.starts_with("vespril_")) << linha;
  }
  SocketClient client(gateway.port);
  for (const std::string& script : {Insert("Ana"), Insert("Bia"), std::string("select * from NADA;"),
                                    std::string("select * from PEDIDO;"), std::string("Baixar")}) {
    client.Ask(Pedir("c", "1", script));
  }

  const std::string metricas = Get(porta, "/metrics");
  for (const char* linha : {
           R"(vespril_requests_total{kind="write",outcome="ok"} 2)",
           R"(vespril_requests_total{kind="query",outcome="ok"} 1)",
           R"(vespril_requests_total{kind="query",outcome="failed"} 1)",
           R"(vespril_requests_total{kind="download",outcome="ok"} 1)",
           R"(vespril_request_duration_seconds_count{kind="write"} 2)",
           R"(vespril_rows_routed_total{server="ALFA",table="PEDIDO"} 2)",
           R"(vespril_server_state{server="ALFA",slot="1",state="attached"} 1)",
           R"(vespril_server_state{server="ALFA",slot="1",state="lost"} 0)",
           R"(vespril_connections 1)",
           R"(vespril_running_requests 0)",
           R"(vespril_queued_requests 0)",
       }) {
    EXPECT_NE(metricas.find(std::string("\n") + linha + "\n"), std::string::npos) << linha << "\n"
                                                                                  << metricas;
  }
  // Two rows of about a hundred bytes, between the file's opening and closing lines.
  EXPECT_TRUE(std::regex_search(metricas, std::regex(R"(\nvespril_result_bytes_total [2-9]\d\d\n)")))
      << metricas;
}

}  // namespace
}  // namespace vespril
