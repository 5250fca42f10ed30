#include "foundation/FbWatchdog.h"

#include <algorithm>

#include "foundation/FbError.h"

namespace vespril::fb {

namespace {

using Clock = std::chrono::steady_clock;

// How often the watchdog looks: a tenth of the limit, so a call is given up on by 1.1 limits at most,
// and never busier than twenty times a second.
std::chrono::milliseconds Tick(std::chrono::milliseconds limit) {
  return std::clamp(limit / 10, std::chrono::milliseconds(50), std::chrono::milliseconds(1000));
}

}  // namespace

Watchdog::Watchdog(std::chrono::milliseconds limit, std::string message)
    : m_limit(limit), m_message(std::move(message)), m_thread([this] { Run(); }) {}

Watchdog::~Watchdog() {
  {
    std::lock_guard lock(m_mutex);
    m_stop = true;
  }
  m_wake.notify_all();
  m_thread.join();
}

void Watchdog::Watch(CallState* state) {
  std::lock_guard lock(m_mutex);
  state->m_seenCall = 0;
  m_watched.push_back(state);
}

void Watchdog::Unwatch(CallState* state) {
  std::lock_guard lock(m_mutex);
  m_watched.erase(std::remove(m_watched.begin(), m_watched.end(), state), m_watched.end());
}

void Watchdog::Run() {
  std::unique_lock lock(m_mutex);
  while (!m_wake.wait_for(lock, Tick(m_limit), [this] { return m_stop; })) {
    const Clock::time_point now = Clock::now();
    for (CallState* state : m_watched) {
      const uint64_t call = state->m_current.load(std::memory_order_acquire);
      if (call == 0 || call != state->m_seenCall) {
        state->m_seenCall = call;
        state->m_seenSince = now;
        continue;
      }
      if (now - state->m_seenSince < m_limit || state->m_cancelled.load()) continue;
      // Closing the connection under the call is what makes a call on a silent link return; the
      // handle stays valid while the state is watched, which the lock held here guarantees.
      state->m_cancelled.store(true);
      ISC_STATUS_ARRAY status;
      isc_db_handle handle = state->m_handle;
      fb_cancel_operation(status, &handle, fb_cancel_abort);
    }
  }
}

CallState::~CallState() { Unwatch(); }

void CallState::Watch(Watchdog& watchdog, isc_db_handle handle) {
  m_handle = handle;
  m_watchdog = &watchdog;
  watchdog.Watch(this);
}

void CallState::Unwatch() {
  if (m_watchdog == nullptr) return;
  m_watchdog->Unwatch(this);
  m_watchdog = nullptr;
}

void CallState::MarkLost(const std::string& text) {
  if (LinkLost()) return;
  m_linkError = text;
  m_linkLost.store(true, std::memory_order_release);
}

Call::Call(CallState* state) noexcept : m_state(state) {
  if (m_state != nullptr) m_state->m_current.store(++m_state->m_next, std::memory_order_release);
}

Call::~Call() {
  if (m_state != nullptr) m_state->m_current.store(0, std::memory_order_release);
}

void Call::Check(const ISC_STATUS* status) {
  if (status[0] != 1 || status[1] == 0) return;
  if (m_state != nullptr && m_state->m_cancelled.exchange(false)) {
    const std::string& message = m_state->m_watchdog != nullptr ? m_state->m_watchdog->Message() : StatusText(status);
    m_state->MarkLost(message);
    m_state->m_timedOut.store(true, std::memory_order_release);
    throw FbError(message, status[1], FbError::Kind::TimedOut);
  }
  FbError refusal(status);
  if (m_state != nullptr && refusal.LinkLost()) m_state->MarkLost(refusal.Message());
  throw refusal;
}

}  // namespace vespril::fb
