/*
 * pkgstate: prints or refreshes the BSP upgrade status record that the
 * management bridge keeps in /var/lib/brevant-mqtt-bridge/bsp_upgrade_status.
 *
 * The bridge owns every field but the update time stamp and the state; this
 * program only refreshes the one and resets the other. Both sides take an
 * exclusive lockf lock on the whole file around each read or write.
 */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <libgen.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#define EXIT_FAILED 255
/* create_record() found that another writer created the file meanwhile. */
#define CREATED_BY_OTHER 1

static const char kBridgeDir[] = "var/lib/brevant-mqtt-bridge";
static const char kStatusFile[] = "bsp_upgrade_status";

/* The record: 192 bytes, little-endian, naturally aligned. */
enum {
  RECORD_SIZE = 192,
  OFF_UPDATE_TS = 0,
  OFF_DOWNLOAD_TS = 8,
  OFF_DOWNLOAD_DELAY = 16,
  OFF_UPGRADE_TS = 24,
  OFF_UPGRADE_DELAY = 32,
  OFF_FORCE = 36,
  OFF_DOWNLOAD = 37,
  OFF_LOCAL_UPGRADE = 38,
  OFF_STATE = 40,
  OFF_LAST_UPGRADE = 48,
  OFF_REPORT_TS = 56,
  OFF_CURRENT_VERSION = 64,
  OFF_AVAILABLE_VERSION = 128,
  VERSION_SIZE = 64
};

static uint64_t get_le(const unsigned char *r, int off, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | r[off + i];
  return v;
}

static uint64_t get_u64(const unsigned char *r, int off) { return get_le(r, off, 8); }
static uint32_t get_u32(const unsigned char *r, int off) { return (uint32_t)get_le(r, off, 4); }

static void put_le(unsigned char *r, int off, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i, v >>= 8) r[off + i] = (unsigned char)v;
}

static uint64_t now_ms(void) {
  struct timeval tv;
  gettimeofday(&tv, NULL);
  return (uint64_t)tv.tv_sec * 1000u + (uint64_t)tv.tv_usec / 1000u;
}

static const char *state_name(uint32_t state) {
  static const char *const names[] = {
      "INSTALLED",         "DOWNLOAD SCHEDULED", "DOWNLOADING", "DOWNLOAD FAILED",   "DOWNLOADED",
      "INSTALL SCHEDULED", "INSTALLING",         "INSTALL SCHEDULED", "INSTALLING", "INSTALL FAILED",
  };
  return state < sizeof names / sizeof names[0] ? names[state] : "UNKNOWN";
}

static void usage(void) {
  puts("--------- Brevant bsp upgrade status utility---------");
  puts("pkgstate -<options> <root>");
  puts("Root - the root of the path to the status file without the trailing '/', if not supplied, it's from the "
       "system root");
  puts("Options:");
  puts(" -h print this help");
  puts(" -t update the timestamp");
  puts(" -s clear the state and update the timestamp");
  puts("If no options are provided, the utility reads the status and prints it");
}

static void print_record(const unsigned char *r) {
  puts("Upgrade request");
  printf("  update_ts      : %llu\n", (unsigned long long)get_u64(r, OFF_UPDATE_TS));
  printf("  download_ts    : %llu\n", (unsigned long long)get_u64(r, OFF_DOWNLOAD_TS));
  printf("  download_delay : %u\n", (unsigned)get_u32(r, OFF_DOWNLOAD_DELAY));
  printf("  upgrade_ts     : %llu\n", (unsigned long long)get_u64(r, OFF_UPGRADE_TS));
  printf("  upgrade_delay  : %u\n", (unsigned)get_u32(r, OFF_UPGRADE_DELAY));
  printf("  force          : %d\n", r[OFF_FORCE]);
  printf("  download       : %d\n", r[OFF_DOWNLOAD]);
  printf("  local_upgrade  : %d\n", r[OFF_LOCAL_UPGRADE]);
  printf("State            : %s\n", state_name(get_u32(r, OFF_STATE)));
  printf("Last upgrade time: %llu\n", (unsigned long long)get_u64(r, OFF_LAST_UPGRADE));
  printf("Report ts        : %llu\n", (unsigned long long)get_u64(r, OFF_REPORT_TS));
  /* Bounded: a version the bridge left without its NUL must not run on
     past the record. */
  printf("Current version  : %.*s\n", VERSION_SIZE, (const char *)r + OFF_CURRENT_VERSION);
  printf("Available version: %.*s\n", VERSION_SIZE, (const char *)r + OFF_AVAILABLE_VERSION);
}

