// VESPRIL: the whole gateway in one object. It owns the four configuration tables, the ten database
// connection slots and the TCP listener (the 31 entries of its component array), and every operation
// of the gateway is one of its methods. The main window creates exactly one; it lives until the
// process ends.
//
// Threads. The engine is built, served and stopped on the GUI thread, which also runs the listener.
// Each request runs as a task of the agenda (engine/scheduler/Agenda.h) on a worker thread:
//   - a read script (every statement a query) reads the servers through their read connections
//     (engine/servers/ConexoesLeitura.h), alongside anything, as of one moment between write scripts
//     (engine/servers/Corte.h);
//   - any other script runs in the write lane: on the slots, one at a time;
//   - a window operation (Operar) runs alone, in the write lane too.
// A query reads its servers side by side: the first on the thread that runs the script, each other on
// a thread of the query's own, which ends before the query returns. Each uses its server's connection
// alone meanwhile (a slot's, for a query in the write lane, which waits for them).
// Scripts behave as if they ran one at a time, in an order that keeps each connection's order and
// the order of write scripts. The four tables and their cursors are touched only under the engine's
// lock (m_trava), which is never held across a database call, a file write or a socket write. Only
// the write lane changes the tables, under that lock; a table it changed is saved from a copy taken
// under the lock.
//
// A server whose link is lost, or that could not be attached at start-up, is away: attached again in
// the background (engine/servers/Religador.h), while INSERTs go to the servers that are there and requests
// that need it fail. No call on a server waits longer than the time limit, VESPRIL_LIMITE seconds (30 when
// unset; see fb::Watchdog), and a server that hit it is away until it answers again. What the gateway does is
// told by its panel (engine/panel/Painel.h): the request log, the figures of the status window, and the
// metrics.
//
// Construction is the whole start-up, in this order: the credentials (engine/servers/Credenciais.h) and the
// listener's addresses and allowed clients (engine/listener/Redes.h) from the environment; the slots'
// objects; the settings table; the server table; every server attached to the slot of its record number (one
// that can't be reached is away, and said: see FalhasInicio); the table definitions; the row-count
// matrix; the transactions this program left in limbo, ended where their servers can be reached
// (engine/execution/Pendencias.h); the listener, opened on the stored port unless it is 0 (a port that can't
// be opened leaves it closed: FalhaSoquete). Any other failing step raises its Error and the half-built
// engine is abandoned. The write lane's record (GruposConfirmados.dat) says, from a run's first write
// to its end, that the run writes: an end without the engine's destruction (a crash, a kill) makes the
// next start take the generators and counts from the record where it is ahead of the files (or remake
// a file torn or gone), write both files, and count every server's rows again before its first write.
// No other file is written at start.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "components/Slots.h"
#include "config/PersistedTable.h"
#include "foundation/Error.h"
#include "foundation/ThreadAnnotations.h"
#include "listener/Redes.h"
#include "listener/SoqueteServidor.h"
#include "panel/Painel.h"
#include "protocol/WireProtocol.h"
#include "servers/Corte.h"
#include "servers/Credenciais.h"
#include "servers/SlotConexao.h"

namespace vespril {

class Agenda;
class ConexoesLeitura;
class Pendencias;
class Religador;
class Reservas;
struct CopiaTabelas;

namespace fb {
class Watchdog;
}

inline constexpr int kComponentes = 1 + 3 * kSlots;

class VESPRIL {
 public:
  // The four configuration tables, as ComTabelas hands them out.
  struct Tabelas {
    PersistedTable& CdsPortaRelembrar;
    PersistedTable& CdsServidor;
    PersistedTable& CdsTabela;
    PersistedTable& CdsServidorTabela;
  };

  // GUI thread. Result files go to the folder named by VESPRIL_DIR_CONSULTAS, or when it is unset or
  // empty to ProgramDirectory(); tests may name another directory.
  VESPRIL();
  explicit VESPRIL(std::string diretorioPrograma);
  ~VESPRIL();
  VESPRIL(const VESPRIL&) = delete;
  VESPRIL& operator=(const VESPRIL&) = delete;

  // Component i: 0 the listener, n the attachment, n + kSlots the transaction, n + 2 * kSlots the query of
  // slot n.
  // The listener: GUI thread. A slot: the write lane (a write script or a window operation), or a
  // test while nothing runs.
  Componente& Componentes(int index) const;
  SoqueteServidor& Soquete() const;
  // REQUIRES: 1 <= n <= kSlots
  SlotConexao Slot(int n) const;
  // Any thread.
  const std::string& DiretorioPrograma() const { return m_diretorioPrograma; }
  // What the gateway tells of itself: its log, the figures of the status window, the metrics.
  Painel& Atividade() const { return *m_painel; }
  // Read connections open to the server of slot n, idle or in use.
  int LeiturasAbertas(int n) const;
  // Where the credentials of server `nome` come from ("padrão", or the file and its line's name);
  // never the password. Any thread.
  const std::string& FonteCredenciais(const std::string& nome) const {
    return m_credenciais.Para(nome).fonte;
  }
  // GUI thread. Why the listener is closed when start-up or the last reopening could not open it on
  // the stored port (the socket's error); "" when it is open or the port is 0.
  const std::string& FalhaSoquete() const { return m_falhaSoquete; }
  // What start-up could not reach: "<server>: <the client's text>" for each server left away.
  const std::vector<std::string>& FalhasInicio() const { return m_falhasInicio; }

