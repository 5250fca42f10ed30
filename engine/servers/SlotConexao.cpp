#include "servers/SlotConexao.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "foundation/Error.h"
#include "foundation/FbAttachment.h"
#include "foundation/FbError.h"
#include "foundation/FbStatement.h"
#include "foundation/FbTransaction.h"
#include "foundation/Text.h"

namespace vespril {

namespace {

template <typename T>
void AddOnce(std::vector<T*>& list, T* item) {
  if (item != nullptr && std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
}

template <typename T>
void Remove(std::vector<T*>& list, T* item) {
  list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

// The value of "key=value" among the parameter lines, key compared without regard to case.
std::string Param(const std::vector<std::string>& lines, std::string_view key) {
  for (const std::string& line : lines) {
    const auto equals = line.find('=');
    if (equals != std::string::npos && SameTextAscii(Trim(line.substr(0, equals)), key)) {
      return line.substr(equals + 1);
    }
  }
  return "";
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// BaseDados

BaseDados::BaseDados(std::string name) : Componente(std::move(name)) {}

BaseDados::~BaseDados() {
  // The transactions may outlive this object; they must not reach it, nor hold a handle that would
  // keep the detach from succeeding.
  for (Transacao* transaction : std::vector<Transacao*>(m_transactions)) {
    transaction->Abandon();
    transaction->m_database = nullptr;
  }
  m_attachment.reset();
}

bool BaseDados::Connected() const {
  return m_attachment != nullptr && m_attachment->Attached() && !m_attachment->LinkLost();
}

bool BaseDados::Lost() const { return m_lost || (m_attachment != nullptr && m_attachment->LinkLost()); }

std::string BaseDados::LostError() const {
  return m_attachment != nullptr && m_attachment->LinkLost() ? m_attachment->LinkError() : m_lostError;
}

bool BaseDados::LostTimedOut() const {
  return m_attachment != nullptr && m_attachment->LinkLost() ? m_attachment->TimedOut()
                                                             : m_lost && m_lostTimedOut;
}

void BaseDados::MarkAway(std::string error) {
  m_lostError = std::move(error);
  m_lostTimedOut = false;
  m_lost = true;
}

void BaseDados::Forget() noexcept {
  m_lostError = m_attachment->LinkError();
  m_lostTimedOut = m_attachment->TimedOut();
  for (Transacao* transaction : m_transactions) transaction->Abandon();
  m_attachment.reset();  // its connection is closed: the detach returns at once
  m_lost = true;
}

void BaseDados::Open() {
  if (Connected()) return;
  if (m_databaseName.empty()) throw Error("Database name is missing");
  if (m_attachment != nullptr) Forget();
  std::unique_ptr<fb::Attachment> attachment =
      m_lost && Reattach ? Reattach(m_lostError)
                         : std::make_unique<fb::Attachment>(m_databaseName, Param(m_params, "user_name"),
                                                            Param(m_params, "password"), m_watchdog);
  // Read before the attachment is kept, so that a failure here leaves the slot not attached.
  const int databaseDialect = attachment->DatabaseDialect();
  m_attachment = std::move(attachment);
  m_lost = false;
  if (databaseDialect < m_dialect) m_dialect = databaseDialect;
}

void BaseDados::Close() {
  if (Lost()) {
    if (m_attachment != nullptr) Forget();
    m_lost = false;
    return;
  }
  if (!Connected()) return;
  for (Transacao* transaction : m_transactions) {
    if (transaction->InTransaction()) transaction->EndForDetach();
  }
  for (Transacao* transaction : m_transactions) {
    for (ConexaoSQL* dataSet : transaction->m_dataSets) {
      if (!dataSet->Active()) continue;
      try {
        dataSet->Close();
      } catch (const std::exception&) {
        dataSet->Release();  // the detach below drops its cursor anyway
      }
    }
  }
  m_attachment->Detach();
  m_attachment.reset();
}

fb::Attachment& BaseDados::Handle() {
  if (Lost()) Open();
  if (!Connected()) throw Error(kDbNotOpen);
  return *m_attachment;
}

void BaseDados::AddTransaction(Transacao* transaction) { AddOnce(m_transactions, transaction); }

void BaseDados::RemoveTransaction(Transacao* transaction) { Remove(m_transactions, transaction); }

// ---------------------------------------------------------------------------------------------------
// Transacao

Transacao::Transacao(std::string name) : Componente(std::move(name)) {}

Transacao::~Transacao() {
  Abandon();
  for (ConexaoSQL* dataSet : m_dataSets) dataSet->m_transaction = nullptr;
  if (m_database != nullptr) m_database->RemoveTransaction(this);
}

void Transacao::SetDefaultDatabase(BaseDados* database) {
  if (database == m_database) return;
  if (m_database != nullptr) m_database->RemoveTransaction(this);
  m_database = database;
  if (m_database != nullptr) m_database->AddTransaction(this);
}

bool Transacao::InTransaction() const { return m_transaction != nullptr && m_transaction->Active(); }

void Transacao::StartTransaction() {
  if (m_database == nullptr || !(m_database->Connected() || m_database->Lost())) throw Error(kDbNotOpen);
  if (InTransaction()) throw Error("Transaction is active");
  try {
    m_transaction = std::make_unique<fb::Transaction>(m_database->Handle());
  } catch (const fb::FbError& e) {
    // A link found lost only now (the server went away while the slot was idle). A server that gave
    // no answer within the limit is not waited on twice.
    if (!e.LinkLost() || e.TimedOut()) throw;
    m_transaction = std::make_unique<fb::Transaction>(m_database->Handle());
  }
}

void Transacao::Commit() {
  CloseDataSets();
  if (!InTransaction()) return;
  // Ended also when the client refuses: a transaction kept after a failed end would take in the
  // slot's next statement, which would then neither start nor commit a transaction of its own.
  const std::unique_ptr<fb::Transaction> ending = std::move(m_transaction);
  ending->Commit();
}

void Transacao::Rollback() {
  CloseDataSets();
  if (!InTransaction()) return;
  const std::unique_ptr<fb::Transaction> ending = std::move(m_transaction);
  try {
    ending->Rollback();
  } catch (const fb::FbError& e) {
    // The server ends the transaction of an attachment whose link is gone: nothing of it stays.
    if (!e.LinkLost()) throw;
  }
}

fb::Transaction& Transacao::Handle() {
  if (!InTransaction()) throw Error("Transaction is not active");
  return *m_transaction;
}

void Transacao::AddDataSet(ConexaoSQL* dataSet) { AddOnce(m_dataSets, dataSet); }

void Transacao::RemoveDataSet(ConexaoSQL* dataSet) { Remove(m_dataSets, dataSet); }

void Transacao::CloseDataSets() {
  // A close may run a hook that ends this transaction and so walks the list again.
  for (ConexaoSQL* dataSet : std::vector<ConexaoSQL*>(m_dataSets)) {
    if (dataSet->Active()) dataSet->Close();
  }
}

void Transacao::Abandon() noexcept {
  for (ConexaoSQL* dataSet : m_dataSets) dataSet->Release();
  m_transaction.reset();  // the handle's destructor rolls back and reports nothing
}

void Transacao::EndForDetach() noexcept {
  try {
    CloseDataSets();
    if (InTransaction()) {
      if (m_defaultAction == TransactionAction::Commit) {
        m_transaction->Commit();
      } else {
        m_transaction->Rollback();
      }
    }
  } catch (const std::exception&) {
    // Neither failure is reported; the rollback below ends what is left.
  }
  Abandon();
}

// ---------------------------------------------------------------------------------------------------
// ConexaoSQL

ConexaoSQL::ConexaoSQL(std::string name) : Componente(std::move(name)) {}

ConexaoSQL::~ConexaoSQL() {
  Release();
  if (m_transaction != nullptr) m_transaction->RemoveDataSet(this);
}

void ConexaoSQL::SetTransaction(Transacao* transaction) {
  if (transaction == m_transaction) return;
  if (m_transaction != nullptr) m_transaction->RemoveDataSet(this);
  m_transaction = transaction;
  if (m_transaction != nullptr) m_transaction->AddDataSet(this);
}

void ConexaoSQL::SetDatabase(BaseDados* database) { m_database = database; }

std::string ConexaoSQL::StatementText() const {
  std::string text;
  for (size_t i = 0; i < m_sql.size(); ++i) {
    if (i > 0) text += '\n';
    text += m_sql[i];
  }
  return text;
}

void ConexaoSQL::Open() {
  if (m_active) return;
  if (m_transaction == nullptr || m_database == nullptr) throw Error(kDbNotOpen);
  const bool wasInTransaction = m_transaction->InTransaction();
  if (BeforeOpen) BeforeOpen(*this);
  if (!m_database->Connected()) throw Error(kDbNotOpen);
  try {
    fb::Transaction& transaction = m_transaction->Handle();
    auto statement = std::make_unique<fb::Statement>(m_database->Handle());
    statement->Prepare(transaction, StatementText(), m_database->SQLDialect());
    // A statement that changes data would run inside a transaction that the next Close rolls back,
    // after its work had been reported as done; refuse it before it runs.
    if (!statement->IsQuery()) throw Error(kNaoConsulta);
    statement->OpenCursor(transaction);
    const bool row = statement->Fetch();
    m_statement = std::move(statement);
    m_active = true;
    m_eof = !row;
    m_rowsRead = 0;
  } catch (...) {
    // Left active, the transaction would take in every later statement of the slot and lose it at
    // the next Close.
    if (!wasInTransaction) m_transaction->Abandon();
    throw;
  }
}

void ConexaoSQL::Close() {
  if (!m_active) return;
  std::exception_ptr failure;
  try {
    m_statement->CloseCursor();
  } catch (const fb::FbError& e) {
    if (!e.LinkLost()) failure = std::current_exception();  // the cursor went with the link
  } catch (...) {
    failure = std::current_exception();
  }
  Release();
  if (AfterClose) AfterClose(*this);
  if (failure) std::rethrow_exception(failure);
}

void ConexaoSQL::Release() noexcept {
  m_statement.reset();
  m_active = false;
  m_eof = true;
  m_rowsRead = 0;
}

void ConexaoSQL::ExecSQL() {
  Close();
  if (m_transaction == nullptr || m_database == nullptr) throw Error("Database name is missing");
  m_database->Open();
  const bool started = !m_transaction->InTransaction();
  if (started) m_transaction->StartTransaction();
  std::exception_ptr failure;
  try {
    fb::Transaction& transaction = m_transaction->Handle();
    fb::Statement statement(m_database->Handle());
    statement.Prepare(transaction, StatementText(), m_database->SQLDialect());
    statement.Execute(transaction);
  } catch (...) {
    failure = std::current_exception();
  }
  // A COMMIT or ROLLBACK statement has ended the transaction itself; nothing is left to commit.
  if (started && m_transaction->InTransaction()) {
    try {
      m_transaction->Commit();
    } catch (...) {
      m_transaction->Abandon();
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

void ConexaoSQL::RequireActive() const {
  if (!m_active) throw Error("Cannot perform this operation on a closed dataset");
}

void ConexaoSQL::First() {
  RequireActive();
  if (m_rowsRead == 0) return;
  fb::Transaction& transaction = m_transaction->Handle();
  m_statement->CloseCursor();
  m_statement->OpenCursor(transaction);
  m_eof = !m_statement->Fetch();
  m_rowsRead = 0;
}

void ConexaoSQL::Next() {
  RequireActive();
  if (m_eof) return;
  m_eof = !m_statement->Fetch();
  ++m_rowsRead;
}

int ConexaoSQL::FieldCount() const { return m_active ? m_statement->ColumnCount() : 0; }

std::string ConexaoSQL::FieldName(int index) const {
  RequireActive();
  return m_statement->ColumnName(index);
}

std::string ConexaoSQL::FieldAsString(int index) const {
  RequireActive();
  if (m_eof) {
    m_statement->ColumnName(index);  // the index is still checked
    return "";
  }
  return m_statement->AsText(index);
}

int64_t ConexaoSQL::FieldAsInteger(int index) const {
  RequireActive();
  if (m_eof) {
    m_statement->ColumnName(index);
    return 0;
  }
  return m_statement->AsInt64(index);
}

int ConexaoSQL::FieldIndex(std::string_view name) const {
  RequireActive();
  for (int i = 0; i < m_statement->ColumnCount(); ++i) {
    if (SameText(m_statement->ColumnName(i), name)) return i;
  }
  throw Error(Format("Field '%s' not found", name));
}

std::string ConexaoSQL::FieldAsString(std::string_view name) const { return FieldAsString(FieldIndex(name)); }

int64_t ConexaoSQL::FieldAsInteger(std::string_view name) const { return FieldAsInteger(FieldIndex(name)); }

}  // namespace vespril
