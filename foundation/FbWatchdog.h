// Watchdog: gives up on Firebird client calls that run past a time limit, which is how a server that
// went silent looks (its connection stays open and nothing comes back). A thread of its own looks at
// the attachments it watches several times a limit; a call that has run past the limit is cancelled
// with fb_cancel_operation(fb_cancel_abort), which closes that attachment's connection, so the call
// returns at once with a lost link and raises FbError with the watchdog's message instead of the
// client's. Attaching is bounded by the same limit, through the client's connect timeout.
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
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vespril::fb {

class CallState;

class Watchdog {
 public:
  // `message` is the text of the failure of a call given up on.
  Watchdog(std::chrono::milliseconds limit, std::string message);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  std::chrono::milliseconds Limit() const { return m_limit; }
  const std::string& Message() const { return m_message; }

 private:
  friend class CallState;
  void Watch(CallState* state);
  void Unwatch(CallState* state);
  void Run();

  const std::chrono::milliseconds m_limit;
  const std::string m_message;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::vector<CallState*> m_watched;  // guarded by m_mutex
  bool m_stop = false;                // guarded by m_mutex
  std::thread m_thread;               // last: it starts once everything above is ready
};

class CallState {
 public:
  CallState() = default;
  ~CallState();  // stops being watched
  CallState(const CallState&) = delete;
  CallState& operator=(const CallState&) = delete;

  // From now on calls on `handle` are given up on past watchdog's limit. Once, after attaching.
  void Watch(Watchdog& watchdog, isc_db_handle handle);
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
  isc_db_handle m_handle = 0;              // set before it is watched, then constant
  uint64_t m_next = 0;                     // the attachment's thread only
  std::atomic<uint64_t> m_current{0};      // the call under way, 0 when none
  std::atomic<bool> m_cancelled{false};    // the watchdog gave up on the call under way
  std::atomic<bool> m_linkLost{false};
  std::atomic<bool> m_timedOut{false};
  std::string m_linkError;                 // the attachment's thread only
  // The watchdog's notes, guarded by its mutex: the call it saw under way, and since when.
  uint64_t m_seenCall = 0;
  std::chrono::steady_clock::time_point m_seenSince;
};

// One client call on an attachment, for the wrapper classes: the call is under way while this lives.
class Call {
 public:
  explicit Call(CallState* state) noexcept;
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