  // For tests: runs on a read script's thread between the starts of its servers' snapshots (after the
  // first and before each other one). Set while nothing runs.
  std::function<void()> EntreInstantaneos;

  // Readers of the tables. Any thread; each takes the engine's lock.
  int GetPorta() EXCLUDES(m_trava);
  bool GetTabelaRelembrar() EXCLUDES(m_trava);
  std::string GetServidor() EXCLUDES(m_trava);
  std::string GetTabela() EXCLUDES(m_trava);
  // Runs `ler` with the four tables under the engine's lock, for readers that need more than the
  // getters (tests, inspection). Any thread; `ler` must not call the engine.
  template <typename F>
  decltype(auto) ComTabelas(F&& ler) EXCLUDES(m_trava) {
    MutexLock trava(m_trava);
    return ler(Tabelas{CdsPortaRelembrar, CdsServidor, CdsTabela, CdsServidorTabela});
  }

  // Configuration operations: a window operation (the body given to Operar), or a test while nothing
  // runs. Each saves what it changed before it returns. Names are cut to their field's size before
  // they are looked for, as they are when stored.
  void SetPorta(int porta);  // both halves below, on the GUI thread
  // SetPorta in its two halves: the setting saved (in the operation), the listener opened again on
  // the stored port (on the GUI thread, which the listener lives on).
  void SalvarPorta(int porta);
  void ReabrirSoquete();
  void SetTabelaRelembrar(bool relembrar);
  void SetServidor(const std::string& nome, const std::string& endereco);
  void EraseServidor(const std::string& nome);
  void SetTabela(const std::string& nome, const std::string& chave, int gerador);
  void EraseTabela(const std::string& nome);
  void MontarServidorTabela();
  void EraseServidorTabela(const std::string& nome, bool porServidor);
  // Slots: bind the named server's address to the slot of its record number and attach it / detach it.
  // `ausenteSeFalhar`: a server the client can't reach is left away, to be attached in the background
  // (the failure is still raised).
  void ConectarServidor(const std::string& nome, bool ausenteSeFalhar = false);
  void DesconectarServidor(const std::string& nome);

  // GUI thread. A window operation as an engine task: `operacao` runs on a worker once no request
  // runs, and requests that arrive meanwhile wait for it. `fim` then runs on this thread with the text
  // of its failure ("" when none), from the event loop once the agenda has settled (never inside its
  // admission), so it may open a message box.
  void Operar(std::function<void()> operacao, std::function<void(const std::string& falha)> fim);

  // GUI thread. Stopping: the listener stops accepting and reading, requests not yet started are
  // dropped, and the running ones (window operations included) may end and have their replies sent,
  // for up to `ms` while this thread's events are served. True when everything ended in time;
  // otherwise work still runs on the workers and the caller should end the process without
  // destroying the engine.
  bool Parar(int ms);

  // Whether a script only reads (every statement on the query path). Any thread.
  static bool ScriptDeLeitura(const std::string& script);
  // Runs a client's script across the servers; returns "" when it ran to its end, else the text of
  // the first failure. Never throws. A worker of the agenda (a test while nothing runs): a read script
  // alongside anything; any other only in the write lane, never alongside another or a window
  // operation (it holds the write lane's cut meanwhile).
  std::string ExecutarScript(const std::string& script, const std::string& cliente,
                             const std::string& pedido);
  // The same, and the name of the server the failure came from ("" when none did), for the log.
  std::string ExecutarScript(const std::string& script, const std::string& cliente, const std::string& pedido,
                             std::string& servidor);
  // Whether a script may share the write lane with others: every statement an INSERT. Any thread.
  static bool ScriptDeInsercoes(const std::string& script);
  // Runs scripts that may share the write lane (ScriptDeInsercoes), which arrived one after another,
  // as one group: their INSERTs planned as running them one at a time would (keys, parents' keys,
  // routing), their keys' blocks recorded, each statement run on its own, as it came, in one
  // transaction per server, committed on all servers together (two-phase) when a row's parent key is
  // the group's on another server and server by server otherwise, the counts saved once.
  // When anything fails before the group is decided, nothing of the group stays (but a gap in the
  // keys) and each script runs alone instead, so each gets the reply it would have had alone; with the
  // recount flag on they run alone too. Once decided, a group is never run again. Returns each
  // script's message, in order; never throws. A worker of the agenda in the write lane (a test while
  // nothing runs).
  std::vector<std::string> ExecutarGrupo(const std::vector<const Pedido*>& pedidos);
  // For tests: called by a group at its steps ("preparar" on a server's thread just before that
  // server's prepare, with its slot; "decidido" once the group is decided, with 0). Set while nothing
  // runs.
  std::function<void(const std::string& passo, int n)> OnPassoGrupo;
  // What the write lane's record holds now. Any thread.
  std::string RegistroDecisoes() const;
  // While it lives, each write script this thread runs on its own (a group's scripts included, when
  // the group was dropped) adds to `servidores` the server its failure came from ("" for none), in
  // order: for the log of a group. The list must outlive it.
  class ServidoresDasFalhas {
   public:
    explicit ServidoresDasFalhas(std::vector<std::string>& servidores);
    ~ServidoresDasFalhas();
    ServidoresDasFalhas(const ServidoresDasFalhas&) = delete;
    ServidoresDasFalhas& operator=(const ServidoresDasFalhas&) = delete;
  };

