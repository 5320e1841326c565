// Fixture for suites that drive the dispatch stand-in: fresh HOME and VELTO_SYSTEM_ROOT folders
// and an empty main queue before and after every test, background work finished after it.
// Runs on the main thread (the test thread).
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace velto::test {

class DispatchTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  std::string home_;
  std::string systemRoot_;
};

} // namespace velto::test
