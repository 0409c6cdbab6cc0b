// Named POSIX semaphores shared with other processes on the gateway. Kept
// apart from os.h because these helpers add behaviour (the creation mode,
// waits that survive signals) on top of the plain calls the seam forwards.
#pragma once

#include <semaphore.h>
#include <sys/types.h>

namespace crx::os {

// Opens `name`, creating it with `value` when it does not exist yet. A
// semaphore this call creates gets exactly `mode` (processes of other users
// must be able to use it), whatever the process umask: the umask is never
// touched, since other threads may be creating files meanwhile. Null with
// errno set on failure.
sem_t* sem_open_shared(const char* name, mode_t mode, unsigned value);

// Waits on a semaphore; a signal does not end the wait. 0, or -1 with errno.
int sem_wait(sem_t* sem);
// The current value; 0, or -1 with errno.
int sem_getvalue(sem_t* sem, int* value);
// Takes the semaphore when it is free; 0, or -1 with errno (EAGAIN).
int sem_trywait(sem_t* sem);

}  // namespace crx::os
