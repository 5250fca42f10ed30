#include "panel/Metricas.h"

#include <stdexcept>

#include <CivetServer.h>
#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>
#include <QString>

namespace vespril {

namespace {

constexpr const char* kRotulosTipo[] = {"query", "write", "download", "delete", "refused"};
constexpr const char* kRotulosEstado[] = {"detached", "attached", "lost", "reattaching"};

// Label values are UTF-8; the gateway's names are single-byte text.
std::string Utf8(const std::string& latin1) {
  return QString::fromLatin1(latin1.data(), static_cast<qsizetype>(latin1.size())).toStdString();
}

// "host:port", or a port alone on loopback.
std::string Escutar(const std::string& endereco) {
  const size_t doisPontos = endereco.rfind(':');
  const std::string host = doisPontos == std::string::npos ? "127.0.0.1" : endereco.substr(0, doisPontos);
  const std::string porta = doisPontos == std::string::npos ? endereco : endereco.substr(doisPontos + 1);
  if (host.empty() || porta.empty() || porta.find_first_not_of("0123456789") != std::string::npos ||
      std::stol(porta) > 65535) {
    throw std::invalid_argument("endere\xE7o inv\xE1lido (host:porta)");
  }
  return host + ":" + porta;
}

}  // namespace

// GET /metrics: the registry's series as Prometheus text, and nothing else.
class Metricas::Pagina final : public CivetHandler {
 public:
  explicit Pagina(prometheus::Registry& registro) : m_registro(registro) {}
  bool handleGet(CivetServer*, mg_connection* conexao) override {
    try {
      const std::string corpo = prometheus::TextSerializer().Serialize(m_registro.Collect());
      mg_printf(conexao,
                "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                "Content-Length: %zu\r\nConnection: close\r\n\r\n",
                corpo.size());
      mg_write(conexao, corpo.data(), corpo.size());
    } catch (...) {
      mg_printf(conexao,
                "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    }
    return true;
  }

 private:
  prometheus::Registry& m_registro;
};

Metricas::Metricas(const std::string& endereco) : m_registro(std::make_shared<prometheus::Registry>()) {
  const std::string escuta = Escutar(endereco);
  auto& pedidos = prometheus::BuildCounter()
                      .Name("vespril_requests_total")
                      .Help("Requests ended, by kind and outcome")
                      .Register(*m_registro);
  auto& duracao = prometheus::BuildHistogram()
                      .Name("vespril_request_duration_seconds")
                      .Help("Time from a request's frame taken to its reply queued")
                      .Register(*m_registro);
  const prometheus::Histogram::BucketBoundaries limites = {
      0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};
  for (int t = 0; t < kTipos; ++t) {
    m_pedidos[t][0] = &pedidos.Add({{"kind", kRotulosTipo[t]}, {"outcome", "ok"}});
    m_pedidos[t][1] = &pedidos.Add({{"kind", kRotulosTipo[t]}, {"outcome", "failed"}});
    m_duracao[t] = &duracao.Add({{"kind", kRotulosTipo[t]}}, limites);
  }
  const auto medida = [this](const char* nome, const char* ajuda) {
    return &prometheus::BuildGauge().Name(nome).Help(ajuda).Register(*m_registro).Add({});
  };
  m_conexoes = medida("vespril_connections", "Client connections alive");
  m_fila = medida("vespril_queued_requests", "Requests waiting for their turn");
  m_rodando = medida("vespril_running_requests", "Requests running on the workers");
  m_bytes = &prometheus::BuildCounter()
                 .Name("vespril_result_bytes_total")
                 .Help("Bytes written to result files")
                 .Register(*m_registro)
                 .Add({});
  m_estado = &prometheus::BuildGauge()
                  .Name("vespril_server_state")
                  .Help("1 for the state the server of each slot is in")
                  .Register(*m_registro);
  m_roteadas = &prometheus::BuildCounter()
                    .Name("vespril_rows_routed_total")
                    .Help("Rows inserted through each server, by table")
                    .Register(*m_registro);
  m_tentativas = &prometheus::BuildCounter()
                      .Name("vespril_reattach_attempts_total")
                      .Help("Attempts to attach a lost server again")
                      .Register(*m_registro);
  m_pagina = std::make_unique<Pagina>(*m_registro);
  m_servidor =
      std::make_unique<CivetServer>(std::vector<std::string>{"listening_ports", escuta, "num_threads", "1"});
  m_servidor->addHandler("/metrics", m_pagina.get());
  const std::vector<int> portas = m_servidor->getListeningPorts();
  m_endereco = escuta.substr(0, escuta.rfind(':') + 1) + std::to_string(portas.empty() ? 0 : portas.front());
}

// The server stops (and its thread ends) before the page and the registry go.
Metricas::~Metricas() { m_servidor.reset(); }

void Metricas::Pedido(TipoPedido tipo, bool ok, double segundos) noexcept {
  const auto t = static_cast<size_t>(tipo);
  m_pedidos[t][ok ? 0 : 1]->Increment();
  m_duracao[t]->Observe(segundos);
}

void Metricas::Fila(int quantos) noexcept { m_fila->Set(quantos); }
void Metricas::Rodando(int quantos) noexcept { m_rodando->Set(quantos); }
void Metricas::Conexoes(int quantas) noexcept { m_conexoes->Set(quantas); }
void Metricas::BytesResultado(int64_t bytes) noexcept { m_bytes->Increment(static_cast<double>(bytes)); }

void Metricas::Servidor(int n, const std::string& nome, EstadoServidor estado) noexcept {
  try {
    MutexLock trava(m_mutex);
    auto& series = m_estados[static_cast<size_t>(n)];
    if (m_nomes[static_cast<size_t>(n)] != nome || estado == EstadoServidor::Livre) {
      for (prometheus::Gauge*& serie : series) {
        if (serie != nullptr) m_estado->Remove(serie);
        serie = nullptr;
      }
      m_nomes[static_cast<size_t>(n)] = nome;
    }
    if (estado == EstadoServidor::Livre) return;
    m_tentativas->Add({{"server", Utf8(nome)}});
    for (int e = 0; e < kEstados; ++e) {
      if (series[e] == nullptr) {
        series[e] = &m_estado->Add(
            {{"slot", std::to_string(n)}, {"server", Utf8(nome)}, {"state", kRotulosEstado[e]}});
      }
      series[e]->Set(static_cast<int>(estado) - 1 == e ? 1 : 0);
    }
  } catch (...) {
    // Short of memory the series stay as they were.
  }
}

void Metricas::Roteada(const std::string& servidor, const std::string& tabela) noexcept {
  try {
    m_roteadas->Add({{"server", Utf8(servidor)}, {"table", Utf8(tabela)}}).Increment();
  } catch (...) {
  }
}

void Metricas::Conhecer(const std::string& servidor, const std::string& tabela) noexcept {
  try {
    if (!tabela.empty()) m_roteadas->Add({{"server", Utf8(servidor)}, {"table", Utf8(tabela)}});
    m_tentativas->Add({{"server", Utf8(servidor)}});
  } catch (...) {
  }
}

void Metricas::Tentativa(const std::string& servidor) noexcept {
  try {
    m_tentativas->Add({{"server", Utf8(servidor)}}).Increment();
  } catch (...) {
  }
}

}  // namespace vespril
