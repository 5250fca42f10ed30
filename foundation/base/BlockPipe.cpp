#include "foundation/BlockPipe.h"

#include <utility>

namespace vespril {

bool BlockPipe::Put(std::string block) {
  {
    UniqueLock lock(m_mutex);
    m_room.wait(lock.Native(), [&]() REQUIRES(m_mutex) {
      return Abandoned() || m_held == 0 || m_held + block.size() <= m_capacity;
    });
    if (Abandoned()) return false;
    m_held += block.size();
    m_blocks.push_back(std::move(block));
  }
  m_ready.notify_one();
  return true;
}

void BlockPipe::Close(std::exception_ptr failure) noexcept {
  {
    MutexLock lock(m_mutex);
    m_closed = true;
    m_failure = std::move(failure);
  }
  m_ready.notify_one();
}

bool BlockPipe::Take(std::string& block) {
  {
    UniqueLock lock(m_mutex);
    m_ready.wait(lock.Native(), [&]() REQUIRES(m_mutex) { return !m_blocks.empty() || m_closed; });
    if (m_blocks.empty()) {
      if (m_failure) std::rethrow_exception(m_failure);
      return false;
    }
    block = std::move(m_blocks.front());
    m_blocks.pop_front();
    m_held -= block.size();
  }
  m_room.notify_one();
  return true;
}

void BlockPipe::Abandon() noexcept {
  std::deque<std::string> dropped;  // freed outside the lock
  {
    MutexLock lock(m_mutex);
    m_abandoned.store(true, std::memory_order_release);
    dropped.swap(m_blocks);
    m_held = 0;
  }
  m_room.notify_one();
}

}  // namespace vespril
