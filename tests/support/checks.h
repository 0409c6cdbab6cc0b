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
