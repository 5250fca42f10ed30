#include "tests/support/ThreadWatch.h"

#include <dlfcn.h>
#include <ibase.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

namespace vespril::test {
namespace {

std::atomic<bool> g_watching{false};
pthread_t g_thread;
std::mutex g_mutex;
std::vector<std::string> g_calls;

void Note(const char* name) {
  if (!g_watching.load(std::memory_order_acquire) || !pthread_equal(pthread_self(), g_thread)) return;
  std::lock_guard lock(g_mutex);
  g_calls.emplace_back(name);
}

// The definition this binary's own one hides: the client library's or the C library's.
template <typename Function>
Function* Next(Function*, const char* name) {
  void* next = dlsym(RTLD_NEXT, name);
  if (next == nullptr) {
    std::fprintf(stderr, "ThreadWatch: no %s to pass the call on to\n", name);
    std::abort();
  }
  return reinterpret_cast<Function*>(next);
}

}  // namespace

ThreadWatch::ThreadWatch() {
  {
    std::lock_guard lock(g_mutex);
    g_calls.clear();
  }
  g_thread = pthread_self();
  g_watching.store(true, std::memory_order_release);
}

ThreadWatch::~ThreadWatch() { g_watching.store(false, std::memory_order_release); }

std::vector<std::string> ThreadWatch::Calls() const {
  std::lock_guard lock(g_mutex);
  return g_calls;
}

}  // namespace vespril::test

// Each stand-in notes its call, then makes it.
#define VESPRIL_WATCHED(result, name, params, args)              \
  extern "C" result name params {                                \
    static auto* const next = vespril::test::Next(&name, #name); \
    vespril::test::Note(#name);                                  \
    return next args;                                            \
  }

VESPRIL_WATCHED(ISC_STATUS, isc_attach_database,
                (ISC_STATUS * s, short n, const ISC_SCHAR* name, isc_db_handle* db, short l,
                 const ISC_SCHAR* dpb),
                (s, n, name, db, l, dpb))
VESPRIL_WATCHED(ISC_STATUS, isc_detach_database, (ISC_STATUS * s, isc_db_handle* db), (s, db))
VESPRIL_WATCHED(ISC_STATUS, isc_dsql_prepare,
                (ISC_STATUS * s, isc_tr_handle* tr, isc_stmt_handle* st, unsigned short l,
                 const ISC_SCHAR* sql, unsigned short d, XSQLDA* da),
                (s, tr, st, l, sql, d, da))
VESPRIL_WATCHED(ISC_STATUS, isc_dsql_execute,
                (ISC_STATUS * s, isc_tr_handle* tr, isc_stmt_handle* st, unsigned short v, const XSQLDA* da),
                (s, tr, st, v, da))
VESPRIL_WATCHED(ISC_STATUS, isc_dsql_execute2,
                (ISC_STATUS * s, isc_tr_handle* tr, isc_stmt_handle* st, unsigned short v, const XSQLDA* in,
                 const XSQLDA* out),
                (s, tr, st, v, in, out))
VESPRIL_WATCHED(ISC_STATUS, isc_dsql_fetch,
                (ISC_STATUS * s, isc_stmt_handle* st, unsigned short v, const XSQLDA* da), (s, st, v, da))
VESPRIL_WATCHED(ISC_STATUS, isc_commit_transaction, (ISC_STATUS * s, isc_tr_handle* tr), (s, tr))
VESPRIL_WATCHED(ISC_STATUS, isc_rollback_transaction, (ISC_STATUS * s, isc_tr_handle* tr), (s, tr))
VESPRIL_WATCHED(int, fsync, (int fd), (fd))
VESPRIL_WATCHED(int, fdatasync, (int fd), (fd))
VESPRIL_WATCHED(int, rename, (const char* from, const char* to), (from, to))
VESPRIL_WATCHED(int, unlink, (const char* path), (path))
