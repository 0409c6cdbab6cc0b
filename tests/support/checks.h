// Checks shared by the test programs of several folders.
#pragma once

#include <gtest/gtest.h>

#include "crx.h"

// A call that must fail with -1 and leave `code` in crx_errno. The code is
// cleared first, so a value left by an earlier call cannot pass for it.
#define EXPECT_FAILS_WITH(call, code)      \
  do {                                     \
    crx_errno = 0;                         \
    EXPECT_EQ((call), -1);                 \
    EXPECT_EQ(crx_errno, (code)) << #call; \
  } while (0)

#include <chrono>
#include <thread>

namespace crx::test {

// Waits for a condition another thread makes true, with a bound generous
// enough for a loaded machine; the result is the condition's last value.
template <class Condition>
bool eventually(Condition done, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
  const auto give_up = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= give_up) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace crx::test
