#include "foundation/FbTransaction.h"

#include <utility>

#include "foundation/FbAttachment.h"
#include "foundation/FbError.h"

namespace vespril::fb {

Transaction::Transaction(Attachment& attachment, Access access) : m_calls(attachment.Calls()) {
  static const char kReadOnly[] = {isc_tpb_version3, isc_tpb_read, isc_tpb_concurrency, isc_tpb_wait};
  ISC_STATUS_ARRAY status;
  Call call(m_calls);
  if (access == Access::ReadOnly) {
    isc_start_transaction(status, &m_handle, 1, attachment.Handle(),
                          static_cast<unsigned short>(sizeof kReadOnly), kReadOnly);
  } else {
    isc_start_transaction(status, &m_handle, 1, attachment.Handle(), 0, nullptr);
  }
  call.Check(status);
}

Transaction::Transaction(Transaction&& other) noexcept
    : m_handle(std::exchange(other.m_handle, 0)),
      m_prepared(std::exchange(other.m_prepared, false)),
      m_calls(other.m_calls) {}

Transaction& Transaction::operator=(Transaction&& other) noexcept {
  if (this != &other) {
    RollbackSilently();
    m_handle = std::exchange(other.m_handle, 0);
    m_prepared = std::exchange(other.m_prepared, false);
    m_calls = other.m_calls;
  }
  return *this;
}

Transaction::~Transaction() { RollbackSilently(); }

void Transaction::Prepare(std::string_view description) {
  // Prepared from the moment it is asked for: when the answer is lost, the server may have prepared it.
  m_prepared = true;
  ISC_STATUS_ARRAY status;
  Call call(m_calls);
  isc_prepare_transaction2(status, &m_handle, static_cast<short>(description.size()),
                           reinterpret_cast<const ISC_UCHAR*>(description.data()));
  call.Check(status);
}

Transaction Transaction::Reconnect(Attachment& attachment, int64_t id) {
  // The number in the client's byte order (least significant byte first), as short as it fits.
  char number[8];
  const short length = id > INT32_MAX ? 8 : 4;
  for (short i = 0; i < length; ++i)
    number[i] = static_cast<char>((static_cast<uint64_t>(id) >> (8 * i)) & 0xFF);
  Transaction transaction;
  transaction.m_calls = attachment.Calls();
  ISC_STATUS_ARRAY status;
  Call call(transaction.m_calls);
  isc_reconnect_transaction(status, attachment.Handle(), &transaction.m_handle, length, number);
  call.Check(status);
  transaction.m_prepared = true;
  return transaction;
}

void Transaction::Commit() {
  ISC_STATUS_ARRAY status;
  try {
    Call call(m_calls);
    isc_commit_transaction(status, &m_handle);
    call.Check(status);
  } catch (...) {
    if (m_prepared) {
      // Whoever prepared it decided to commit: left in limbo, it is committed later, never undone.
      ISC_STATUS_ARRAY ignored;
      fb_disconnect_transaction(ignored, &m_handle);
      m_handle = 0;
    } else {
      RollbackSilently();
    }
    throw;
  }
  m_handle = 0;
}

void Transaction::Rollback() {
  ISC_STATUS_ARRAY status;
  Call call(m_calls);
  isc_rollback_transaction(status, &m_handle);
  m_handle = 0;
  call.Check(status);
}

void Transaction::RollbackSilently() noexcept {
  if (m_handle == 0) return;
  ISC_STATUS_ARRAY status;
  const Call call(m_calls);
  isc_rollback_transaction(status, &m_handle);
  m_handle = 0;
}

}  // namespace vespril::fb
