#include "ui/intro.h"

#include "ui/style.h"
#include "ui/window.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace velto {

bool gIntroOn = false;
double gIntroStart = -1.0;
float gIntroFixed = -1.0f;

namespace {

constexpr float kHexRadius = 30.0f;
constexpr float kColPitch = 45.0f;
constexpr float kRowPitch = 51.961525f;
constexpr float kOddShift = 25.980762f;
constexpr float kLitDistance = 170.0f;
constexpr int kWavePoints = 96;
constexpr float kRingAt[4] = {1.7f, 2.05f, 2.27f, 2.49f};
constexpr float kRingWeight[4] = {1.0f, 1.3f, 0.6f, 0.6f};
constexpr char kTitle[] = "VELTO";

float smooth(float u) {
  u = std::clamp(u, 0.0f, 1.0f);
  return u * u * (3.0f - 2.0f * u);
}

const ImVec4& palette(uint32_t n) {
  static const ImVec4* const kPalette[4] = {&kAccentIn, &kAccentOut, &kAccentVi, &kAccentMic};
  return *kPalette[n % 4];
}

ImU32 withAlpha(const ImVec4& c, float alpha) {
  return ImGui::ColorConvertFloat4ToU32(ImVec4(c.x, c.y, c.z, std::clamp(alpha, 0.0f, 1.0f)));
}

uint32_t cellHash(int row, int col) {
  uint32_t h = static_cast<uint32_t>(row) * 0x27d4eb2fu + static_cast<uint32_t>(col) * 0x165667b1u;
  h ^= h >> 13;
  h *= 0x4bf19f61u;
  h ^= h >> 16;
  return h;
}

// Unit vertices at 0, 60, ..., 300 degrees (the first at the right).
const ImVec2 kHexUnit[6] = {{1.0f, 0.0f},  {0.5f, 0.8660254f},   {-0.5f, 0.8660254f},
                            {-1.0f, 0.0f}, {-0.5f, -0.8660254f}, {0.5f, -0.8660254f}};

void hexPoints(ImVec2 centre, float radius, ImVec2 (&pts)[6]) {
  for (int v = 0; v < 6; ++v)
    pts[v] = ImVec2(centre.x + radius * kHexUnit[v].x, centre.y + radius * kHexUnit[v].y);
}

void decorate(ImDrawList* dl, const ImVec2 (&pts)[6], uint32_t h, float intensity) {
  const ImVec4& c = palette(h >> 4);
  const uint32_t s = (h >> 8) % 6;
  const uint32_t n = 2 + ((h >> 12) & 1);
  for (uint32_t j = 0; j < n; ++j)
    dl->AddLine(pts[(s + j) % 6], pts[(s + j + 1) % 6], withAlpha(c, 0.16f * intensity), 1.5f);
  dl->AddCircleFilled(pts[(s + n) % 6], 2.5f, withAlpha(c, 0.35f * intensity));
}

// Derived values of one intro time (t >= 0).
struct Phase {
  float front = 0; // reveal front, in half diagonals
  float zoom = 1;
  float sweep = 0;
  float decoFade = 0;
  float titleFade = 0;
  float slide = 0;
  float waves = 1;
  float ring[4] = {};
  float ringFade[4] = {};
};

Phase phaseAt(float t) {
  Phase p;
  const float s = std::clamp((t - 0.25f) / 1.45f, 0.0f, 1.0f);
  p.front = t < 0.25f ? 0.0f : 1.04f * std::pow(s, 1.5f);
  p.zoom = 1.0f + 0.22f * (1.0f - smooth(s));
  if (t > 1.7f) p.zoom += 0.025f * std::exp(-7.0f * (t - 1.7f));
  if (t > 2.05f) p.zoom += 0.06f * std::exp(-5.0f * (t - 2.05f));
  p.sweep = (t - 2.75f) / 0.9f;
  p.decoFade = 1.0f - smooth((t - 4.2f) / 1.2f);
  p.titleFade = smooth((t - 4.4f) / 1.2f);
  p.slide = smooth(2.0f * (t - 3.35f));
  p.waves = smooth(t - 2.75f);
  for (int k = 0; k < 4; ++k) {
    p.ring[k] = (t - kRingAt[k]) / 0.55f;
    p.ringFade[k] = 1.0f - smooth(p.ring[k] - 0.9f);
  }
  return p;
}

void drawTitle(ImDrawList* dl, ImVec2 origin, ImVec2 size, float t, const Phase& p) {
  ImFont* font = gTitleFont;
  if (!font) return;
  const float px = std::clamp(size.x * 0.16f, 90.0f, 260.0f);
  const float spacing = 0.18f * px;
  float widths[5];
  float total = 4.0f * spacing;
  for (int i = 0; i < 5; ++i) {
    widths[i] = font->CalcTextSizeA(px, 1e9f, 0.0f, kTitle + i, kTitle + i + 1).x;
    total += widths[i];
  }
  const float cy = origin.y + size.y * 0.5f;
  float x = origin.x + (size.x - total) * 0.5f;
  for (int i = 0; i < 5; ++i) {
    int a = 16;
    float scale = 1.0f;
    float left = x;
    if (t >= 0.0f) {
      const float start = i == 0 ? 2.75f : 3.55f + 0.09f * static_cast<float>(i - 1);
      const float duration = i == 0 ? 0.45f : 0.3f;
      const float e = smooth((t - start) / duration);
      a = static_cast<int>((230.0f - 214.0f * p.titleFade) * e);
      scale = 1.0f + 0.12f * (1.0f - e);
      if (i == 0) {
        const float x0 = origin.x + (size.x - widths[0]) * 0.5f;
        left = x0 + (x - x0) * p.slide;
      }
    }
    if (a > 0) {
      const ImU32 col = IM_COL32(150 + a / 4, 170 + a / 5, 220 + a / 8, a);
      const ImVec2 at(left + widths[i] * 0.5f - scale * widths[i] * 0.5f, cy - scale * px * 0.5f);
      dl->AddText(font, px * scale, at, col, kTitle + i, kTitle + i + 1);
    }
    x += widths[i] + spacing;
  }
}

void drawGrid(ImDrawList* dl, ImVec2 origin, ImVec2 size, float t, const Phase& p) {
  const ImVec2 centre(origin.x + size.x * 0.5f, origin.y + size.y * 0.5f);
  const float halfDiagonal = std::sqrt(size.x * size.x + size.y * size.y) * 0.5f;
  const ImVec2 mouse = ImGui::GetIO().MousePos;
  const int cols = static_cast<int>(size.x / kColPitch) + 1;
  const int rows = static_cast<int>(size.y / kRowPitch) + 1;
  ImVec2 pts[6];
  for (int c = -1; c <= cols; ++c) {
    for (int r = -1; r <= rows; ++r) {
      const ImVec2 at(origin.x + kColPitch * static_cast<float>(c),
                      origin.y + kRowPitch * static_cast<float>(r) + ((c & 1) ? kOddShift : 0.0f));
      const uint32_t h = cellHash(r, c);
      if (t < 0.0f) {
        hexPoints(at, kHexRadius, pts);
        const float d = std::hypot(mouse.x - at.x, mouse.y - at.y);
        if (d >= kLitDistance || !std::isfinite(d)) {
          dl->AddPolyline(pts, 6, IM_COL32(120, 140, 190, 14), ImDrawFlags_Closed, 1.0f);
        } else {
          const float k = 1.0f - d / kLitDistance;
          const int a = static_cast<int>(46.0f * k * k + 14.0f);
          dl->AddPolyline(pts, 6, IM_COL32(140, 170, 230, a), ImDrawFlags_Closed, 1.0f + k);
        }
        if (h % 14 == 0) decorate(dl, pts, h, 1.0f);
        continue;
      }
      const float dist = std::hypot(at.x - centre.x, at.y - centre.y) / halfDiagonal;
      const float reveal = std::clamp((p.front - dist) / 0.06f, 0.0f, 1.0f);
      if (reveal <= 0.0f) continue;
      float bump = 0.0f;
      if (t < 1.75f) bump += std::exp(-std::pow((dist - p.front) / 0.035f, 2.0f));
      for (int k = 0; k < 4; ++k)
        if (t >= kRingAt[k])
          bump += kRingWeight[k] * std::exp(-std::pow((dist - p.ring[k]) / 0.05f, 2.0f)) *
                  p.ringFade[k];
      const float grow = p.zoom + 0.025f * bump;
      hexPoints(ImVec2(centre.x + (at.x - centre.x) * grow, centre.y + (at.y - centre.y) * grow),
                kHexRadius * p.zoom * (1.0f + 0.1f * bump), pts);
      const float w = p.sweep - dist;
      if (w > -0.1f && p.decoFade > 0.0f && h % 3 == 0) {
        const float fill =
            (0.2f * std::exp(-std::pow(w / 0.12f, 2.0f)) + 0.05f * smooth(w / 0.1f)) * p.decoFade;
        if (fill > 0.003f) {
          const uint32_t n = static_cast<uint32_t>(std::max(w, 0.0f) * 3.0f) + h;
          dl->AddConvexPolyFilled(pts, 6, withAlpha(palette(n), fill));
        }
      }
      const int a = static_cast<int>(std::min(255.0f, reveal * (130.0f * bump + 14.0f)));
      dl->AddPolyline(pts, 6, IM_COL32(150, 180, 240, a), ImDrawFlags_Closed, 1.0f + bump);
      if (h % 14 == 0) {
        const float intensity = smooth(w / 0.15f);
        if (intensity > 0.0f) decorate(dl, pts, h, intensity);
      }
    }
  }
}

void drawWaves(ImDrawList* dl, ImVec2 origin, ImVec2 size, float strength) {
  if (strength <= 0.0f) return;
  struct Wave {
    ImVec4 colour;
    float base;
    float speed;
    float offset;
  };
  static const Wave kWaves[3] = {{{0.55f, 0.90f, 0.55f, 1}, 0.30f, 0.25f, 0.0f},
                                 {{0.95f, 0.70f, 0.30f, 1}, 0.52f, 0.35f, 1.7f},
                                 {{0.95f, 0.50f, 0.65f, 1}, 0.74f, 0.45f, 3.4f}};
  const float now = static_cast<float>(ImGui::GetTime());
  ImVec2 pts[kWavePoints];
  for (const Wave& wave : kWaves) {
    const float phase = wave.speed * now + wave.offset;
    const float base = origin.y + wave.base * size.y;
    for (int i = 0; i < kWavePoints; ++i) {
      const float x = origin.x + static_cast<float>(i) * size.x / (kWavePoints - 1);
      const float u = 0.012f * x + phase;
      pts[i] = ImVec2(x, base + 14.0f * std::sin(u) + 5.0f * std::sin(2.7f * u));
    }
    dl->AddPolyline(pts, kWavePoints, withAlpha(wave.colour, 0.07f * strength), 0, 1.5f);
  }
}

// Any mouse button or key that went down this frame.
bool skipPressed() {
  for (int b = 0; b < 3; ++b)
    if (ImGui::IsMouseClicked(b)) return true;
  const int keys = static_cast<int>(IM_ARRAYSIZE(ImGui::GetIO().KeysDown));
  for (int k = 0; k < keys; ++k)
    if (ImGui::IsKeyPressed(k, false)) return true;
  return false;
}

double advanceClock() {
  if (gIntroFixed >= 0.0f) return gIntroFixed;
  if (!gIntroOn) return -1.0;
  const double now = ImGui::GetTime();
  if (gIntroStart < 0.0) {
    gIntroStart = now;
    if (gIntroSound) gIntroSound(true);
  }
  double t = now - gIntroStart;
  if (skipPressed() && t < kIntroTabsAt) {
    if (gIntroSound) gIntroSound(false);
    gIntroStart = now - kIntroTabsAt;
    t = kIntroTabsAt;
  } else if (t >= kIntroEnd) {
    gIntroOn = false;
    t = -1.0;
  }
  return t;
}

} // namespace

void startIntro() {
  gIntroOn = true;
  gIntroStart = -1.0;
}

bool introRunning() {
  return gIntroOn;
}

double drawIntro(ImDrawList* drawList) {
  const double t = advanceClock();
  const ImGuiViewport* vp = ImGui::GetMainViewport();
  const ImVec2 origin = vp->WorkPos;
  const ImVec2 size = vp->WorkSize;
  const float ft = static_cast<float>(t);
  const Phase p = t >= 0.0 ? phaseAt(ft) : Phase{};
  drawTitle(drawList, origin, size, ft, p);
  drawGrid(drawList, origin, size, ft, p);
  drawWaves(drawList, origin, size, t >= 0.0 ? p.waves : 1.0f);
  return t;
}

} // namespace velto
