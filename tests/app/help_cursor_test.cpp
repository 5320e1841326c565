#include "app/help_cursor.h"

#include "platform/desktop/fonts.h"

#include <gtest/gtest.h>

#include <vector>

namespace velto {
namespace {

CursorImage blankArrow(int w, int h) {
  CursorImage a;
  a.width = w;
  a.height = h;
  a.hotX = 3;
  a.hotY = 2;
  a.rgba.assign(static_cast<size_t>(w) * h * 4, 0);
  return a;
}

const unsigned char* pixel(const CursorImage& img, int x, int y) {
  return &img.rgba[(static_cast<size_t>(y) * img.width + x) * 4];
}

TEST(HelpCursor, ImageSizeDiscPlaceAndHotSpotFollowTheArrow) {
  struct Case {
    int w, h;
    int width, height;
  };
  const Case cases[] = {{17, 23, 31, 29}, {10, 23, 28, 29}, {17, 9, 31, 20}, {8, 8, 28, 20}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << " x " << c.h);
    const CursorImage img = helpCursorImage(blankArrow(c.w, c.h), {});
    EXPECT_EQ(img.width, c.width);
    EXPECT_EQ(img.height, c.height);
    EXPECT_EQ(img.rgba.size(), static_cast<size_t>(c.width) * c.height * 4);
    EXPECT_EQ(img.hotX, 3);
    EXPECT_EQ(img.hotY, 2);
    // The disc fills the square from (W - 17, H - 17), side 16: accent inside, black rim, clear
    // outside it.
    const int x0 = c.width - 17, y0 = c.height - 17;
    const unsigned char* inside = pixel(img, x0 + 4, y0 + 8);
    EXPECT_EQ(inside[3], 255);
    EXPECT_NEAR(inside[0], 89, 2);  // 0.35
    EXPECT_NEAR(inside[2], 242, 2); // 0.95
    const unsigned char* rim = pixel(img, x0, y0 + 8);
    EXPECT_GT(rim[3], 100);
    EXPECT_LT(rim[0] + rim[1] + rim[2], 200);
    EXPECT_EQ(pixel(img, x0 - 1, y0 + 8)[3], 0);
    EXPECT_EQ(pixel(img, c.width - 1, c.height - 1)[3], 0); // 1 inside the edges
  }
}

TEST(HelpCursor, ArrowAtTheTopLeftAndTheMarkOnTheDisc) {
  const CursorImage arrow = arrowCursorImage();
  ASSERT_EQ(arrow.width, 17);
  ASSERT_EQ(arrow.height, 23);
  std::vector<unsigned char> font;
  platform::desktop::readFontFile(platform::desktop::findFontFile("DejaVu Sans:bold"), font);
  const CursorImage plain = helpCursorImage(arrow, {});
  const CursorImage marked = helpCursorImage(arrow, font);
  EXPECT_EQ(plain.hotX, arrow.hotX);
  EXPECT_EQ(plain.hotY, arrow.hotY);
  for (int y = 0; y < 12; ++y) // above the disc the image is the arrow itself
    for (int x = 0; x < 17; ++x)
      for (int c = 0; c < 4; ++c) ASSERT_EQ(pixel(plain, x, y)[c], pixel(arrow, x, y)[c]);
  EXPECT_GT(pixel(arrow, 2, 8)[3], 200); // the arrow is opaque near its tip
  if (font.empty()) GTEST_SKIP() << "no bold face installed";
  int darkened = 0; // the "?" blackens pixels of the disc
  for (int y = 12; y < 28; ++y)
    for (int x = 14; x < 30; ++x)
      if (pixel(marked, x, y)[2] + 60 < pixel(plain, x, y)[2]) ++darkened;
  EXPECT_GT(darkened, 8);
  EXPECT_LT(darkened, 80);
}

} // namespace
} // namespace velto
