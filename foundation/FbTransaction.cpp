#include "foundation/FbTransaction.h"

#include <utility>

#include "foundation/FbAttachment.h"
#include "foundation/FbError.h"

namespace vespril::fb {

Transaction::Transaction(Attachment& attachment, Access access) {
  static const char kReadOnly[] = {isc_tpb_version3, isc_tpb_read, isc_tpb_concurrency, isc_tpb_wait};
  ISC_STATUS_ARRAY status;
  if (access == Access::ReadOnly) {
    isc_start_transaction(status, &m_handle, 1, attachment.Handle(), static_cast<unsigned short>(sizeof kReadOnly),
                          kReadOnly);
  } else {
    isc_start_transaction(status, &m_handle, 1, attachment.Handle(), 0, nullptr);
  }
  Check(status);
}

Transaction::Transaction(Transaction&& other) noexcept : m_handle(std::exchange(other.m_handle, 0)) {}

Transaction& Transaction::operator=(Transaction&& other) noexcept {
  if (this != &other) {
    RollbackSilently();
    m_handle = std::exchange(other.m_handle, 0);
  }
  return *this;
}

Transaction::~Transaction() { RollbackSilently(); }

void Transaction::Commit() {
  ISC_STATUS_ARRAY status;
  if (isc_commit_transaction(status, &m_handle) != 0) {
    const FbError refusal(status);
    RollbackSilently();
    throw refusal;
  }
  m_handle = 0;
}

void Transaction::Rollback() {
  ISC_STATUS_ARRAY status;
  isc_rollback_transaction(status, &m_handle);
  m_handle = 0;
  Check(status);
}

void Transaction::RollbackSilently() noexcept {
  if (m_handle == 0) return;
  ISC_STATUS_ARRAY status;
  isc_rollback_transaction(status, &m_handle);
  m_handle = 0;
}

}  // namespace vespril::fb
