// GoogleTest support: a fresh sandbox per test, installed as the library's
// platform backend for the duration of the test.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sandbox.h"

namespace crx::sim {

class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox_ = std::make_unique<Sandbox>();
    sandbox_->install();
  }
  void TearDown() override {
    if (sandbox_) sandbox_->uninstall();
    sandbox_.reset();
  }

  Sandbox& sandbox() { return *sandbox_; }

  // Every syslog text, one per line, for failure messages.
  std::string syslog_dump() const {
    std::string out;
    for (const auto& t : sandbox_->syslog_texts()) out += "  " + t + "\n";
    return out;
  }

 private:
  std::unique_ptr<Sandbox> sandbox_;
};

}  // namespace crx::sim
