// Transaction: one transaction on one attachment, as a move-only handle, started by its constructor
// with no parameter block (the client's defaults: concurrency, wait, read-write). The destructor rolls
// an active transaction back without throwing. The attachment must outlive it.
#pragma once

#include <ibase.h>

#include <cstdint>
#include <string_view>

namespace vespril::fb {

class Attachment;
class CallState;

class Transaction {
 public:
  enum class Access { ReadWrite, ReadOnly };

  // REQUIRES: attachment.Attached(). Throws FbError. ReadOnly starts a read-only snapshot transaction
  // (concurrency, wait): it changes nothing, and every statement in it sees the database as it stood
  // when the transaction started, whatever is committed while it runs.
  explicit Transaction(Attachment& attachment, Access access = Access::ReadWrite);

  Transaction(Transaction&& other) noexcept;
  Transaction& operator=(Transaction&& other) noexcept;
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  ~Transaction();

  // Active until it is committed or rolled back, through this object or through a COMMIT or ROLLBACK
  // statement executed in it (the client then clears the handle).
  bool Active() const { return m_handle != 0; }

  // The first phase of a two-phase commit: the server makes the transaction's work durable and keeps
  // it in limbo, with `description` stored beside it (RDB$TRANSACTIONS), until Commit or Rollback ends
  // it, through this object or, after a crash, through Reconnect. REQUIRES: Active(). Throws FbError;
  // the transaction then stays active (Rollback ends it). Prepared() from the moment the prepare is
  // sent, whatever comes back: a lost answer may hide a prepared transaction.
  void Prepare(std::string_view description);
  bool Prepared() const { return m_prepared; }

  // Takes over the limbo transaction `id` of the attachment, to commit or roll it back.
  // REQUIRES: attachment.Attached(). Throws FbError.
  static Transaction Reconnect(Attachment& attachment, int64_t id);

  // REQUIRES: Active(). Both end the transaction whatever the client says, so no later work can land
  // in it unnoticed. A refused commit is rolled back, silently, unless the transaction was prepared:
  // then the handle is dropped and the transaction stays in limbo at the server, for a later
  // Reconnect to commit. A refused rollback drops the handle (the server ends that transaction with
  // its attachment, or keeps a prepared one in limbo). Then the refusal is thrown as FbError.
  void Commit();
  void Rollback();

  // REQUIRES: Active(). For the statement class.
  isc_tr_handle* Handle() { return &m_handle; }

 private:
  Transaction() = default;
  void RollbackSilently() noexcept;

  isc_tr_handle m_handle = 0;
  bool m_prepared = false;
  CallState* m_calls = nullptr;  // the attachment's
};

}  // namespace vespril::fb
