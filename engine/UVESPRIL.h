// VESPRIL: the whole gateway in one object. It owns the four configuration tables, the ten database
// connection slots and the TCP listener (the 31 entries of its component array), and every operation
// of the gateway is one of its methods. The main window creates exactly one; it lives until the
// process ends.
//
// Threads: the listener lives on the GUI thread; each request runs as a task of the agenda (see
// engine/Agenda.h) on a worker thread. A script that only queries (a read script) runs on the read
// connections of each server (engine/ConexoesLeitura.h), alongside anything; any other script runs
// on the slots, one at a time (the write lane); a window operation runs alone. The four tables and
// their cursors are touched under one lock (Trava), never held across a database call, a file write
// or a socket write. Only the write lane and window operations change the tables, and never at the
// same time, so the one that changed a table saves it without the lock: readers only read.
//
// Construction is the whole start-up, in this order: the slots' objects; the settings table; the
// server table; every server attached to the slot of its record number; the table definitions; the
// row-count matrix; the listener, opened on the stored port unless it is 0. The first failing step
// raises its Error and the half-built engine is abandoned. No file is written at start or at exit.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "config/PersistedTable.h"
#include "engine/SlotConexao.h"
#include "engine/SoqueteServidor.h"

namespace vespril {

class Agenda;
class ConexoesLeitura;

inline constexpr int kSlots = 10;
inline constexpr int kComponentes = 31;

// The fixed credentials of every attachment.
inline constexpr char kUsuario[] = "SYSDBA";
inline constexpr char kSenha[] = "quillbark";

class VESPRIL {
 public:
  // Result files go to the folder named by VESPRIL_DIR_CONSULTAS, or when it is unset or empty to
  // ProgramDirectory(); tests may name another directory.
  VESPRIL();
  explicit VESPRIL(std::string programDirectory);
  ~VESPRIL();
  VESPRIL(const VESPRIL&) = delete;
  VESPRIL& operator=(const VESPRIL&) = delete;

  // The configuration tables.
  PersistedTable CdsPortaRelembrar;
  PersistedTable CdsServidor;
  PersistedTable CdsTabela;
  PersistedTable CdsServidorTabela;

  // Component i: 0 the listener, n the attachment, n + 10 the transaction, n + 20 the query of slot n.
  Componente& Componentes(int index) const;
  SoqueteServidor& Soquete() const;
  // REQUIRES: 1 <= n <= 10
  SlotConexao Slot(int n) const;
  const std::string& DiretorioPrograma() const { return m_programDirectory; }

  // The lock over the four tables and their cursors; the readers below take it themselves.
  std::recursive_mutex& Trava() const { return m_trava; }
  Agenda& Tarefas() const { return *m_agenda; }

  // Settings readers and the table save.
  int GetPorta();
  bool GetTabelaRelembrar();
  void Salvar(PersistedTable& table);

  // Configuration operations; each saves what it changed before it returns. Names are cut to their
  // field's size before they are looked for, as they are when stored.
  void SetPorta(int porta);
  // SetPorta in its two halves: the setting saved (on any thread), the listener opened again on the
  // stored port (on the GUI thread, which the listener lives on).
  void SalvarPorta(int porta);
  void ReabrirSoquete();
  void SetTabelaRelembrar(bool relembrar);
  std::string GetServidor();
  void SetServidor(const std::string& nome, const std::string& endereco);
  void EraseServidor(const std::string& nome);
  std::string GetTabela();
  void SetTabela(const std::string& nome, const std::string& chave, int gerador);
  void EraseTabela(const std::string& nome);
  void MontarServidorTabela();
  void EraseServidorTabela(const std::string& nome, bool porServidor);

  // A window operation as an engine task: `operacao` runs on a worker once no request runs, and
  // requests that arrive meanwhile wait for it; `fim` then runs on this (the GUI) thread with the
  // text of its failure, "" when none. Nothing else may touch the engine's tables while it runs.
  void Operar(std::function<void()> operacao, std::function<void(const std::string& falha)> fim);

  // Stopping: the listener stops accepting and reading, requests not yet started are dropped, and the
  // running ones (window operations included) may end and have their replies sent, for up to `ms`
  // while this thread's events are served. True when everything ended in time; otherwise work still
  // runs on the workers and the caller should end the process without destroying the engine.
  bool Parar(int ms);

  // Slots: bind the named server's address to the slot of its record number and attach it / detach it.
  void ConectarServidor(const std::string& nome);
  void DesconectarServidor(const std::string& nome);

  // Runs a client's script across the servers; returns "" when it ran to its end, else the text of
  // the first failure. Never throws. A read script (every statement on the query path) may run
  // alongside anything; any other must not run alongside another one nor a window operation.
  static bool ScriptDeLeitura(const std::string& script);
  std::string ExecutarScript(const std::string& script, const std::string& cliente,
                             const std::string& pedido);

  // Listener handlers.
  void SoqueteClientRead(Conexao& connection);
  void SoqueteClientError(Conexao& connection, int& errorCode);
  // Shown to the operator for an error of the listening socket itself (the window sets it).
  std::function<void(const std::string&)> OnListenerError;

 private:
  void CriarSlots();
  void ConferirServidores();
  void ConectarServidores();
  // Binds slot n to the server of record number n (all of them, or only those bound elsewhere) and
  // frees the slots past the last server; returns the first attach failure, "" when none.
  std::string ReatarSlots(bool todos);
  // The three paths of a script's statement; each raises its failure.
  void ExecutarConsulta(const std::string& statement, const std::string& cliente, const std::string& pedido);
  void ExecutarConsultaLeitura(const std::string& statement, const std::string& cliente,
                               const std::string& pedido);
  void ExecutarOutra(const std::string& statement);
  void ExecutarInsert(const std::string& statement);
  // The servers in record order, read under the lock: name, address and slot.
  struct Vinculo {
    std::string nome;
    std::string endereco;
    int n;
  };
  std::vector<Vinculo> Servidores();
  // Tells read scripts which slots are attached (they refuse a server whose slot is not, as the slot
  // would); called by whoever just used the slots.
  void PublicarSlots();
  void CriarSoquete();
  void ConexaoSQLAfterClose(ConexaoSQL& query);
  void ConexaoSQLBeforeOpen(ConexaoSQL& query);
  void ConexaoSQLAfterPost(ConexaoSQL& query);

  std::string m_programDirectory;
  mutable std::recursive_mutex m_trava;
  std::array<bool, kSlots + 1> m_slotLigado{};  // under m_trava
  std::array<std::unique_ptr<Componente>, kComponentes> m_componentes;
  std::unique_ptr<ConexoesLeitura> m_leitura;
  std::unique_ptr<Agenda> m_agenda;  // last: its workers stop before anything they use goes
};

}  // namespace vespril
