#include "tests/support/dispatch_fixture.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "platform/dispatch/dispatch.h"

namespace velto::test {
namespace {

std::string makeTempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "velto-dispatch-XXXXXX");
  return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

} // namespace

void DispatchTest::SetUp() {
  home_ = makeTempFolder();
  systemRoot_ = makeTempFolder();
  ASSERT_FALSE(home_.empty());
  ASSERT_FALSE(systemRoot_.empty());
  setenv("HOME", home_.c_str(), 1);
  setenv("VELTO_SYSTEM_ROOT", systemRoot_.c_str(), 1);
  platform::dispatch::resetMainQueue();
}

void DispatchTest::TearDown() {
  EXPECT_TRUE(platform::dispatch::waitBackgroundIdle(std::chrono::seconds(10)));
  platform::dispatch::resetMainQueue();
  std::error_code ignored;
  if (!home_.empty()) std::filesystem::remove_all(home_, ignored);
  if (!systemRoot_.empty()) std::filesystem::remove_all(systemRoot_, ignored);
}

} // namespace velto::test
