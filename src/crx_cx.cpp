// The Cx connection (open, verify, close), statement execution and the
// generic single-value getters.
#include "crx_cx.h"

#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "crx.h"
#include "crx_cx_internal.h"
#include "log.h"
#include "platform/os.h"

namespace crx::cx {
namespace {

// The one access context of the process.
struct Context {
  sqlite3* db = nullptr;
  std::atomic<int> version{0};  // read without the lock by CxGetDatabaseVersion
  char integrity[3] = {};
  const char* const path = kDatabasePath;
  std::atomic<bool> initialised{false};
  // The copy out of flash failed its integrity or version check. The flash
  // does not change under a running process, so copying it again would
  // only fail again, at the cost of reading the whole area per call.
  bool image_rejected = false;
  // Guards db, integrity, image_rejected and the open/close transitions;
  // held for the whole of CxInit, CxCleanup and each statement.
  std::mutex lock;
};
Context cx_db;

void close_connection() {
  if (cx_db.db) sqlite3_close(cx_db.db);
  cx_db.db = nullptr;
}

bool open_connection(const std::string& path) {
  sqlite3* handle = nullptr;
  const int rc = sqlite3_open_v2(os::resolve(path.c_str()).c_str(), &handle, SQLITE_OPEN_READONLY, nullptr);
  if (rc != SQLITE_OK) {
    log_line("%s: failure opening connection with '%s' database: error (%d): %s", "CxInit", kDatabasePath, rc,
             handle ? sqlite3_errmsg(handle) : sqlite3_errstr(rc));
    if (handle) sqlite3_close(handle);
    return false;
  }
  if (!handle) {
    log_line("%s: unable to allocate memory to hold sqlite3 object", "CxInit");
    return false;
  }
  // Column names are written in double quotes. SQLite would take a quoted
  // name that matches no column for a string literal, so a missing column
  // would read as its own name (or 0) and the getter would report success.
  sqlite3_db_config(handle, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
  sqlite3_db_config(handle, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
  cx_db.db = handle;
  return true;
}

void integrity_row(sqlite3_stmt* st, void*, int) {
  const unsigned char* text = sqlite3_column_text(st, 0);
  std::snprintf(cx_db.integrity, sizeof cx_db.integrity, "%s", text ? reinterpret_cast<const char*>(text) : "");
}

void version_row(sqlite3_stmt* st, void*, int) { cx_db.version = sqlite3_column_int(st, 0); }

// Opens `path` and checks integrity and user version; on failure the
// connection is closed again.
bool open_and_verify(const std::string& path) {
  if (!open_connection(path)) return false;
  std::memset(cx_db.integrity, 0, sizeof cx_db.integrity);
  int rows = exec("PRAGMA integrity_check", nullptr, integrity_row, nullptr, 1);
  if (rows != 1) {
    log_line("%s: error, unable to perform database integrity check; expected %d, obtained %d entries", "CxInit", 1,
             rows);
    close_connection();
    return false;
  }
  if (std::strncmp(cx_db.integrity, "ok", 2) != 0) {
    log_line("%s: database integrity failure: %s", "CxInit", cx_db.integrity);
    close_connection();
    return false;
  }
  log_line("%s: database integrity verified", "CxInit");
  rows = exec("PRAGMA user_version", nullptr, version_row, nullptr, 1);
  if (rows != 1) {
    log_line("%s: error, unable to retrieve user version; expected %d, obtained %d entries", "CxInit", 1, rows);
    cx_db.version = 0;
    close_connection();
    return false;
  }
  if (cx_db.version <= 0) {
    log_line("%s: database version %d is not supported", "CxInit", cx_db.version.load());
    cx_db.version = 0;
    close_connection();
    return false;
  }
  log_line("%s: database version: %d", "CxInit", cx_db.version.load());
  return true;
}

// Moves a verified fresh copy to its final name and reopens it there.
bool publish(const std::string& temp) {
  close_connection();
  if (os::rename(temp.c_str(), kDatabasePath) < 0) {
    const int e = errno;
    log_line("%s: failed to rename %s to %s: %s [%d]", "CxInit", temp.c_str(), kDatabasePath, std::strerror(e), e);
    os::unlink(temp.c_str());
    return false;
  }
  return open_connection(kDatabasePath);
}

bool query_text(char (&q)[kQuerySize], const char* who, const char* item, const char* table) {
  const int n = std::snprintf(q, sizeof q, "SELECT \"%s\" FROM %s\n", item, table);
  if (n < 0 || n >= kQuerySize) {
    log_line("%s: Not enough space for querying item %s in table %s. Required: %d, available: %d", who, item, table,
             n + 1, kQuerySize);
    return false;
  }
  return true;
}

bool one_row(int count, const char* who, const char* item, const char* table) {
  if (count == 1) return true;
  log_line("%s: error, unable to retrieve item: %s from table %s; expected %d, obtained %d entries", who, item, table,
           1, count);
  return false;
}

// One value from the first row of `table` through `row`; `dest_ok` tells
// whether the caller's destination is usable.
bool single_value(const char* who, const char* item, const char* table, bool dest_ok, cx_row_callback_t row,
                  void* arg) {
  if (!item || !table || !dest_ok) {
    log_line("%s: invalid parameter", who);
    return false;
  }
  char q[kQuerySize];
  if (!query_text(q, who, item, table)) return false;
  return one_row(CxExec(q, row, arg, 1), who, item, table);
}

void int_row(sqlite3_stmt* st, void* arg, int) {
  if (!arg) {
    log_line("%s: integer pointer is NULL", "cxGetIntCallback");
    return;
  }
  *static_cast<int*>(arg) = sqlite3_column_int(st, 0);
}

void int_array_row(sqlite3_stmt* st, void* arg, int index) {
  if (!arg) {
    log_line("%s: integer pointer is NULL", "cxGetIntArrCallback");
    return;
  }
  static_cast<int*>(arg)[index] = sqlite3_column_int(st, 0);
}

void float_row(sqlite3_stmt* st, void* arg, int) {
  if (!arg) {
    log_line("%s: floating pointer is NULL", "cxGetFloatCallback");
    return;
  }
  *static_cast<float*>(arg) = static_cast<float>(sqlite3_column_double(st, 0));
}

struct StringDest {
  char* out;
  int size;
};

void string_row(sqlite3_stmt* st, void* arg, int) {
  auto* dest = static_cast<StringDest*>(arg);
  if (!dest || !dest->out) {
    log_line("%s: string pointer is NULL", "cxGetStringCallback");
    return;
  }
  const unsigned char* text = sqlite3_column_text(st, 0);
  std::snprintf(dest->out, static_cast<size_t>(dest->size), "%s", text ? reinterpret_cast<const char*>(text) : "");
}

}  // namespace

int exec(const char* sql, const char* bound_text, cx_row_callback_t callback, void* arg, int max_rows) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(cx_db.db, sql, static_cast<int>(std::strlen(sql)), &st, nullptr);
  if (rc != SQLITE_OK) {
    log_line("%s: failure compiling '%s' statement: error (%d): %s", "cxExec", sql, rc, sqlite3_errmsg(cx_db.db));
    sqlite3_finalize(st);
    return -1;
  }
  if (bound_text) sqlite3_bind_text(st, 1, bound_text, -1, SQLITE_TRANSIENT);
  int count = 0;
  while (count < max_rows && (rc = sqlite3_step(st)) == SQLITE_ROW) {
    if (callback) callback(st, arg, count);
    ++count;
  }
  // Stopping at max_rows with rows left is fine; otherwise the last step
  // must have finished the statement.
  if (count < max_rows && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    log_line("%s: failure evaluating '%s' statement: error (%d): %s", "cxExec", sql, rc, sqlite3_errmsg(cx_db.db));
    count = -1;
  }
  rc = sqlite3_finalize(st);
  if (rc != SQLITE_OK && count >= 0) {
    log_line("%s: failure destroying '%s' statement: error (%d): %s", "cxExec", sql, rc, sqlite3_errmsg(cx_db.db));
    return -1;
  }
  return count;
}

int exec_locked(const char* who, const char* sql, const char* bound_text, cx_row_callback_t callback, void* arg,
                int max_rows) {
  std::lock_guard lock(cx_db.lock);
  if (!cx_db.initialised || !cx_db.db) {
    log_line("%s: not initialized", who);
    return -1;
  }
  return exec(sql, bound_text, callback, arg, max_rows);
}

}  // namespace crx::cx

using namespace crx;
using namespace crx::cx;

extern "C" {

bool CxInit(void) {
  std::lock_guard lock(cx_db.lock);
  if (cx_db.initialised) {
    log_line("%s: already initialized", "CxInit");
    return true;
  }
  // Fails at once, its reasons logged by the call that found them, unless
  // a database file has appeared since.
  if (cx_db.image_rejected && os::access(kDatabasePath, R_OK) != 0) return false;
  std::string fresh;  // the temporary copy when this call loaded the image
  if (!load_database(fresh)) {
    log_line("%s: failure to load commissioning database", "CxInit");
    return false;
  }
  if (!open_and_verify(fresh.empty() ? cx_db.path : fresh)) {
    // A copy that fails its checks is not kept, and not made again.
    if (!fresh.empty()) {
      os::unlink(fresh.c_str());
      cx_db.image_rejected = true;
    }
    return false;
  }
  if (!fresh.empty() && !publish(fresh)) return false;
  cx_db.initialised = true;
  return true;
}

bool CxCleanup(void) {
  std::lock_guard lock(cx_db.lock);
  if (!cx_db.initialised) {
    log_line("%s: not initialized", "CxCleanup");
    return true;
  }
  const int rc = sqlite3_close(cx_db.db);
  if (rc != SQLITE_OK) {
    log_line("%s: failure closing connection: error (%d): %s", "CxCleanup", rc, sqlite3_errmsg(cx_db.db));
    return false;
  }
  cx_db.db = nullptr;
  cx_db.initialised = false;
  LddFlashCloseCommissionDb();
  return true;
}

int CxGetDatabaseVersion(void) {
  if (!cx_db.initialised) {
    log_line("%s: not initialized", "CxGetDatabaseVersion");
    return -1;
  }
  return cx_db.version;
}

int CxExec(const char* sql, cx_row_callback_t callback, void* arg, int max_rows) {
  if (!sql) {
    log_line("%s: invalid parameter", "CxExec");
    return -1;
  }
  return exec_locked("CxExec", sql, nullptr, callback, arg, max_rows);
}

bool CxGetInt(const char* item, const char* table, int* out) {
  return single_value("CxGetInt", item, table, out != nullptr, int_row, out);
}

bool CxGetFloat(const char* item, const char* table, float* out) {
  return single_value("CxGetFloat", item, table, out != nullptr, float_row, out);
}

bool CxGetString(const char* item, const char* table, int size, char* out) {
  StringDest dest{out, size};
  return single_value("CxGetString", item, table, out && size >= 1, string_row, &dest);
}

bool CxGetIntArr(const char* item, const char* table, int* out, int* count) {
  if (!item || !table || !out || !count) {
    log_line("%s: invalid parameter", "CxGetIntArr");
    return false;
  }
  char q[kQuerySize];
  if (!query_text(q, "CxGetIntArr", item, table)) return false;
  *count = CxExec(q, int_array_row, out, *count);
  if (*count <= 0) {
    log_line("%s: error, unable to retrieve item: %s from table %s; obtained %d entries", "CxGetIntArr", item, table,
             *count);
    return false;
  }
  return true;
}

}  // extern "C"
