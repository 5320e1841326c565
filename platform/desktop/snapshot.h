// PNG snapshots of a window: the current ImGui draw data rendered once more into a framebuffer
// object of the window's size, read back and written as a PNG. Used by the shell's snapshot
// mode. Threading: main thread, with the window's GL and ImGui contexts current.
#pragma once

#include <cstdint>
#include <string>

namespace platform::desktop {

// Renders ImGui's latest draw data over `clear` into a width x height RGBA image and writes it
// to `path`. False with the reason in `error` (nothing is left at `path` then).
bool renderSnapshot(int width, int height, const float clear[4], const std::string& path,
                    std::string& error);

// Writes width x height RGBA pixels, first row at the top, as a PNG: into a temporary file
// beside `path`, then renamed over it, so a reader never sees half an image. False with the
// reason in `error`. Any thread.
bool writePng(const std::string& path, int width, int height, const uint8_t* rgba,
              std::string& error);

} // namespace platform::desktop
