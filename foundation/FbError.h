// FbError: a refusal by the Firebird client, carrying the client's own status messages as its text.
// Check() is the one gate after every isc_* call of the wrapper: it turns a failed status vector into
// an FbError and lets everything else through.
#pragma once

#include <ibase.h>

#include <string>

#include "foundation/Error.h"

namespace vespril::fb {

class FbError : public Error {
 public:
  // REQUIRES: status holds an error (status[0] == 1, status[1] != 0).
  explicit FbError(const ISC_STATUS* status);
  // A failure told in our own words: the link was given up on after the time limit (see Watchdog).
  enum class Kind { TimedOut };
  FbError(std::string text, ISC_STATUS code, Kind kind);

  // The first error code of the vector (isc_io_error, isc_dsql_error, ...), for callers that must
  // tell one refusal from another without reading the text.
  ISC_STATUS Code() const { return m_code; }

  // The connection to the server failed or was shut down (a read or write error on the link, a lost or
  // shut down attachment, a cancelled call): the server may have done the work whose answer was lost.
  // False for a refusal the server itself sent back, after which nothing of the call was done.
  bool LinkLost() const { return m_linkLost; }
  // The server gave no answer within the time limit; the link was closed under the call (and so is
  // lost too).
  bool TimedOut() const { return m_timedOut; }
  // The statement met a record written by a transaction in limbo (prepared, neither committed nor
  // rolled back): nothing of it was done, and it can run again once that transaction is ended.
  bool InLimbo() const { return m_inLimbo; }

 private:
  ISC_STATUS m_code;
  bool m_linkLost = false;
  bool m_timedOut = false;
  bool m_inLimbo = false;
};

// The messages of the status vector in the client's order, each separated from the text before it by
// CR LF unless that text already ends with a line feed, without one full stop at the very end. No
// SQLCODE text: operators and clients read only what the client library itself says.
std::string StatusText(const ISC_STATUS* status);

// Throws FbError when status holds an error.
void Check(const ISC_STATUS* status);

}  // namespace vespril::fb
