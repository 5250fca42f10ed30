// Attachment: one attachment to a Firebird database, as a move-only handle. The destructor detaches
// without throwing; Detach() is the way to learn whether a detach failed. Used from one thread at a
// time; statements and transactions made on it hold its address and must end before it does.
#pragma once

#include <ibase.h>

#include <memory>
#include <string>
#include <string_view>

#include "foundation/FbWatchdog.h"

namespace vespril::fb {

class Attachment {
 public:
  // Attaches to connection (a path for the embedded engine, "host:path" or "host/port:path" for a
  // server) as user. No character set is named, so text passes as bytes. Throws FbError. With a
  // watchdog, attaching gives up after its limit (FbError::TimedOut) and so does every later call.
  Attachment(std::string_view connection, std::string_view user, std::string_view password,
             Watchdog* watchdog = nullptr);

  // Creates a database at connection and stays attached to it; for tests and tools. dialect is the
  // new database's SQL dialect (1 or 3). Without forced writes the database leaves flushing to the
  // operating system: much quicker, for databases that may be lost. Throws FbError.
  static Attachment Create(std::string_view connection, std::string_view user, std::string_view password,
                           int dialect, bool forcedWrites = true);

  Attachment(Attachment&& other) noexcept;
  Attachment& operator=(Attachment&& other) noexcept;
  Attachment(const Attachment&) = delete;
  Attachment& operator=(const Attachment&) = delete;
  ~Attachment();

  bool Attached() const { return m_handle != 0; }
  // A call on it found the link to the server lost (see CallState): every later call fails.
  bool LinkLost() const { return m_calls && m_calls->LinkLost(); }
  // REQUIRES: LinkLost(). The text of the failure that found it lost.
  const std::string& LinkError() const { return m_calls->LinkError(); }
  // A call on it was given up on at the watchdog's limit: the server went silent.
  bool TimedOut() const { return m_calls && m_calls->TimedOut(); }
  // Closes the connection under the attachment without a word to the server, so that dropping it
  // afterwards waits on nothing; for an idle attachment to a server that went silent. Never throws.
  void Abort() noexcept;
  // For the other wrapper classes: their calls on this attachment (null once moved from). Goes along
  // when the attachment is moved.
  CallState* Calls() { return m_calls.get(); }

  // REQUIRES: Attached(). The database's own SQL dialect; databases too old to report one are 1.
  int DatabaseDialect();

  // REQUIRES: Attached(). Throws FbError when the client refuses; the attachment then stays attached.
  void Detach();

  // REQUIRES: Attached(). Deletes the database; throws FbError (still attached) on a refusal.
  void Drop();

  // REQUIRES: Attached(). For the other wrapper classes.
  isc_db_handle* Handle() { return &m_handle; }

 private:
  Attachment();
  static std::string ParameterBlock(std::string_view user, std::string_view password);
  void DetachSilently() noexcept;

  isc_db_handle m_handle = 0;
  std::unique_ptr<CallState> m_calls;
};

// Makes the client library do now the set-up it otherwise does at the first attach, which among other
// things installs its own SIGINT and SIGTERM handlers. A program that wants its own handlers calls
// this first and installs them afterwards. Never fails.
void PrepareClient() noexcept;

}  // namespace vespril::fb
