// The sandbox a fuzz target runs in: the library's diagnostics go to its
// captured log and its files under its root, never to the host's.
#pragma once

#include "sim/sandbox.h"

namespace crx::fuzz {

// Installed by the first call; the same sandbox for the whole run.
inline crx::sim::Sandbox& sandbox() {
  static crx::sim::Sandbox s;
  static const bool installed = (s.install(), true);
  (void)installed;
  return s;
}

}  // namespace crx::fuzz
