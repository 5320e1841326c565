#include "app/help_cursor.h"

#include "platform/desktop/fonts.h"

#include <GLFW/glfw3.h>
#include <stb_truetype.h>

#include <algorithm>
#include <cmath>

namespace velto {
namespace {

constexpr int kSamples = 4; // per axis, for smooth edges
constexpr float kAccent[3] = {0.35f, 0.75f, 0.95f};
constexpr float kGlyphPixels = 12.0f;

struct Point {
  float x, y;
};

// The arrow's outline, tip first, in pixel coordinates of its 17 x 23 image.
constexpr Point kArrow[] = {{1, 1},      {1, 18.5f},    {5.2f, 14.6f}, {8.2f, 21.5f},
                            {11, 20.3f}, {8.1f, 13.5f}, {13.5f, 13.5f}};
constexpr int kArrowPoints = static_cast<int>(sizeof kArrow / sizeof kArrow[0]);

bool insideArrow(float x, float y) {
  bool in = false;
  for (int i = 0, j = kArrowPoints - 1; i < kArrowPoints; j = i++) {
    const Point& a = kArrow[i];
    const Point& b = kArrow[j];
    if ((a.y > y) != (b.y > y) && x < (b.x - a.x) * (y - a.y) / (b.y - a.y) + a.x) in = !in;
  }
  return in;
}

float edgeDistance(float x, float y) {
  float best = 1e9f;
  for (int i = 0, j = kArrowPoints - 1; i < kArrowPoints; j = i++) {
    const Point& a = kArrow[i];
    const Point& b = kArrow[j];
    const float dx = b.x - a.x, dy = b.y - a.y;
    const float t = std::clamp(((x - a.x) * dx + (y - a.y) * dy) / (dx * dx + dy * dy), 0.0f, 1.0f);
    best = std::min(best, std::hypot(x - (a.x + t * dx), y - (a.y + t * dy)));
  }
  return best;
}

// Source-over of a straight-alpha colour onto pixel p.
void blend(unsigned char* p, const float rgb[3], float alpha) {
  if (alpha <= 0.0f) return;
  const float da = p[3] / 255.0f;
  const float oa = alpha + da * (1.0f - alpha);
  for (int c = 0; c < 3; ++c) {
    const float dc = p[c] / 255.0f;
    const float oc = (rgb[c] * alpha + dc * da * (1.0f - alpha)) / oa;
    p[c] = static_cast<unsigned char>(std::lround(oc * 255.0f));
  }
  p[3] = static_cast<unsigned char>(std::lround(oa * 255.0f));
}

void drawDisc(CursorImage& img) {
  const float cx = static_cast<float>(img.width - 17) + 8.0f;
  const float cy = static_cast<float>(img.height - 17) + 8.0f;
  const float black[3] = {0, 0, 0};
  for (int y = img.height - 17; y < img.height; ++y)
    for (int x = img.width - 17; x < img.width; ++x) {
      int fill = 0, ring = 0;
      for (int sy = 0; sy < kSamples; ++sy)
        for (int sx = 0; sx < kSamples; ++sx) {
          const float d =
              std::hypot(x + (sx + 0.5f) / kSamples - cx, y + (sy + 0.5f) / kSamples - cy);
          if (d <= 7.5f)
            ++fill;
          else if (d <= 8.5f)
            ++ring;
        }
      unsigned char* p = &img.rgba[(static_cast<size_t>(y) * img.width + x) * 4];
      const float n = kSamples * kSamples;
      blend(p, kAccent, fill / n);
      blend(p, black, ring / n);
    }
}

void drawQuestionMark(CursorImage& img, const std::vector<unsigned char>& font) {
  stbtt_fontinfo face{};
  if (font.empty()) return;
  const int offset = stbtt_GetFontOffsetForIndex(font.data(), 0);
  if (offset < 0 || stbtt_InitFont(&face, font.data(), offset) == 0) return;
  const float scale = stbtt_ScaleForMappingEmToPixels(&face, kGlyphPixels);
  int advance = 0, bearing = 0, ascent = 0, descent = 0, gap = 0;
  stbtt_GetCodepointHMetrics(&face, '?', &advance, &bearing);
  stbtt_GetFontVMetrics(&face, &ascent, &descent, &gap);
  const float tw = advance * scale;
  const float th = (ascent - descent) * scale;
  const float left = static_cast<float>(img.width - 17) + 8.0f - tw / 2;
  const float top = static_cast<float>(img.height - 17) + 8.0f - th / 2;
  const float baseline = top + ascent * scale;
  int w = 0, h = 0, xoff = 0, yoff = 0;
  const float shiftX = left - std::floor(left), shiftY = baseline - std::floor(baseline);
  unsigned char* glyph = stbtt_GetCodepointBitmapSubpixel(&face, scale, scale, shiftX, shiftY, '?',
                                                          &w, &h, &xoff, &yoff);
  if (!glyph) return;
  const float black[3] = {0, 0, 0};
  for (int gy = 0; gy < h; ++gy)
    for (int gx = 0; gx < w; ++gx) {
      const int x = static_cast<int>(std::floor(left)) + xoff + gx;
      const int y = static_cast<int>(std::floor(baseline)) + yoff + gy;
      if (x < 0 || y < 0 || x >= img.width || y >= img.height) continue;
      blend(&img.rgba[(static_cast<size_t>(y) * img.width + x) * 4], black,
            glyph[gy * w + gx] / 255.0f);
    }
  stbtt_FreeBitmap(glyph, nullptr);
}

} // namespace

CursorImage arrowCursorImage() {
  CursorImage img;
  img.width = 17;
  img.height = 23;
  img.hotX = 1;
  img.hotY = 1;
  img.rgba.assign(static_cast<size_t>(img.width) * img.height * 4, 0);
  const float black[3] = {0, 0, 0};
  const float white[3] = {1, 1, 1};
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x) {
      int body = 0, rim = 0;
      for (int sy = 0; sy < kSamples; ++sy)
        for (int sx = 0; sx < kSamples; ++sx) {
          const float px = x + (sx + 0.5f) / kSamples, py = y + (sy + 0.5f) / kSamples;
          if (!insideArrow(px, py)) continue;
          if (edgeDistance(px, py) < 0.9f)
            ++rim;
          else
            ++body;
        }
      unsigned char* p = &img.rgba[(static_cast<size_t>(y) * img.width + x) * 4];
      const float n = kSamples * kSamples;
      blend(p, white, rim / n);
      blend(p, black, body / n);
    }
  return img;
}

