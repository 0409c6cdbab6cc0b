// Another process of the gateway, played by a forked child that inherits
// the test's sandbox.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

namespace health_test {

// Runs `body` in a child process; its int result becomes the exit status,
// returned here (-1 when the child did not exit normally).
template <typename F>
int in_child(F body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  if (pid < 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace health_test