  // Listener handlers. GUI thread.
  void SoqueteClientRead(ClientConnection& connection);
  void SoqueteClientError(ClientConnection& connection, SocketError& errorCode);
  // Shown to the operator: an error of the listening socket itself, or a count that could not be
  // saved after its row was committed. Set on the GUI thread before serving; called there from the
  // event loop, never inside the agenda's admission or a completion.
  std::function<void(const std::string&)> OnAviso;

 private:
  // A server as the tables name it: its name, address and slot.
  struct Vinculo {
    std::string nome;
    std::string endereco;
    int n;
  };
  struct Fonte;
  // An INSERT on its way: its text, table and route.
  struct Insercao {
    std::string sql;  // the statement as it will run: parents' keys filled in, then its own key
    std::string tabela;
    std::string servidor;           // the name of the server it goes to
    std::string chave;              // its key column, when the recount needs it
    std::vector<std::string> pais;  // the tables its foreign keys were filled from
    bool relembrar = false;
    int n = 0;            // its slot
    int32_t gerador = 0;  // the last key handed out before its own
    // Bytes put in after the first "(" and the next one, to tell the server's positions in the
    // client's text (PosicoesDoCliente).
    size_t colunasIncluidas = 0;
    size_t valoresIncluidos = 0;
  };
  class Instantaneo;
  class Grupo;  // a group in flight (engine/gateway/GroupCommit.cpp)

  // The write lane (engine/gateway/FaixaEscrita.cpp). Its steps on entry, once a turn: a count's save that
  // failed tried again, the record told that this run writes, every count taken again after an
  // unclean end. Throws what fails. REQUIRES: the write lane's cut held.
  void EntrarNaFaixa();
  // A write script's statements, after the entry steps. Throws the first failure.
  void RodarEscrita(const std::string& script, const std::string& cliente, const std::string& pedido);
  // ExecutarScript's work.
  std::string RodarScript(const std::string& script, const std::string& cliente, const std::string& pedido);
  // A write script alone in the write lane: takes it, runs the entry steps and the script.
  std::string ExecutarEscrita(const std::string& script, const std::string& cliente,
                              const std::string& pedido);
  // Every table's count and highest key on every server, after an unclean end. The write lane.
  void RecontarTudo();
  // Runs `f`; when it fails on a record of a transaction of ours in limbo, ends ours on every server
  // and runs `f` once more.
  template <typename F>
  void ForaDoLimbo(F&& f) {
    try {
      f();
    } catch (const Error& e) {
      if (!EmLimbo(e)) throw;
      f();
    }
  }
  // Whether `e` met a record in limbo and a transaction of ours was ended since on some server.
  bool EmLimbo(const Error& e);
  // After committed rows: the matrix saved, or kept pending and the operator told once.
  void SalvarContagem();
  void CriarSlots();
  void ConferirServidores() REQUIRES(m_trava);
  // Start-up: every server attached, or left away when the attach fails.
  void ConectarServidores();
  void CriarSoquete();
  // Binds slot n to the server of record number n (all of them, or only those bound elsewhere) and
  // frees the slots past the last server; returns the first attach failure, "" when none.
  std::string ReatarSlots(bool todos);
  // Slot n is now bound to `nome` at `endereco` (both "" for none): ends its healing, and tells.
  void Vincular(int n, const std::string& nome, const std::string& endereco, const std::string& falha);
  // Slot n bound to no server: its read connections dropped, its attachment closed, its healing ended.
  void LiberarSlot(int n);
  // Writes a table's file from a copy taken under the lock. The write lane only. Unflushed, for the
  // generators and counts the write lane's turns change, whose durable copy is the record's. The table
  // is given by its address, which is no access: it is read only once the lock is taken here.
  void Salvar(PersistedTable* table, bool duravel = true) EXCLUDES(m_trava);
  // Keys about to be sent: `maiores` gives each table's highest. The blocks they pass are taken and
  // recorded durably first. Throws what the record's write throws; nothing is then taken.
  void Reservar(const std::map<std::string, int32_t>& maiores);
  // The distributed tables as the record carries them. Moves the tables' cursors; takes the lock.
  CopiaTabelas Copia() EXCLUDES(m_trava);
  // A window operation changed the distributed tables: the record, once it exists, carries the
  // change. Throws what its write throws.
  void CopiarTabelas();
  // Start-up after an unclean end: the generators and counts the record is ahead in, a file torn or
  // gone made again from it, and both files written again.
  void AplicarRegistro();
  // The count matrix's save that failed after its row was committed is tried again by the write lane.
  void SalvarContagemPendente();
  // Tells the operator, from the GUI thread's event loop. Any thread.
  void Avisar(const std::string& texto) noexcept;
  bool TabelaRelembrar() REQUIRES(m_trava);

