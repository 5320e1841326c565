#include "platform/desktop/snapshot.h"

#include <backends/imgui_impl_opengl3.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <imgui.h>
#include <stb_image_write.h>
#include <unistd.h>
#include <vector>

#include "platform/desktop/gl.h"

namespace platform::desktop {

bool writePng(const std::string& path, int width, int height, const uint8_t* rgba,
              std::string& error) {
  if (path.empty() || width <= 0 || height <= 0 || rgba == nullptr) {
    error = "kein Bild";
    return false;
  }
  const std::string temporary = path + ".part";
  if (stbi_write_png(temporary.c_str(), width, height, 4, rgba, width * 4) == 0) {
    error = "kann " + path + " nicht schreiben";
    ::unlink(temporary.c_str());
    return false;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "kann " + path + " nicht schreiben: " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool renderSnapshot(int width, int height, const float clear[4], const std::string& path,
                    std::string& error) {
  if (width <= 0 || height <= 0) {
    error = "das Fenster hat keine Größe";
    return false;
  }
  GLuint framebuffer = 0, colour = 0;
  glGenFramebuffers(1, &framebuffer);
  glGenRenderbuffers(1, &colour);
  glBindRenderbuffer(GL_RENDERBUFFER, colour);
  glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
  glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
  glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour);
  bool ok = glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
  std::vector<uint8_t> pixels;
  if (ok) {
    glViewport(0, 0, width, height);
    glClearColor(clear[0], clear[1], clear[2], clear[3]);
    glClear(GL_COLOR_BUFFER_BIT);
    ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
    pixels.resize(size_t(width) * size_t(height) * 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    ok = glGetError() == GL_NO_ERROR;
  }
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  glDeleteRenderbuffers(1, &colour);
  glDeleteFramebuffers(1, &framebuffer);
  if (!ok) {
    error = "das Bild lässt sich nicht zeichnen";
    return false;
  }
  // GL reads bottom row first; PNG wants the top row first.
  const size_t row = size_t(width) * 4;
  std::vector<uint8_t> swap(row);
  for (int y = 0; y < height / 2; ++y) {
    uint8_t* top = pixels.data() + size_t(y) * row;
    uint8_t* bottom = pixels.data() + size_t(height - 1 - y) * row;
    std::memcpy(swap.data(), top, row);
    std::memcpy(top, bottom, row);
    std::memcpy(bottom, swap.data(), row);
  }
  // Opaque like the screen: ImGui's blending leaves partial alpha where windows overlap.
  for (size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 255;
  return writePng(path, width, height, pixels.data(), error);
}

} // namespace platform::desktop
