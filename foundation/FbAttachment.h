// Attachment: one attachment to a Firebird database, as a move-only handle. The destructor detaches
// without throwing; Detach() is the way to learn whether a detach failed. Used from one thread at a
// time; statements and transactions made on it hold its address and must end before it does.
#pragma once

#include <ibase.h>

#include <string>
#include <string_view>

namespace vespril::fb {

class Attachment {
 public:
  // Attaches to connection (a path for the embedded engine, "host:path" or "host/port:path" for a
  // server) as user. No character set is named, so text passes as bytes. Throws FbError.
  Attachment(std::string_view connection, std::string_view user, std::string_view password);

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

  // REQUIRES: Attached(). The database's own SQL dialect; databases too old to report one are 1.
  int DatabaseDialect();

  // REQUIRES: Attached(). Throws FbError when the client refuses; the attachment then stays attached.
  void Detach();

  // REQUIRES: Attached(). Deletes the database; throws FbError (still attached) on a refusal.
  void Drop();

  // REQUIRES: Attached(). For the other wrapper classes.
  isc_db_handle* Handle() { return &m_handle; }

 private:
  Attachment() = default;
  static std::string ParameterBlock(std::string_view user, std::string_view password);
  void DetachSilently() noexcept;

  isc_db_handle m_handle = 0;
};

// Makes the client library do now the set-up it otherwise does at the first attach, which among other
// things installs its own SIGINT and SIGTERM handlers. A program that wants its own handlers calls
// this first and installs them afterwards. Never fails.
void PrepareClient() noexcept;

}  // namespace vespril::fb
