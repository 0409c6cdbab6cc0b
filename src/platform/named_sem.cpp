#include "platform/named_sem.h"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>

#include "platform/os.h"

namespace crx::os {

namespace {

// Where the C library keeps a named semaphore: a file in the shared-memory
// file system, named after the semaphore without its leading slash.
std::string backing_file(const std::string& name) {
  const std::string bare = !name.empty() && name[0] == '/' ? name.substr(1) : name;
  return "/dev/shm/sem." + bare;
}

}  // namespace

sem_t* sem_open_shared(const char* name, mode_t mode, unsigned value) {
  if (!name) {
    errno = EINVAL;
    return SEM_FAILED;
  }
  for (;;) {
    sem_t* sem = os::sem_open(name, O_CREAT | O_EXCL, mode, value);
    if (sem != SEM_FAILED) {
      // The creator owns the file, so this cannot be refused for want of
      // rights; a C library that keeps semaphores elsewhere leaves the
      // umask's mode, which is the best it offers.
      ::chmod(backing_file(sem_name(name)).c_str(), mode);
      return sem;
    }
    if (errno != EEXIST) return SEM_FAILED;
    sem = os::sem_open(name, 0);
    // Unlinked between the two calls: create it again.
    if (sem != SEM_FAILED || errno != ENOENT) return sem;
  }
}

int sem_wait(sem_t* sem) {
  int rc;
  do {
    rc = ::sem_wait(sem);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

int sem_getvalue(sem_t* sem, int* value) { return ::sem_getvalue(sem, value); }

int sem_trywait(sem_t* sem) {
  int rc;
  do {
    rc = ::sem_trywait(sem);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

}  // namespace crx::os
