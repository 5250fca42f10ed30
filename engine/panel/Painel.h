// Painel: what the gateway tells of itself as it runs. The request log and the server and listener
// events go through Qt's logging categories vespril.requests, vespril.servers and vespril.listener to
// standard error (QT_LOGGING_RULES filters them); the figures behind the status window are kept here;
// and when VESPRIL_METRICAS names an address, the same figures are served as Prometheus metrics
// (engine/panel/Metricas.h).
//
// A request's line holds no value from its script: each statement is told by its kind and table,
// unless VESPRIL_REGISTRO_SQL=1 asks for whole statements.
//
// The engine owns one. Thread-safe: any thread calls it, and nothing here waits on a database, a disk
// or a socket: lines are handed to a thread of their own, which formats and writes request lines in
// batches a tenth of a second apart and events at once (and drops lines past a bounded backlog,
// saying how many). Never throws.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "components/Slots.h"
#include "foundation/ThreadAnnotations.h"

namespace vespril {

class Metricas;

enum class TipoPedido { Consulta, Escrita, Baixar, Deletar, Recusado };
enum class EstadoServidor { Livre, Desligado, Ligado, Perdido, Religando };

// The words the log and the status window use.
const char* NomeTipo(TipoPedido tipo);
const char* NomeEstado(EstadoServidor estado);

// One request, as its log line tells it.
struct RelatoPedido {
  std::string par;  // the client's address and port
  std::string cliente;
  std::string pedido;
  TipoPedido tipo = TipoPedido::Consulta;
  std::string instrucoes;  // see ResumirScript
  int64_t linhas = 0;      // rows written to the result file
  int64_t bytes = 0;       // bytes written to it
  double segundos = 0;     // from its frame taken to its reply queued
  std::string falha;       // the first failure's text; "" when it went through
};

// A script as the log tells it: the number of statements, then each one's kind and table, such as
// "2: insert PEDIDO; select ITEM" (literals are skipped, so no value shows); with `inteiro`, the whole
// text instead. Long scripts are told by their first statements.
std::string ResumirScript(std::string_view script, bool inteiro);

// A server's slot as the status window shows it.
struct SituacaoServidor {
  std::string nome;
  std::string endereco;
  EstadoServidor estado = EstadoServidor::Livre;
  std::string erro;  // the last failure
  int64_t tentativas = 0;
  std::string credenciais;  // where its user and password come from (see Credenciais::Acesso)
};

class Painel {
 public:
  static constexpr size_t kLinhasGuardadas = 500;  // the status window's log
  static constexpr size_t kLinhasPendentes = 10000;

  // Reads VESPRIL_METRICAS and VESPRIL_REGISTRO_SQL. A metrics address that can't be served leaves
  // the metrics off; MetricasFalha() says why.
  Painel();
  ~Painel();  // writes the lines still pending
  Painel(const Painel&) = delete;
  Painel& operator=(const Painel&) = delete;

  bool InstrucoesInteiras() const { return m_instrucoesInteiras; }
  // "host:port" served, "" when off; and why the asked-for address could not be served.
  const std::string& MetricasEndereco() const { return m_metricasEndereco; }
  const std::string& MetricasFalha() const { return m_metricasFalha; }

  // Requests: queued, started on a worker (or at once), ended with their line, or dropped unstarted.
  void Enfileirado() noexcept;
  void Iniciado() noexcept;
  void Concluido(RelatoPedido relato) noexcept;
  void Cancelado() noexcept;

  // The listener: the client connections alive, and an event for the log.
  void Conexoes(int quantas) noexcept;
  void Soquete(const std::string& evento) noexcept;

  // Servers: slot n's new state (logged when it changed), an attempt to attach it again, a row
  // routed to it.
  void Servidor(int n, const SituacaoServidor& situacao) noexcept;
  // Anything else about the servers worth a line of the log (a statement let run past the limit).
  void Nota(const std::string& texto) noexcept;
  void Tentativa(int n) noexcept;
  void Roteada(int n, const std::string& tabela) noexcept;
  // A servers' event that is no one slot's, such as the credentials file refused at start-up.
  void Aviso(const std::string& texto) noexcept;
  // A table the count matrix holds for a server: its metrics series are there, at zero, before its
  // first row.
  void Rota(const std::string& servidor, const std::string& tabela) noexcept;

  // What the status window shows; `desde` is the number of the last log line it has, and comes back
  // as the newest one's.
  struct Retrato {
    int fila = 0;
    int rodando = 0;
    int conexoes = 0;
    std::array<SituacaoServidor, kSlots + 1> servidores;  // [1..kSlots]
    std::vector<std::string> linhas;                      // log lines after `desde`, oldest first
  };
  Retrato Instantaneo(uint64_t& desde) const;

  // While it lives, the rows and bytes written to result files on this thread are counted into
  // `linhas` and `bytes` and into this panel's figures (a request's, on the worker that runs it).
  class Conta {
   public:
    Conta(Painel& painel, int64_t& linhas, int64_t& bytes) noexcept;
    ~Conta();
    Conta(const Conta&) = delete;
    Conta& operator=(const Conta&) = delete;
  };
  // Called by a result file when it closes, on the thread that wrote it; nothing outside a Conta.
  static void ContarResultado(int64_t linhas, int64_t bytes) noexcept;

 private:
  enum class Categoria { Pedidos, Servidores, Soquete };
  // A line waiting for the log's thread: a request's record, formatted there, or an event's text,
  // and when it was queued, which its line tells: so lines come in the order of their times, a
  // request's at its end (its duration says when it began).
  struct Pendente {
    Categoria categoria;
    std::string linha;
    std::optional<RelatoPedido> relato;
    std::chrono::system_clock::time_point quando{};
  };
  // Queues a line; `agora` wakes the log's thread, which otherwise writes what waits every 100 ms.
  void Enfileirar(Pendente pendente, bool agora);
  static std::string Formatar(const RelatoPedido& relato, std::chrono::system_clock::time_point quando);
  void Contar(int fila, int rodando) noexcept;
  void Laco();

  bool m_instrucoesInteiras = false;
  std::string m_metricasEndereco;
  std::string m_metricasFalha;
  std::unique_ptr<Metricas> m_metricas;  // null when off

  Mutex m_mutexContagem;  // with metrics, held while the two counts change and are published
  std::atomic<int> m_fila{0};
  std::atomic<int> m_rodando{0};
  std::atomic<int> m_conexoes{0};

  mutable Mutex m_mutex;
  std::array<SituacaoServidor, kSlots + 1> m_servidores GUARDED_BY(m_mutex);
  std::deque<std::string> m_guardadas GUARDED_BY(m_mutex);  // the last kLinhasGuardadas
  uint64_t m_numero GUARDED_BY(m_mutex) = 0;                // lines logged so far
  std::deque<Pendente> m_pendentes GUARDED_BY(m_mutex);
  uint64_t m_descartadas GUARDED_BY(m_mutex) = 0;
  bool m_parar GUARDED_BY(m_mutex) = false;
  std::condition_variable m_haLinhas;
  std::thread m_escritor;  // last: it starts once everything above is ready
};

}  // namespace vespril
