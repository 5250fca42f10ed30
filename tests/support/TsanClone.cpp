// Built into the test binaries only under ThreadSanitizer.
//
// QProcess starts its children with clone(CLONE_VM | CLONE_VFORK): the child runs in the parent's
// memory until it execs. The sanitizer's clone hook then records "this process forked while it had
// threads" in that shared memory, so the parent itself is marked: its main thread stops being checked
// and the next thread it creates (the embedded Firebird engine makes some) ends the run. Here the child
// gets a copy of the memory instead, which is what fork gives; the parent still waits for the exec.
#include <dlfcn.h>
#include <sched.h>
#include <sys/types.h>

#include <cstdarg>

extern "C" int clone(int (*fn)(void*), void* stack, int flags, void* arg, ...) {
  va_list rest;
  va_start(rest, arg);
  pid_t* parent_tid = va_arg(rest, pid_t*);
  void* tls = va_arg(rest, void*);
  pid_t* child_tid = va_arg(rest, pid_t*);
  va_end(rest);
  using Clone = int (*)(int (*)(void*), void*, int, void*, ...);
  static const auto next = reinterpret_cast<Clone>(dlsym(RTLD_NEXT, "clone"));
  if ((flags & CLONE_VFORK) != 0) flags &= ~CLONE_VM;
  return next(fn, stack, flags, arg, parent_tid, tls, child_tid);
}
