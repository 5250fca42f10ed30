// Corte: the moment between write scripts at which a read script cuts across every server. The write
// lane (a write script, or a window operation) holds it alone for its whole run. A read script starts
// its snapshot transactions on all the servers it reads between a mark (Marcar, taken when no writer
// is in) and a check that no writer has come in since (Intacto), starting them again when one has; so
// every read sees each server as of one and the same moment between writes, and a server slow to
// answer the read holds up no writer. A read that keeps meeting writers holds the cut, shared with
// other reads, while it starts them (lock_shared). A waiting writer goes before readers that come
// after it, so a stream of reads can't starve the write lane. Any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <shared_mutex>

#include "foundation/ThreadAnnotations.h"

namespace vespril {

class Corte {
 public:
  // Held as a std::shared_mutex is: std::lock_guard for the write lane, std::shared_lock for a read.
  // Not a std::shared_mutex itself, which leaves to the platform whether a waiting writer goes first
  // (glibc's lets a stream of readers starve it).
  void lock() {
    UniqueLock lock(m_mutex);
    ++m_escritoresEsperando;
    m_mudou.wait(lock.Native(), [this]() REQUIRES(m_mutex) { return !m_escrevendo && m_lendo == 0; });
    --m_escritoresEsperando;
    m_escrevendo = true;
    ++m_escritas;
  }
  void unlock() {
    {
      MutexLock lock(m_mutex);
      m_escrevendo = false;
    }
    m_mudou.notify_all();
  }
  void lock_shared() {
    UniqueLock lock(m_mutex);
    m_mudou.wait(lock.Native(),
                 [this]() REQUIRES(m_mutex) { return !m_escrevendo && m_escritoresEsperando == 0; });
    ++m_lendo;
  }
  // Waits as lock_shared does, and holds nothing: the mark of a moment with no writer in.
  uint64_t Marcar() {
    UniqueLock lock(m_mutex);
    m_mudou.wait(lock.Native(),
                 [this]() REQUIRES(m_mutex) { return !m_escrevendo && m_escritoresEsperando == 0; });
    return m_escritas;
  }
  // No writer has taken the cut since `marca` was made.
  bool Intacto(uint64_t marca) {
    MutexLock lock(m_mutex);
    return m_escritas == marca;
  }
  void unlock_shared() {
    bool ultimo = false;
    {
      MutexLock lock(m_mutex);
      ultimo = --m_lendo == 0;
    }
    if (ultimo) m_mudou.notify_all();
  }

 private:
  Mutex m_mutex;
  std::condition_variable m_mudou;
  int m_lendo GUARDED_BY(m_mutex) = 0;
  int m_escritoresEsperando GUARDED_BY(m_mutex) = 0;
  bool m_escrevendo GUARDED_BY(m_mutex) = false;
  uint64_t m_escritas GUARDED_BY(m_mutex) = 0;  // writers that have taken the cut
};

}  // namespace vespril
