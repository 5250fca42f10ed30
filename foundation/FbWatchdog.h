// Watchdog: gives up on Firebird client calls that run past a time limit, which is how a server that
// went silent looks (its connection stays open and nothing comes back). A thread of its own looks at
// the attachments it watches several times a limit; a call that has run past the limit is cancelled
// with fb_cancel_operation(fb_cancel_abort), which closes that attachment's connection, so the call
// returns at once with a lost link and raises FbError with the watchdog's message instead of the
// client's. Attaching is bounded by the same limit, through the client's connect timeout.
//
// Busy is not silent. A statement's own work (executing, fetching, reading a BLOB) may honestly take
// longer than the limit: before giving up on one, the watchdog asks the server, on an attachment of
// its own made on its prober thread, whether it still answers (fb_ping). If it does, the statement
// runs on, asked about again at each further limit, up to the statement limit; if it doesn't, it is
// given up on then. Attaching, starting, preparing and ending a transaction keep the limit. A
// statement cut off at the statement limit says so in its own message, and its server is not taken
// for silent. Each such decision is told through OnProbe, for the log.
//
// CallState is one attachment's side of it: whether a call is under way, and whether the link was
// found lost (by any call, watched or not). Call marks one client call of the wrapper classes.
//
// Thread-safe. The watchdog must outlive every attachment it watches. An attachment's calls are made
// by one thread at a time, as the attachment itself requires.
#pragma once

#include <ibase.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/ThreadAnnotations.h"

namespace vespril::fb {

class CallState;

class Watchdog {
 public:
  // `message` is the text of the failure of a call given up on; `statementMessage` that of a statement
  // given up on at `statementLimit` while its server still answered. A statement limit no longer than
  // `limit` gives statements the limit too, unasked.
  Watchdog(std::chrono::milliseconds limit, std::string message,
           std::chrono::milliseconds statementLimit = std::chrono::milliseconds(0),
           std::string statementMessage = "");
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  std::chrono::milliseconds Limit() const { return m_limit; }
  std::chrono::milliseconds StatementLimit() const { return m_statementLimit; }
  const std::string& Message() const { return m_message; }

  // Told, on the prober's thread, of every statement past the limit whose server was asked about: its
  // attachment's connection string, how long it had run, and whether the server answered (it runs on)
  // or not (it is given up on). Set before the first attachment is watched; must not throw.
  std::function<void(const std::string& connection, std::chrono::milliseconds ran, bool answers)> OnProbe;

 private:
  friend class CallState;
  friend class Call;
  // A statement past the limit whose server is to be asked about.
  struct Probe {
    CallState* state;
    uint64_t watch;  // the state's watch number, so a state gone meanwhile is not mistaken for another
    uint64_t call;
    int64_t limits;  // whole limits it had run when asked
  };
  void Watch(CallState* state);
  void Unwatch(CallState* state);
  void Run();
  void RunProber();
  // Cancels the call under way of a state it watches.
  void Cancel(CallState* state, bool statementLimit) REQUIRES(m_mutex);
  // `state` possibly gone.
  CallState* Find(CallState* state, uint64_t watch) const REQUIRES(m_mutex);

  const std::chrono::milliseconds m_limit;
  const std::chrono::milliseconds m_statementLimit;
  const std::string m_message;
  const std::string m_statementMessage;
  Mutex m_mutex;
  std::condition_variable m_wake;
  std::condition_variable m_wakeProber;
  std::vector<CallState*> m_watched GUARDED_BY(m_mutex);
  std::deque<Probe> m_probes GUARDED_BY(m_mutex);
  uint64_t m_nextWatch GUARDED_BY(m_mutex) = 0;
  bool m_stop GUARDED_BY(m_mutex) = false;
  std::thread m_prober;  // these two last: they start once everything above is ready
  std::thread m_thread;
};

class CallState {
 public:
  CallState() = default;
  ~CallState();  // stops being watched
  CallState(const CallState&) = delete;
  CallState& operator=(const CallState&) = delete;

  // From now on calls on `handle` are given up on past watchdog's limit. Once, after attaching;
  // `connection`, `user` and `password` attach the watchdog's probe to the same server.
  void Watch(Watchdog& watchdog, isc_db_handle handle, std::string connection = "", std::string user = "",
             std::string password = "");
  // Stops being watched; the handle is going.
  void Unwatch();
  Watchdog* Watcher() const { return m_watchdog; }

  // A call failed because the link to the server was lost (or given up on): the attachment is dead,
  // and every later call on it fails. Any thread; LinkError() only on the attachment's own.
  bool LinkLost() const { return m_linkLost.load(std::memory_order_acquire); }
  const std::string& LinkError() const { return m_linkError; }
  // The link was given up on at the time limit (so LinkLost() too). Any thread.
  bool TimedOut() const { return m_timedOut.load(std::memory_order_acquire); }

 private:
  friend class Watchdog;
  friend class Call;
  void MarkLost(const std::string& text);

  Watchdog* m_watchdog = nullptr;
  isc_db_handle m_handle = 0;  // set before it is watched, then constant
  std::string m_connection;    // these three too
  std::string m_user;
  std::string m_password;
  uint64_t m_next = 0;                       // the attachment's thread only
  std::atomic<uint64_t> m_current{0};        // the call under way, 0 when none
  std::atomic<bool> m_cancelled{false};      // the watchdog gave up on the call under way
  std::atomic<bool> m_cancelledLong{false};  // ... at the statement limit, its server answering
  std::atomic<bool> m_statement{false};      // the call under way is a statement's own work
  std::atomic<bool> m_linkLost{false};
  std::atomic<bool> m_timedOut{false};
  std::string m_linkError;  // the attachment's thread only
  // The watchdog's notes, guarded by its mutex: the call it saw under way, and since when.
  uint64_t m_seenCall = 0;
  std::chrono::steady_clock::time_point m_seenSince;
  uint64_t m_watch = 0;   // its number among those the watchdog has watched
  int64_t m_asked = 0;    // whole limits the call under way had run when its server last answered
  bool m_asking = false;  // its server is being asked about
};

// One client call on an attachment, for the wrapper classes: the call is under way while this lives.
// A Statement call (executing, fetching, reading a BLOB) may run past the limit while its server
// answers; any other keeps the limit.
class Call {
 public:
  enum class Kind { Other, Statement };
  explicit Call(CallState* state, Kind kind = Kind::Other) noexcept;
  ~Call();
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  // As fb::Check; a lost link is also noted in the state, and a call the watchdog gave up on raises
  // the watchdog's message.
  void Check(const ISC_STATUS* status);

 private:
  CallState* m_state;
};

}  // namespace vespril::fb
