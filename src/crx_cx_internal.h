// Pieces shared by the files of the Cx layer; not for other modules.
#pragma once

#include <string>

#include "crx.h"

namespace crx::cx {

// Runs one statement on the open connection (the caller holds the lock),
// with `bound_text` bound to its first parameter when given. Returns the
// number of rows handed to `callback` (at most `max_rows`) or -1.
int exec(const char* sql, const char* bound_text, cx_row_callback_t callback, void* arg, int max_rows);

// The same under the lock, refusing with "%s: not initialized" (as `who`)
// while the database is closed.
int exec_locked(const char* who, const char* sql, const char* bound_text, cx_row_callback_t callback, void* arg,
                int max_rows);

// Makes the image available as a file (the caller holds the lock). When the
// database file already exists `fresh` stays empty; otherwise the image is
// copied out of flash into a temporary file whose name goes to `fresh`, for
// the caller to verify and then move to kDatabasePath (or remove).
bool load_database(std::string& fresh);

}  // namespace crx::cx
