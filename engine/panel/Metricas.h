// Metricas: the gateway's figures as Prometheus metrics, served as text on http://<address>/metrics by
// an HTTP server of its own thread (civetweb's, which prometheus-cpp's exposer is built on; the
// exposer is not used since it adds series of its own about the scrapes). Made by Painel when
// VESPRIL_METRICAS names an address: "host:port", or a port alone for 127.0.0.1, since the figures
// name the servers and tables and are for the machine's own collector unless the operator says
// otherwise. Every series below is there from the first scrape, at zero until it moves; those of a
// server or table once the gateway knows it (kind: query, write, download, delete, refused).
//
//   vespril_requests_total{kind,outcome}              requests ended, by kind and ok/failed
//   vespril_request_duration_seconds{kind}            their durations (histogram)
//   vespril_connections                               client connections alive
//   vespril_queued_requests, vespril_running_requests requests waiting, and running on workers
//   vespril_server_state{slot,server,state}           1 for the state each slot's server is in
//   vespril_rows_routed_total{server,table}           rows inserted through each server
//   vespril_result_bytes_total                        bytes written to result files
//   vespril_reattach_attempts_total{server}           attempts to attach a lost server again
//
// Thread-safe; nothing here throws once it is built.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "foundation/ThreadAnnotations.h"
#include "panel/Painel.h"

class CivetServer;

namespace prometheus {
class Counter;
class Gauge;
class Histogram;
class Registry;
template <typename T>
class Family;
}  // namespace prometheus

namespace vespril {

class Metricas {
 public:
  // Throws std::exception (the reason) when the address is malformed or can't be listened on.
  explicit Metricas(const std::string& endereco);
  ~Metricas();
  Metricas(const Metricas&) = delete;
  Metricas& operator=(const Metricas&) = delete;

  // "host:port" actually listened on.
  const std::string& Endereco() const { return m_endereco; }

  void Pedido(TipoPedido tipo, bool ok, double segundos) noexcept;
  void Fila(int quantos) noexcept;
  void Rodando(int quantos) noexcept;
  void Conexoes(int quantas) noexcept;
  void Servidor(int n, const std::string& nome, EstadoServidor estado) noexcept;
  void Roteada(const std::string& servidor, const std::string& tabela) noexcept;
  void BytesResultado(int64_t bytes) noexcept;
  void Tentativa(const std::string& servidor) noexcept;
  // The series of a server and a table, at zero, so they are there before the first row or attempt.
  void Conhecer(const std::string& servidor, const std::string& tabela) noexcept;

 private:
  static constexpr int kTipos = 5;
  static constexpr int kEstados = 4;  // every state but Livre, which shows no series

  std::string m_endereco;
  std::shared_ptr<prometheus::Registry> m_registro;
  std::array<std::array<prometheus::Counter*, 2>, kTipos> m_pedidos{};
  std::array<prometheus::Histogram*, kTipos> m_duracao{};
  prometheus::Gauge* m_conexoes = nullptr;
  prometheus::Gauge* m_fila = nullptr;
  prometheus::Gauge* m_rodando = nullptr;
  prometheus::Counter* m_bytes = nullptr;
  prometheus::Family<prometheus::Gauge>* m_estado = nullptr;
  prometheus::Family<prometheus::Counter>* m_roteadas = nullptr;
  prometheus::Family<prometheus::Counter>* m_tentativas = nullptr;
  Mutex m_mutex;
  std::array<std::string, kSlots + 1> m_nomes GUARDED_BY(m_mutex);
  std::array<std::array<prometheus::Gauge*, kEstados>, kSlots + 1> m_estados GUARDED_BY(m_mutex){};
  class Pagina;
  std::unique_ptr<Pagina> m_pagina;
  std::unique_ptr<CivetServer> m_servidor;  // last: it serves once everything is there
};

}  // namespace vespril
