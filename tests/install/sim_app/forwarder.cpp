// A forwarder author's first test program, outside the tree: the README's
// simulator example exactly as printed, run on the configuration file named
// on the command line.
#include "snippet_includes.inc"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {
std::string read_text(const char* path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string my_config_text = read_text(argv[1]);
#include "snippet_body.inc"
  if (!gw) {
    std::printf("not configured: %d %s\n", crx_errno, crx_err_message(crx_errno));
    return 1;
  }
  std::printf("configured\n");
  return 0;
}
