// The line the Player and Pads tabs show while the driver's clock device is missing: they play
// only on that device's clock, so without the driver they stay silent. It carries the settings'
// "Installieren" action. Threading: main thread, inside a window's frame.
#pragma once

namespace velto {

class Engine;

// Draws `what` and the install button when the clock device is missing; nothing otherwise.
void drawDriverNotice(Engine& engine, const char* what);

} // namespace velto
