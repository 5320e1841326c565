// The small controls of a card besides the fader: route buttons, mute, the device chooser of a
// hardware input or output with its status line, the sources of an output, the underrun line
// and the volume-keys symbol. Part of the mixer window; main thread only, once per frame.
// Shared values are written with single atomic operations (fetch-xor, exchange).
#pragma once

#include "engine/device_link.h"

#include <imgui.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace velto {

class Engine;
struct Strip;
struct Bus;
struct DeviceInfo;

// The six route buttons of a source strip: hardware outputs 1..3, then virtual outputs 1..3.
void routeButtons(Engine& engine, Strip& strip);
// One route toggle for bit `bit` of `mask`; a click flips exactly that bit.
void routeButton(std::atomic<uint32_t>& mask, int bit, const std::string& label, bool hasDevice,
                 ImVec4 accent, bool muted, float width, float height);
// "MUTE" over a strip's or bus's mute flag.
void muteButton(std::atomic<bool>& mute);
// Device chooser for `link` with its status line; onPick gets the chosen UID ("" = none).
void deviceCombo(Engine& engine, const DeviceLink& link, DeviceRole role, ImVec4 accent,
                 const std::function<void(const std::string&)>& onPick, const std::string& warning);
// Names of the strips routed to bus `bus`, one per line.
void sourcesList(Engine& engine, int bus);
// "Aussetzer %u" at the foot of the current card.
void underrunsAtBottom(const Bus& bus, bool hardware);
// Headphone symbol at the current window's top-right corner.
void volumeKeysIcon(ImVec4 colour);

// The device's nominal rate as the audio layer reports it now (the device list keeps the rate
// it saw when it was built); the listed rate when the layer cannot answer.
double currentDeviceRate(const DeviceInfo& device);

} // namespace velto
