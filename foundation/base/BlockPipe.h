// BlockPipe: blocks of bytes handed from one producer thread to one consumer thread, in order, with at
// most a set number of bytes held between them: the producer waits while the pipe is full, so what it
// has to send never costs more memory than that, however much it is. The producer ends with Close(),
// which may carry its failure: the consumer receives it after the last block sent before it. The
// consumer may give up at any time (Abandon): a producer waiting for room wakes at once, and the
// producer learns it from Put() or Abandoned() and stops.
//
// Threads: Put, Abandoned and Close belong to one producer thread, Take and Abandon to one consumer
// thread; the two may run side by side. Owned by whoever outlives both (the consumer, which joins
// the producer before the pipe goes).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <string>

#include "foundation/ThreadAnnotations.h"

namespace vespril {

class BlockPipe {
 public:
  // REQUIRES: capacity > 0.
  explicit BlockPipe(size_t capacity) : m_capacity(capacity) {}
  BlockPipe(const BlockPipe&) = delete;
  BlockPipe& operator=(const BlockPipe&) = delete;

  // Producer. Queues block, first waiting while it would take the bytes held beyond the capacity (a
  // block larger than the capacity waits for the pipe to be empty). False, with nothing queued, once
  // the consumer has abandoned. REQUIRES: not closed.
  bool Put(std::string block);
  // Producer. Whether the consumer has abandoned; cheap enough to ask between any two steps.
  bool Abandoned() const { return m_abandoned.load(std::memory_order_acquire); }
  // Producer, last. Nothing more comes; `failure`, when given, is thrown to the consumer after the
  // blocks already queued.
  void Close(std::exception_ptr failure = nullptr) noexcept;

  // Consumer. Waits for the next block and moves it into `block`; false once the producer closed and
  // every block was taken, or throws the failure it closed with.
  bool Take(std::string& block);
  // Consumer. Takes nothing more: what is queued is dropped and the producer is told.
  void Abandon() noexcept;

 private:
  const size_t m_capacity;
  Mutex m_mutex;
  std::condition_variable m_room;   // for the producer: bytes were taken, or the consumer abandoned
  std::condition_variable m_ready;  // for the consumer: a block came, or the producer closed
  std::deque<std::string> m_blocks GUARDED_BY(m_mutex);
  size_t m_held GUARDED_BY(m_mutex) = 0;  // the bytes of m_blocks
  bool m_closed GUARDED_BY(m_mutex) = false;
  std::exception_ptr m_failure GUARDED_BY(m_mutex);
  std::atomic<bool> m_abandoned{false};  // written under m_mutex, read anywhere
};

}  // namespace vespril
