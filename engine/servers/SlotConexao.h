// The objects of a database connection slot: the attachment (BaseDados), its transaction (Transacao)
// and its statement object (ConexaoSQL), each a named Componente of the engine's component array.
// The engine creates ten of each at start-up and owns them. A slot is used by one thread at a time,
// and every call blocks that thread: the worker running the write lane (a write script or a window
// operation), or, while that worker waits for it, a thread it started for the slot's server (a
// query's reading of that server, a group's statements and commit there).
//
// A slot's transaction rules: ConexaoSQL::Open runs its BeforeOpen hook (which starts the transaction
// unless active) and leaves the result set, and the transaction, open until the next Close, whose
// AfterClose hook rolls the transaction back. ExecSQL attaches when needed, starts a transaction when
// none is active and commits the one it started, also when the statement failed.
//
// An attachment whose link to the server was found lost (a call failed on a lost connection, or was
// given up on after the time limit) is no longer Connected: its next use attaches again (through the
// Reattach hook, see engine/servers/Religador.h), and a transaction that fails to start on a link found lost
// is started once more on a new attachment, since starting one sends nothing that could change data.
// A statement that failed is never sent again. Closing a result set or rolling back on a lost link is
// no failure: both went with the link.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "components/Componente.h"

namespace vespril {

namespace fb {
class Attachment;
class Transaction;
class Statement;
class Watchdog;
}  // namespace fb

class Transacao;
class ConexaoSQL;

// What a slot raises when its attachment is not attached, and when a text taken for a query is none; a
// read script, which reads on connections of its own, raises the same for the same faults.
inline constexpr char kDbNotOpen[] = "Cannot perform operation -- DB is not open";
inline constexpr char kNaoConsulta[] = "Instru\xE7\xE3o n\xE3o \xE9 uma consulta";

// Database attachment of one slot.
class BaseDados final : public Componente {
 public:
  explicit BaseDados(std::string name);
  ~BaseDados() override;  // detaches silently, never throws

  // The Firebird connection string, passed unchanged to the client; empty while no server is bound.
  const std::string& DatabaseName() const { return m_databaseName; }
  void SetDatabaseName(std::string name) { m_databaseName = std::move(name); }
  // Connection parameter lines, "user_name=..." and "password=...".
  std::vector<std::string>& Params() { return m_params; }
  int SQLDialect() const { return m_dialect; }
  void SetSQLDialect(int dialect) { m_dialect = dialect; }
  void SetLoginPrompt(bool on) { m_loginPrompt = on; }
  // Attaching and every call on the attachment give up after the watchdog's limit. Null: no limit.
  void SetWatchdog(fb::Watchdog* watchdog) { m_watchdog = watchdog; }

  // Attached, and its link not found lost.
  bool Connected() const;
  // Its link to the server was found lost and it has not been attached again (nor closed) since;
  // LostError() is the text of the failure that found it.
  bool Lost() const;
  std::string LostError() const;
  // The link was found lost by a call given up on at the time limit: the server went silent.
  bool LostTimedOut() const;
  // Found away: the attach failed with `error`. Lost() from now on, so that the next Open asks
  // Reattach for the attachment. REQUIRES: not attached.
  void MarkAway(std::string error);
  // Attach: nothing when attached; Error "Database name is missing" for an empty name; the client's
  // error on a refusal. Afterwards the slot's dialect is lowered to the database's when that is lower.
  // A lost attachment is dropped first, without a word to the server, and its successor comes from
  // Reattach when that is set.
  void Open();
  // Detach: nothing when not attached. Ends an active transaction first (closing the statement object,
  // whose hook rolls back; a transaction still active is committed, or rolled back if that fails,
  // silently). Raises the client's error when the detach fails; the attachment then stays attached.
  // A lost attachment is dropped silently.
  void Close();

  // Attaches again first when Lost(). REQUIRES: Connected() afterwards (Error otherwise).
  fb::Attachment& Handle();

  // Called by Open for the successor of a lost attachment, with the text that found it lost: returns
  // it attached to DatabaseName(), or throws why it can't be had.
  std::function<std::unique_ptr<fb::Attachment>(const std::string& lostError)> Reattach;

  // Transactions bound to this attachment, ended by Close.
  void AddTransaction(Transacao* transaction);

 private:
  friend class Transacao;
  void RemoveTransaction(Transacao* transaction);
  // Drops a lost attachment without a call that could wait on the server.
  void Forget() noexcept;

  std::string m_databaseName;
  std::vector<std::string> m_params;
  int m_dialect = 3;
  bool m_loginPrompt = false;
  fb::Watchdog* m_watchdog = nullptr;
  std::unique_ptr<fb::Attachment> m_attachment;
  bool m_lost = false;  // a lost attachment was dropped and not yet replaced
  bool m_lostTimedOut = false;
  std::string m_lostError;
  std::vector<Transacao*> m_transactions;
};

enum class TransactionAction { Commit, Rollback };

// Transaction of one slot, on its attachment only.
class Transacao final : public Componente {
 public:
  explicit Transacao(std::string name);
  ~Transacao() override;

