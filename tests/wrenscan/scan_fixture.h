// A started Wren board whose side radio listens to a scripted radio
// environment, and probes of the named semaphores and the result file.
#pragma once

#include <semaphore.h>

#include <sstream>
#include <string>
#include <vector>

#include "platform/named_sem.h"
#include "platform/os.h"
#include "tests/wrenstart/wren_fixture.h"

namespace crx::test {

class WrenScanTest : public WrenStartTest {
 protected:
  // A TDD board in the US band, started; the air holds only a noise floor.
  void start_board(const char* pcba = kTddPcba) {
    install(pcba);
    board().environment->set_noise_floor(-110);
    configure_and_start(pcba);
  }

  // A handle of the test's own on a named semaphore.
  static sem_t* open_sem(const char* name, unsigned initial = 1) {
    return os::sem_open_shared(name, 0777, initial);
  }

  std::vector<std::string> csv_lines() {
    std::vector<std::string> lines;
    if (!sandbox().exists("/tmp/spectralScan.csv")) return lines;
    std::istringstream in(sandbox().read_file("/tmp/spectralScan.csv"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // The counts of a CSV line, by bin (level + 130); empty when the line is
  // not frequency then 101 level/count pairs from -130 up.
  static std::vector<int> counts_of(const std::string& line, long* freq_hz) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string f; std::getline(in, f, ',');) fields.push_back(f);
    if (fields.size() != 1 + 2 * 101) return {};
    *freq_hz = std::stol(fields[0]);
    std::vector<int> counts;
    for (int b = 0; b < 101; ++b) {
      if (std::stoi(fields[1 + 2 * b]) != b - 130) return {};
      counts.push_back(std::stoi(fields[2 + 2 * b]));
    }
    return counts;
  }

  int sleeps_of(int64_t ns) {
    int n = 0;
    for (int64_t s : sandbox().sleeps()) n += s == ns;
    return n;
  }
};

}  // namespace crx::test
