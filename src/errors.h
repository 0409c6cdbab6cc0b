// Error codes: the library-wide crx_errno and the one way to set it.
#pragma once

#include "crx.h"

namespace crx {

// Stores `code` in crx_errno and returns -1, so a failing path reads
// `return fail(ERR_NULL_PTR);`.
inline int fail(int code) {
  crx_errno = code;
  return -1;
}

}  // namespace crx
