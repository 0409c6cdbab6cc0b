// Error codes: the library-wide crx_errno and the one way to set it.
#pragma once

#include <atomic>

#include "crx.h"

namespace crx {

// crx_errno stays a plain exported int for applications; the library's own
// accesses are relaxed atomics so the receive thread and callers do not race.
inline void set_errno(int code) { std::atomic_ref<int>(crx_errno).store(code, std::memory_order_relaxed); }
inline int get_errno() { return std::atomic_ref<int>(crx_errno).load(std::memory_order_relaxed); }

// Stores `code` in crx_errno and returns -1, so a failing path reads
// `return fail(ERR_NULL_PTR);`.
inline int fail(int code) {
  set_errno(code);
  return -1;
}

}  // namespace crx
