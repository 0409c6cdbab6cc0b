// Common set-up of the database tests: a sandbox with a fast clock and ways
// to place a database image where the library finds it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "sim/cxdb.h"
#include "sim/mtd.h"
#include "sim/spi_flash.h"
#include "sim/testing.h"

class CxTest : public crx::sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    sandbox().set_fast_clock(true);
  }

  void with_file(const crx::sim::CxDatabase& db) { crx::sim::cx_put_file(sandbox(), db.image()); }

  std::shared_ptr<crx::sim::MtdPartition> with_mtd(const std::vector<uint8_t>& image) {
    auto part = std::make_shared<crx::sim::MtdPartition>();
    crx::sim::cx_put_in_mtd(*part, image);
    crx::sim::MtdPartition::attach(sandbox(), part);
    return part;
  }

  std::shared_ptr<crx::sim::SpiNorFlash> with_raw(const std::vector<uint8_t>& image) {
    auto chip = crx::sim::SpiNorFlash::s25fl127s();
    crx::sim::cx_put_in_raw_flash(*chip, image);
    crx::sim::SpiNorFlash::attach(sandbox(), chip);
    return chip;
  }

  // Names in /tmp that belong to the database (the file or a copy in progress).
  std::vector<std::string> database_files() {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(sandbox().host_path("/tmp"))) {
      const std::string name = e.path().filename().string();
      if (name.rfind("commissioning.db", 0) == 0) out.push_back(name);
    }
    return out;
  }
};
