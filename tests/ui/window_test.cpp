#include "tests/support/ui/ui_harness.h"
#include "ui/window.h"

#include <gtest/gtest.h>

namespace velto::test {
namespace {

using WindowTest = UiEngineTest;

TEST_F(WindowTest, FirstFrameOpensTheBoard) {
  ui->frames(2);
  EXPECT_EQ(ui->selectedTab(), "Board");
}

} // namespace
} // namespace velto::test