  void SetDefaultDatabase(BaseDados* database);
  BaseDados* DefaultDatabase() const { return m_database; }
  void SetDefaultAction(TransactionAction action) { m_defaultAction = action; }
  TransactionAction DefaultAction() const { return m_defaultAction; }
  void SetIdleTimer(int milliseconds) { m_idleTimer = milliseconds; }

  bool InTransaction() const;
  // Error "Cannot perform operation -- DB is not open" when the attachment isn't attached.
  void StartTransaction();
  // Both first close every open statement object of this transaction (whose hook may end it). The
  // transaction is not active afterwards, also when the client refused the end (which is raised).
  void Commit();
  void Rollback();

  // REQUIRES: InTransaction()
  fb::Transaction& Handle();

  void AddDataSet(ConexaoSQL* dataSet);

 private:
  friend class BaseDados;
  friend class ConexaoSQL;
  void CloseDataSets();
  void RemoveDataSet(ConexaoSQL* dataSet);
  // Ends the transaction whatever the client says: open statement objects are released without their
  // hooks and the transaction is rolled back, failures unreported. Afterwards not active.
  void Abandon() noexcept;
  // Detach's forcible end: close the statement objects, then the default action, then a rollback.
  void EndForDetach() noexcept;

  BaseDados* m_database = nullptr;
  TransactionAction m_defaultAction = TransactionAction::Commit;
  int m_idleTimer = 0;
  std::unique_ptr<fb::Transaction> m_transaction;
  std::vector<ConexaoSQL*> m_dataSets;
};

// Statement object (query) of one slot.
class ConexaoSQL final : public Componente {
 public:
  using Hook = std::function<void(ConexaoSQL&)>;

  explicit ConexaoSQL(std::string name);
  ~ConexaoSQL() override;

  void SetTransaction(Transacao* transaction);
  void SetDatabase(BaseDados* database);
  Transacao* Transaction() const { return m_transaction; }
  BaseDados* Database() const { return m_database; }

  // The statement text as lines; the engine always keeps exactly one line, the statement.
  std::vector<std::string>& SQL() { return m_sql; }

  Hook AfterClose;  // after an open statement object was closed
  Hook BeforeOpen;  // just before it opens
  Hook AfterPost;   // after a row of its result set was posted (never reached by the engine)

  bool Active() const { return m_active; }

  // Runs BeforeOpen, prepares the text in the transaction and, for a query, opens its cursor on the
  // first row. A statement the database doesn't take as a query (select or select for update) is
  // refused with Error "Instrução não é uma consulta" before it executes. Any failure leaves the
  // object closed and rolls back a transaction that this Open started.
  void Open();
  // Closes the result set when open, then runs AfterClose; nothing when already closed.
  void Close();
  // Closes an open result set first (the executor always has). Attaches when needed, starts a
  // transaction when none is active, prepares and executes, and commits the transaction it started
  // whether the statement succeeded or not; the statement's failure is raised after that commit. A
  // commit that fails is raised too, and its transaction rolled back.
  void ExecSQL();

  // Row access on an open result set; each throws Error on a closed one. Firebird cursors only go
  // forward, so First after Next runs the query again in the same transaction (same snapshot, same
  // rows).
  void First();  // the cursor stands on the first row after Open; First only re-reads Eof there
  void Next();
  bool Eof() const { return m_eof; }
  int FieldCount() const;                  // 0 when closed
  std::string FieldName(int index) const;  // result order, 0-based: the column's alias
  // Values as text: "" for NULL, and for every column at Eof; the forms of each type are listed in
  // foundation/FbStatement.h. Each column has its own value, also when two share a name.
  std::string FieldAsString(int index) const;
  std::string FieldAsString(std::string_view name) const;  // first column of that name, any case
  int64_t FieldAsInteger(int index) const;                 // 0 for NULL; see FbStatement.h
  int64_t FieldAsInteger(std::string_view name) const;     // 0 for NULL

 private:
  friend class BaseDados;
  friend class Transacao;
  std::string StatementText() const;
  int FieldIndex(std::string_view name) const;
  void RequireActive() const;
  // Drops the result set without the hook, for a transaction that ends under it.
  void Release() noexcept;

  Transacao* m_transaction = nullptr;
  BaseDados* m_database = nullptr;
  std::vector<std::string> m_sql;
  std::unique_ptr<fb::Statement> m_statement;
  bool m_active = false;
  bool m_eof = true;
  int m_rowsRead = 0;  // rows stepped over since the cursor opened, for First
};

// The three objects of slot n, as the engine reaches them through its component array.
struct SlotConexao {
  BaseDados& baseDados;
  Transacao& transacao;
  ConexaoSQL& conexaoSQL;
};

}  // namespace vespril
