// The commissioning database access layer (the exported Cx* functions of
// crx.h): the image is copied once per boot from flash into a file in /tmp,
// checked, and opened read-only with SQLite.
#pragma once

namespace crx::cx {

// Where the copied image lives; it survives the process so later processes
// do not touch the flash again.
inline constexpr const char* kDatabasePath = "/tmp/commissioning.db";

// Length limit of a query text, terminator included.
inline constexpr int kQuerySize = 100;

}  // namespace crx::cx