  // The paths of a script's statements; each raises its failure.
  void ExecutarConsulta(const std::string& statement, const std::string& arquivo, std::vector<Fonte>& fontes);
  void ExecutarConsultaEscrita(const std::string& statement, const std::string& arquivo);
  void LerNaFaixa(const std::string& statement, const std::string& arquivo);
  void ExecutarOutra(const std::string& statement);
  // An INSERT in its steps: planned from the text and the tables, the count refreshed when the flag
  // is on, routed to a server, its key reserved on disk, and written.
  void ExecutarInsert(const std::string& statement);
  Insercao PlanejarInsert(const std::string& statement);
  // IncluirCampo on the statement, counting what it put in.
  static void Incluir(Insercao& insercao, const std::string& coluna, const std::string& valor);
  void Recontar(Insercao& insercao);
  void Rotear(Insercao& insercao);
  void ReservarChave(Insercao& insercao);
  void Gravar(Insercao& insercao);
  // Raises the count of the matrix row that routing took.
  void ContarLinha(const Insercao& insercao) REQUIRES(m_trava);

  // The servers in record order, read under the lock: name, address and slot.
  std::vector<Vinculo> Servidores() EXCLUDES(m_trava);
  // Publishes which slots are attached and their dialects, for read scripts (which refuse a server
  // whose slot is not attached, as the slot would, and prepare in the slot's dialect). Called by
  // whoever just used the slots.
  void PublicarSlots();
  void ConexaoSQLAfterClose(ConexaoSQL& query);
  void ConexaoSQLBeforeOpen(ConexaoSQL& query);
  void ConexaoSQLAfterPost(ConexaoSQL& query);

  const std::string m_diretorioPrograma;
  mutable Mutex m_trava;
  // The configuration tables.
  PersistedTable CdsPortaRelembrar GUARDED_BY(m_trava);
  PersistedTable CdsServidor GUARDED_BY(m_trava);
  PersistedTable CdsTabela GUARDED_BY(m_trava);
  PersistedTable CdsServidorTabela GUARDED_BY(m_trava);
  // Attached, or lost and being attached again: read scripts go on reading it on read connections.
  std::array<bool, kSlots + 1> m_slotLigado GUARDED_BY(m_trava){};
  std::array<int, kSlots + 1> m_slotDialeto GUARDED_BY(m_trava){};
  bool m_contagemPendente GUARDED_BY(m_trava) = false;
  bool m_recontarTudo = false;                 // the write lane's
  const std::unique_ptr<Reservas> m_reservas;  // the write lane's
  std::string m_falhaSoquete;                  // GUI thread
  std::vector<std::string> m_falhasInicio;     // written at start-up only
  Corte m_corte;
  const std::unique_ptr<Painel> m_painel;       // thread-safe
  const std::unique_ptr<fb::Watchdog> m_vigia;  // thread-safe; outlives every attachment
  const Credenciais m_credenciais;              // read-only from start-up on
  const Rede m_rede;                            // read-only from start-up on
  // Before the healer, which calls it, so that it outlives the healer's threads.
  std::unique_ptr<Pendencias> m_pendencias;      // thread-safe
  const std::unique_ptr<Religador> m_religador;  // thread-safe
  // Owned here; the slots by the write lane, the listener by the GUI thread.
  std::array<std::unique_ptr<Componente>, kComponentes> m_componentes;
  std::unique_ptr<ConexoesLeitura> m_leitura;  // thread-safe
  std::unique_ptr<Agenda> m_agenda;  // GUI thread; last: its workers stop before anything they use goes
};

}  // namespace vespril
