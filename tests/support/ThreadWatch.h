// ThreadWatch: which database calls and file flushes a thread makes while it is watched. Linked into
// the test binaries that use it, where it stands in front of the Firebird client's and the C library's
// functions: every call is counted when it comes from the watched thread, then passed on unchanged.
#pragma once

#include <string>
#include <vector>

namespace vespril::test {

class ThreadWatch {
 public:
  ThreadWatch();   // watches the calling thread from now on
  ~ThreadWatch();  // and no longer
  ThreadWatch(const ThreadWatch&) = delete;
  ThreadWatch& operator=(const ThreadWatch&) = delete;

  // The names of the calls seen on the thread so far ("isc_dsql_prepare", "fsync", ...), in order.
  std::vector<std::string> Calls() const;
};

}  // namespace vespril::test
