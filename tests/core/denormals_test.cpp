#include "core/denormals.h"

#include <gtest/gtest.h>

#include <limits>

namespace velto {
namespace {

// Products the compiler cannot fold: a denormal operand (flushed on input) and two small normal
// operands whose product is denormal (flushed on output).
float denormalTimesOne() {
  volatile float denormal = std::numeric_limits<float>::denorm_min() * 64.0f;
  volatile float one = 1.0f;
  return denormal * one;
}
float smallTimesSmall() {
  volatile float small = 1e-20f;
  return small * small;
}

// The control bits of a mode, without the sticky exception flags x86 keeps in the same register.
uint64_t controlBits(uint64_t mode) {
#if defined(__x86_64__) || defined(__i386__)
  return mode & ~uint64_t{0x3f};
#else
  return mode;
#endif
}

TEST(Denormals, ScopeFlushesBothWaysAndRestoresTheCallersMode) {
  if (!denormals::kSupported) GTEST_SKIP() << "no flush mode on this processor";
  const uint64_t original = denormals::readMode();
  const uint64_t clear = original & ~denormals::kFlushBits;
  const uint64_t cases[] = {clear, clear | (denormals::kFlushBits & 0x8000),
                            clear | (denormals::kFlushBits & ~uint64_t{0x8000}),
                            clear | denormals::kFlushBits};
  for (const uint64_t start : cases) {
    SCOPED_TRACE(start);
    denormals::writeMode(start);
    {
      const DenormalScope outer;
      EXPECT_TRUE(denormals::flushing());
      EXPECT_EQ(denormalTimesOne(), 0.0f);
      EXPECT_EQ(smallTimesSmall(), 0.0f);
      {
        const DenormalScope inner;
        EXPECT_TRUE(denormals::flushing());
      }
      EXPECT_TRUE(denormals::flushing()); // the inner scope leaves the outer one's mode
    }
    EXPECT_EQ(controlBits(denormals::readMode()), controlBits(start));
  }
  denormals::writeMode(clear);
  EXPECT_FALSE(denormals::flushing());
  EXPECT_NE(denormalTimesOne(), 0.0f);
  EXPECT_NE(smallTimesSmall(), 0.0f);
  denormals::writeMode(original);
}

} // namespace
} // namespace velto
