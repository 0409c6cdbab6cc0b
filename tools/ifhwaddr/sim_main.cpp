// The program inside a simulated board: it joins the sandbox whose root the
// test hands over in CRX_SIM_ROOT, so both the library's files and the
// program's own live in that sandbox.
#include <cstdio>
#include <cstdlib>

#include "ifhwaddr.h"
#include "sim/sandbox.h"

namespace {

class SandboxFiles : public ifhwaddr::Files {
 public:
  explicit SandboxFiles(const crx::sim::Sandbox& sandbox) : sandbox_(sandbox) {}
  std::string locate(const char* path) const override { return sandbox_.host_path(path); }

 private:
  const crx::sim::Sandbox& sandbox_;
};

}  // namespace

int main() {
  const char* root = std::getenv("CRX_SIM_ROOT");
  if (!root || !*root) {
    std::fputs("CRX_SIM_ROOT names no sandbox\n", stderr);
    return 2;
  }
  crx::sim::Sandbox sandbox{std::string(root)};
  sandbox.install();
  const int status = ifhwaddr::run(SandboxFiles(sandbox));
  sandbox.uninstall();
  return status;
}