/* Whole-record transfers, carrying on after partial transfers and signals. */
static int read_record(int fd, unsigned char *r) {
  size_t done = 0;
  while (done < RECORD_SIZE) {
    const ssize_t n = read(fd, r + done, RECORD_SIZE - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    done += (size_t)n;
  }
  return 0;
}

static int write_record(int fd, const unsigned char *r, off_t at) {
  size_t done = 0;
  while (done < RECORD_SIZE) {
    const ssize_t n = pwrite(fd, r + done, RECORD_SIZE - done, at + (off_t)done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    done += (size_t)n;
  }
  /* Only a record that reached the disk counts as written. */
  return fsync(fd);
}

/* The lock covers the file from offset 0 on, so unlock from there too. */
static void unlock_and_close(int fd) {
  lseek(fd, 0, SEEK_SET);
  lockf(fd, F_ULOCK, 0);
  close(fd);
}

/* Makes sure the directory that holds `path` exists (one level only). */
static int make_parent_dir(const char *path) {
  char *copy = strdup(path);
  if (!copy) {
    puts("Not enough memory");
    return -1;
  }
  const char *dir = dirname(copy);
  struct stat st;
  int rc = 0;
  if (stat(dir, &st) != 0) {
    /* Another process may have made it in the meantime: that is success. */
    if (mkdir(dir, 0755) != 0 && !(errno == EEXIST && stat(dir, &st) == 0 && S_ISDIR(st.st_mode))) {
      printf("failed to create %s directory\n", dir);
      rc = -1;
    }
  } else if (!S_ISDIR(st.st_mode)) {
    printf("path for keeping bridge files %s exists, but it isn't a directory\n", dir);
    rc = -1;
  }
  free(copy);
  return rc;
}

/*
 * Removes private copies ("<status file>.<pid>.new") that earlier runs left
 * behind when they were killed between creating and linking them. A copy
 * whose process still runs may be about to be linked and is left alone.
 */
static void remove_stale_copies(const char *path) {
  char *copy = strdup(path);
  if (!copy) return;
  const char *dir = dirname(copy);
  DIR *d = opendir(dir);
  if (!d) {
    free(copy);
    return;
  }
  const size_t prefix = strlen(kStatusFile);
  const struct dirent *e;
  while ((e = readdir(d)) != NULL) {
    const char *name = e->d_name;
    if (strncmp(name, kStatusFile, prefix) != 0 || name[prefix] != '.') continue;
    char *end = NULL;
    errno = 0;
    const long pid = strtol(name + prefix + 1, &end, 10);
    if (errno || end == name + prefix + 1 || strcmp(end, ".new") != 0 || pid <= 0) continue;
    if (pid != (long)getpid() && (pid > INT_MAX || (kill((pid_t)pid, 0) != 0 && errno == ESRCH))) {
      char stale[1200];
      const int n = snprintf(stale, sizeof stale, "%s/%s", dir, name);
      if (n > 0 && (size_t)n < sizeof stale) unlink(stale);
    }
  }
  closedir(d);
  free(copy);
}

/*
 * Creates the status file holding a fresh record. The record is written and
 * synced under a private name first and then linked into place, so the
 * status file never exists shorter than a record, and a file another writer
 * created since access() looked is left as it is (CREATED_BY_OTHER).
 */
static int create_record(const char *path) {
  char tmp[1100];
  snprintf(tmp, sizeof tmp, "%s.%ld.new", path, (long)getpid());
  unsigned char rec[RECORD_SIZE] = {0};
  put_le(rec, OFF_UPDATE_TS, now_ms(), 8);
  remove_stale_copies(path);

  int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
  if (fd < 0 && errno == EEXIST) {
    /* Left behind by an earlier process that had our process id. */
    unlink(tmp);
    fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
  }
  if (fd < 0) {
    printf("Failed to open bsp status file (%s) for writing, error: %m\n", path);
    return EXIT_FAILED;
  }
  const int written = write_record(fd, rec, 0);
  if (close(fd) != 0 || written != 0) {
    puts("failed to write bsp upgrade record");
    unlink(tmp);
    return EXIT_FAILED;
  }
  if (link(tmp, path) != 0) {
    const int err = errno;
    if (err != EEXIST) printf("Failed to open bsp status file (%s) for writing, error: %m\n", path);
    unlink(tmp);
    return err == EEXIST ? CREATED_BY_OTHER : EXIT_FAILED;
  }
  unlink(tmp);
  return 0;
}

/* Prints the record, or refreshes its time stamp (and resets its state). */
static int read_and_update(const char *path, int update, int reset) {
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    printf("Failed to open bsp status file (%s) for reading, error: %m\n", path);
    return EXIT_FAILED;
  }
  if (lockf(fd, F_LOCK, 0) != 0) {
    printf("failed to get a lock: %m\n");
    close(fd);
    return EXIT_FAILED;
  }
  /* The record is the first 192 bytes; the bridge may grow its file, and
     whatever follows the record is left as it is. */
  unsigned char rec[RECORD_SIZE];
  if (read_record(fd, rec) != 0) {
    puts("failed to read bsp upgrade record");
    unlock_and_close(fd);
    return EXIT_FAILED;
  }
  if (!update && !reset) {
    print_record(rec);
    unlock_and_close(fd);
    return 0;
  }
  put_le(rec, OFF_UPDATE_TS, now_ms(), 8);
  if (reset) put_le(rec, OFF_STATE, 0, 4);
  if (write_record(fd, rec, 0) != 0) {
    puts("failed to write bsp upgrade record");
    unlock_and_close(fd);
    return EXIT_FAILED;
  }
  unlock_and_close(fd);
  return 0;
}

int main(int argc, char **argv) {
  int update = 0, reset = 0, opt;
  while ((opt = getopt(argc, argv, "hts::")) != -1) {
    switch (opt) {
      case 'h':
        usage();
        return 0;
      case 't':
        update = 1;
        break;
      case 's':
        reset = 1;
        break;
      default:
        puts("Uknown argument, usage -h option for help");
        usage();
        return EXIT_FAILED;
    }
  }

  const char *root = argc - optind == 1 ? argv[optind] : NULL;
  char path[1024];
  const int n = root ? snprintf(path, sizeof path, "%s/%s/%s", root, kBridgeDir, kStatusFile)
                     : snprintf(path, sizeof path, "/%s/%s", kBridgeDir, kStatusFile);
  if (n < 0 || n > (int)sizeof path - 1) {
    puts("Failed to form a path for bsp upgrade status file");
    return EXIT_FAILED;
  }

  if (access(path, R_OK) != 0) {
    if (!update && !reset) {
      printf("bsp status file (%s) does not exist, do nothing\n", path);
      return 0;
    }
    if (!update) {
      puts("Status file does not exist, must provide -t option");
      usage();
      return EXIT_FAILED;
    }
    if (make_parent_dir(path) != 0) {
      puts("Failed to create the path");
      return EXIT_FAILED;
    }
    /* A new record is already in the reset state. */
    const int rc = create_record(path);
    if (rc != CREATED_BY_OTHER) return rc;
  }
  return read_and_update(path, update, reset);
}