CursorImage helpCursorImage(const CursorImage& arrow, const std::vector<unsigned char>& boldFont) {
  CursorImage img;
  img.width = std::max(arrow.width, 14) + 14;
  img.height = std::max(arrow.height, 14) + 6;
  img.hotX = arrow.hotX;
  img.hotY = arrow.hotY;
  img.rgba.assign(static_cast<size_t>(img.width) * img.height * 4, 0);
  for (int y = 0; y < arrow.height; ++y)
    std::copy_n(&arrow.rgba[static_cast<size_t>(y) * arrow.width * 4], arrow.width * 4,
                &img.rgba[static_cast<size_t>(y) * img.width * 4]);
  drawDisc(img);
  drawQuestionMark(img, boldFont);
  return img;
}

GLFWcursor* veltoHelpCursor() {
  static GLFWcursor* cursor = nullptr;
  static bool built = false;
  if (built) return cursor;
  built = true;
  std::vector<unsigned char> font;
  platform::desktop::readFontFile(platform::desktop::findFontFile("DejaVu Sans:bold"), font);
  CursorImage img = helpCursorImage(arrowCursorImage(), font);
  GLFWimage image{img.width, img.height, img.rgba.data()};
  cursor = glfwCreateCursor(&image, img.hotX, img.hotY);
  return cursor;
}

} // namespace velto
