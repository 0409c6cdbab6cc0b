// Running one of the project's programs as a child process and collecting
// what it prints, for the tests of the tools.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace crx::test {

struct Outcome {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::string out, err;
};

struct Child {
  pid_t pid = -1;
  int out = -1, err = -1;  // read ends of its standard output and error
};

// Starts `argv[0]` with `argv`; `prepare` runs in the child just before the
// program replaces it (limits, environment).
inline Child start(const std::vector<std::string>& argv, const std::function<void()>& prepare = {}) {
  int out[2], err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
    if (prepare) prepare();
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  return {pid, out[0], err[0]};
}

// Reads the child's output to its end and waits for it.
inline Outcome finish(const Child& child) {
  auto drain = [](int fd, std::string& text) {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    ::close(fd);
  };
  Outcome o;
  if (child.pid < 0) return o;
  std::thread errors(drain, child.err, std::ref(o.err));
  drain(child.out, o.out);
  errors.join();
  int status = 0;
  ::waitpid(child.pid, &status, 0);
  o.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return o;
}

}  // namespace crx::test
