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
    isc_start_transaction(status, &m_handle, 1, attachment.Handle(), static_cast<unsigned short>(sizeof kReadOnly),
                          kReadOnly);
  } else {
    isc_start_transaction(status, &m_handle, 1, attachment.Handle(), 0, nullptr);
  }
  call.Check(status);
}

Transaction::Transaction(Transaction&& other) noexcept
    : m_handle(std::exchange(other.m_handle, 0)), m_calls(other.m_calls) {}

Transaction& Transaction::operator=(Transaction&& other) noexcept {
  if (this != &other) {
    RollbackSilently();
    m_handle = std::exchange(other.m_handle, 0);
    m_calls = other.m_calls;
  }
  return *this;
}

Transaction::~Transaction() { RollbackSilently(); }

void Transaction::Commit() {
  ISC_STATUS_ARRAY status;
  try {
    Call call(m_calls);
    isc_commit_transaction(status, &m_handle);
    call.Check(status);
  } catch (...) {
    RollbackSilently();
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
