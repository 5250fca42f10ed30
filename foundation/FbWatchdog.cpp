#include "foundation/FbWatchdog.h"

#include <algorithm>
#include <utility>

#include "foundation/FbError.h"

namespace vespril::fb {

namespace {

using Clock = std::chrono::steady_clock;

// How often the watchdog looks: a tenth of the limit, so a call is given up on by 1.1 limits at most,
// and never busier than twenty times a second.
std::chrono::milliseconds Tick(std::chrono::milliseconds limit) {
  return std::clamp(limit / 10, std::chrono::milliseconds(50), std::chrono::milliseconds(1000));
}

// Whether the server at `connection` answers: an attachment of its own within `seconds`, and a ping.
bool Answers(const std::string& connection, const std::string& user, const std::string& password,
             int seconds) {
  std::string dpb(1, static_cast<char>(isc_dpb_version1));
  for (const auto& [item, value] : {std::pair{isc_dpb_user_name, &user}, {isc_dpb_password, &password}}) {
    if (value->size() > 255) return false;
    dpb += static_cast<char>(item);
    dpb += static_cast<char>(value->size());
    dpb += *value;
  }
  dpb += static_cast<char>(isc_dpb_connect_timeout);
  dpb += static_cast<char>(4);
  for (int shift = 0; shift < 32; shift += 8) dpb += static_cast<char>((seconds >> shift) & 0xFF);
  // The probe's own attachment, detached however this ends.
  struct Probe {
    isc_db_handle handle = 0;
    ~Probe() {
      ISC_STATUS_ARRAY status;
      if (handle != 0) isc_detach_database(status, &handle);
    }
  } probe;
  if (connection.size() > 0x7FFF) return false;
  ISC_STATUS_ARRAY status;
  isc_attach_database(status, static_cast<short>(connection.size()), connection.data(), &probe.handle,
                      static_cast<short>(dpb.size()), dpb.data());
  if (status[0] == 1 && status[1] != 0) return false;
  fb_ping(status, &probe.handle);
  return !(status[0] == 1 && status[1] != 0);
}

}  // namespace

Watchdog::Watchdog(std::chrono::milliseconds limit, std::string message,
                   std::chrono::milliseconds statementLimit, std::string statementMessage)
    : m_limit(limit),
      m_statementLimit(statementLimit),
      m_message(std::move(message)),
      m_statementMessage(std::move(statementMessage)),
      m_prober([this] { RunProber(); }),
      m_thread([this] { Run(); }) {}

Watchdog::~Watchdog() {
  {
    MutexLock lock(m_mutex);
    m_stop = true;
  }
  m_wake.notify_all();
  m_wakeProber.notify_all();
  m_thread.join();
  m_prober.join();
}

void Watchdog::Watch(CallState* state) {
  MutexLock lock(m_mutex);
  state->m_seenCall = 0;
  state->m_watch = ++m_nextWatch;
  m_watched.push_back(state);
}

CallState* Watchdog::Find(CallState* state, uint64_t watch) const {
  for (CallState* watched : m_watched) {
    if (watched == state && watched->m_watch == watch) return watched;
  }
  return nullptr;
}

void Watchdog::Cancel(CallState* state, bool statementLimit) {
  // Closing the connection under the call is what makes a call on a silent link return; the handle
  // stays valid while the state is watched, which the lock held here guarantees.
  state->m_cancelledLong.store(statementLimit);
  state->m_cancelled.store(true);
  ISC_STATUS_ARRAY status;
  isc_db_handle handle = state->m_handle;
  fb_cancel_operation(status, &handle, fb_cancel_abort);
}

void Watchdog::Unwatch(CallState* state) {
  MutexLock lock(m_mutex);
  m_watched.erase(std::remove(m_watched.begin(), m_watched.end(), state), m_watched.end());
}

void Watchdog::Run() {
  UniqueLock lock(m_mutex);
  const bool statements = m_statementLimit > m_limit;
  while (!m_wake.wait_for(lock.Native(), Tick(m_limit), [this]() REQUIRES(m_mutex) { return m_stop; })) {
    const Clock::time_point now = Clock::now();
    for (CallState* state : m_watched) {
      const uint64_t call = state->m_current.load(std::memory_order_acquire);
      if (call == 0 || call != state->m_seenCall) {
        state->m_seenCall = call;
        state->m_seenSince = now;
        state->m_asked = 0;
        state->m_asking = false;
        continue;
      }
      const auto ran = now - state->m_seenSince;
      if (ran < m_limit || state->m_cancelled.load()) continue;
      if (!statements || !state->m_statement.load() || state->m_connection.empty()) {
        Cancel(state, false);
      } else if (ran >= m_statementLimit) {
        Cancel(state, true);
      } else if (const int64_t limits = ran / m_limit; limits > state->m_asked && !state->m_asking) {
        state->m_asking = true;
        m_probes.push_back({state, state->m_watch, call, limits});
        m_wakeProber.notify_one();
      }
    }
  }
}

// The server is asked about off the watchdog's own thread, since an attach may take as long as its
// connect timeout, and the other attachments are watched meanwhile.
void Watchdog::RunProber() {
  UniqueLock lock(m_mutex);
  const int seconds = static_cast<int>(std::max<int64_t>(1, (m_limit.count() / 2 + 999) / 1000));
  for (;;) {
    m_wakeProber.wait(lock.Native(), [this]() REQUIRES(m_mutex) { return m_stop || !m_probes.empty(); });
    if (m_stop) return;
    const Probe probe = m_probes.front();
    m_probes.pop_front();
    const CallState* asked = Find(probe.state, probe.watch);
    if (asked == nullptr || asked->m_current.load() != probe.call) continue;
    const std::string connection = asked->m_connection;
    const std::string user = asked->m_user;
    const std::string password = asked->m_password;
    lock.unlock();
    const bool answers = Answers(connection, user, password, seconds);
    lock.lock();
    CallState* state = Find(probe.state, probe.watch);
    if (state == nullptr || state->m_current.load() != probe.call || state->m_cancelled.load()) continue;
    state->m_asking = false;
    if (answers) {
      state->m_asked = probe.limits;
    } else {
      Cancel(state, false);
    }
    if (OnProbe) {
      lock.unlock();
      OnProbe(connection, m_limit * probe.limits, answers);
      lock.lock();
    }
  }
}

CallState::~CallState() { Unwatch(); }

void CallState::Watch(Watchdog& watchdog, isc_db_handle handle, std::string connection, std::string user,
                      std::string password) {
  m_handle = handle;
  m_connection = std::move(connection);
  m_user = std::move(user);
  m_password = std::move(password);
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

Call::Call(CallState* state, Kind kind) noexcept : m_state(state) {
  if (m_state == nullptr) return;
  m_state->m_statement.store(kind == Kind::Statement, std::memory_order_relaxed);
  m_state->m_current.store(++m_state->m_next, std::memory_order_release);
}

Call::~Call() {
  if (m_state != nullptr) m_state->m_current.store(0, std::memory_order_release);
}

void Call::Check(const ISC_STATUS* status) {
  if (status[0] != 1 || status[1] == 0) return;
  if (m_state != nullptr && m_state->m_cancelled.exchange(false)) {
    // Given up on at the statement limit, the server was still answering: it is not silent.
    const bool statementLimit = m_state->m_cancelledLong.exchange(false);
    const Watchdog* watchdog = m_state->m_watchdog;
    const std::string message = watchdog == nullptr ? StatusText(status)
                                : statementLimit    ? watchdog->m_statementMessage
                                                    : watchdog->Message();
    m_state->MarkLost(message);
    if (!statementLimit) m_state->m_timedOut.store(true, std::memory_order_release);
    throw FbError(message, status[1], FbError::Kind::TimedOut);
  }
  FbError refusal(status);
  if (m_state != nullptr && refusal.LinkLost()) m_state->MarkLost(refusal.Message());
  throw refusal;
}

}  // namespace vespril::fb
