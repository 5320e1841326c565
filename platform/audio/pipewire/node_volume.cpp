#include "platform/audio/pipewire/node_volume.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include <pipewire/pipewire.h>
#include <spa/param/audio/raw.h>
#include <spa/param/props.h>
#include <spa/pod/iter.h>

#include "platform/audio/layer/listeners.h"
#include "platform/audio/layer/properties.h"

namespace platform::audio {
namespace {

// Below this a volume is the same one again (a float's round trip through the cube and back).
constexpr float kSameVolume = 1e-4f;

constexpr AspPropertyAddress kScalarAddress{kAspPropScalarValue, kAspScopeGlobal, kAspElementMain};
constexpr AspPropertyAddress kMuteAddress{kAspPropBooleanValue, kAspScopeGlobal, kAspElementMain};
// The layer tells a control's change as one of its device's volume or mute, in any scope.
constexpr AspPropertyAddress kDeviceVolume{kPropVolumeScalar, kWildcardScope, kWildcardElement};
constexpr AspPropertyAddress kDeviceMute{kPropMute, kWildcardScope, kWildcardElement};

bool readVolume(const DeviceProvider& provider, AspObjectId control, float* volume) {
  uint32_t size = 0;
  float value = 0.0f;
  if (provider.getPropertyData(control, kScalarAddress, 0, nullptr, sizeof value, &size, &value) !=
          kAspNoError ||
      size != sizeof value || !std::isfinite(value)) {
    return false;
  }
  *volume = std::clamp(value, 0.0f, 1.0f);
  return true;
}

bool readMute(const DeviceProvider& provider, AspObjectId control, bool* mute) {
  uint32_t size = 0;
  uint32_t value = 0;
  if (provider.getPropertyData(control, kMuteAddress, 0, nullptr, sizeof value, &size, &value) !=
          kAspNoError ||
      size != sizeof value) {
    return false;
  }
  *mute = value != 0;
  return true;
}

} // namespace

struct NodeVolumes::Entry {
  NodeVolumes* owner = nullptr;
  ProviderSlot* slot = nullptr;
  ObjectId device = 0; // global id, for the layer's listener
  AspObjectId volumeControl = 0;
  AspObjectId muteControl = 0;
  pw_stream* stream = nullptr;
  uint32_t channels = 0;

  // Queued (owner's mutex).
  bool queued = false;
  bool hasVolume = false; // a volume the node was given, as the control scalar
  float volume = 1.0f;
  bool hasMute = false;
  bool mute = false;
  bool softChanged = false; // the converter would attenuate until reset
  bool stateChanged = false;
  bool ready = false; // connected to the server

  // Worker only (control lock held): what the node shows, as far as we know.
  bool connected = false;
  bool known = false;
  float shownVolume = 1.0f;
  bool shownMute = false;

  static AspStatus onControls(ObjectId, uint32_t, const AspPropertyAddress*, void* data) {
    auto& entry = *static_cast<Entry*>(data);
    entry.owner->post(entry); // the controls are read afresh when the entry is settled
    return 0;
  }
};

NodeVolumes::NodeVolumes(std::shared_ptr<PipewireConnection> connection)
    : connection_(std::move(connection)) {
  worker_ = std::thread([this] { run(); });
}

NodeVolumes::~NodeVolumes() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  worker_.join();
}

NodeVolumes::Entry* NodeVolumes::add(ProviderSlot& slot, AspObjectId device,
                                     const std::vector<ProvidedControl>& controls,
                                     pw_stream* stream, uint32_t channels) {
  auto entry = std::make_unique<Entry>();
  entry->owner = this;
  entry->slot = &slot;
  entry->device = globalIdOf(slot, device);
  entry->stream = stream;
  entry->channels = std::clamp<uint32_t>(channels, 1, SPA_AUDIO_MAX_CHANNELS);
  for (const ProvidedControl& control : controls) {
    if (control.deviceSelector == kPropVolumeScalar) entry->volumeControl = control.local;
    if (control.deviceSelector == kPropMute) entry->muteControl = control.local;
  }
  if (entry->device == 0 || entry->volumeControl == 0 || entry->muteControl == 0) return nullptr;
  Entry* added = entry.get();
  AudioSystem& system = audioSystem();
  system.notifications.add(entry->device, kDeviceVolume, &Entry::onControls, added);
  system.notifications.add(entry->device, kDeviceMute, &Entry::onControls, added);
  entries_.push_back(std::move(entry));
  return added;
}

void NodeVolumes::remove(Entry* entry) {
  if (entry == nullptr) return;
  AudioSystem& system = audioSystem();
  // Waits for a listener call in flight; the listener only queues.
  system.notifications.remove(entry->device, kDeviceVolume, &Entry::onControls, entry);
  system.notifications.remove(entry->device, kDeviceMute, &Entry::onControls, entry);
  std::erase_if(entries_, [&](const std::unique_ptr<Entry>& e) { return e.get() == entry; });
}

void NodeVolumes::post(Entry& entry) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    entry.queued = true;
    dirty_ = true;
  }
  wake_.notify_all();
}

void NodeVolumes::propsChanged(Entry* entry, const spa_pod* param) {
  if (entry == nullptr || param == nullptr ||
      !spa_pod_is_object_type(param, SPA_TYPE_OBJECT_Props)) {
    return;
  }
  bool hasVolume = false, hasMute = false, softVolume = false, softMute = false;
  bool softNeutral = true;
  float volume = 0.0f;
  bool mute = false;
  const auto* object = reinterpret_cast<const spa_pod_object*>(param);
  const spa_pod_prop* prop;
  SPA_POD_OBJECT_FOREACH(object, prop) {
    float values[SPA_AUDIO_MAX_CHANNELS];
    bool flag = false;
    switch (prop->key) {
    case SPA_PROP_channelVolumes: {
      const uint32_t n =
          spa_pod_copy_array(&prop->value, SPA_TYPE_Float, values, SPA_AUDIO_MAX_CHANNELS);
      // The loudest channel is the node's volume, as the server's mixers show it.
      float loudest = -1.0f;
      for (uint32_t i = 0; i < n; ++i) {
        if (std::isfinite(values[i])) loudest = std::max(loudest, values[i]);
      }
      if (loudest >= 0.0f) {
        hasVolume = true;
        volume = std::cbrt(loudest);
      }
      break;
    }
    case SPA_PROP_softVolumes: {
      softVolume = true;
      const uint32_t n =
          spa_pod_copy_array(&prop->value, SPA_TYPE_Float, values, SPA_AUDIO_MAX_CHANNELS);
      for (uint32_t i = 0; i < n; ++i) softNeutral &= values[i] == 1.0f;
      break;
    }
    case SPA_PROP_mute:
      if (spa_pod_get_bool(&prop->value, &flag) == 0) {
        hasMute = true;
        mute = flag;
      }
      break;
    case SPA_PROP_softMute:
      softMute = true;
      if (spa_pod_get_bool(&prop->value, &flag) == 0) softNeutral &= !flag;
      break;
    default:
      break;
    }
  }
  // A volume or mute given without its soft twin becomes the converter's own attenuation too.
  const bool attenuates = !softNeutral || (hasVolume && !softVolume) || (hasMute && !softMute);
  if (!hasVolume && !hasMute && !attenuates) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (hasVolume) {
      entry->hasVolume = true;
      entry->volume = volume;
    }
    if (hasMute) {
      entry->hasMute = true;
      entry->mute = mute;
    }
    entry->softChanged |= attenuates;
  }
  post(*entry);
}

void NodeVolumes::streamChanged(Entry* entry, bool ready) {
  if (entry == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    entry->stateChanged = true;
    entry->ready = ready;
  }
  post(*entry);
}

void NodeVolumes::run() {
  AudioSystem& system = audioSystem();
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || dirty_; });
    if (stopping_) return;
    lock.unlock();
    // A stop may come from a caller that holds the control lock: wait for it by trying.
    std::unique_lock<std::mutex> control(system.control, std::defer_lock);
    while (!control.try_lock()) {
      lock.lock();
      if (stopping_) return;
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    lock.lock();
    dirty_ = false;
    lock.unlock();
    for (const std::unique_ptr<Entry>& entry : entries_) settle(*entry);
    control.unlock();
    lock.lock();
  }
}

// Control lock held.
void NodeVolumes::settle(Entry& entry) {
  bool hasVolume, hasMute, softChanged, stateChanged, ready;
  float volume;
  bool mute;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!entry.queued) return;
    entry.queued = false;
    hasVolume = std::exchange(entry.hasVolume, false);
    hasMute = std::exchange(entry.hasMute, false);
    softChanged = std::exchange(entry.softChanged, false);
    stateChanged = std::exchange(entry.stateChanged, false);
    ready = entry.ready;
    volume = entry.volume;
    mute = entry.mute;
  }
  DeviceProvider& provider = *entry.slot->provider;
  if (stateChanged && ready != entry.connected) {
    // A node that (re)connects shows the controls afresh; a node gone takes nothing.
    entry.connected = ready;
    entry.known = false;
  }
  float current = 1.0f;
  bool muted = false;
  if (!readVolume(provider, entry.volumeControl, &current) ||
      !readMute(provider, entry.muteControl, &muted)) {
    return;
  }

  // What the node was given goes to the controls (their notices reach the layer's listeners).
  if (hasVolume) {
    entry.shownVolume = volume;
    const float scalar = std::min(volume, 1.0f);
    if (std::fabs(scalar - current) > kSameVolume) {
      provider.setPropertyData(entry.volumeControl, kScalarAddress, 0, nullptr, sizeof scalar,
                               &scalar);
      readVolume(provider, entry.volumeControl, &current);
    }
  }
  if (hasMute) {
    entry.shownMute = mute;
    if (mute != muted) {
      const uint32_t word = mute ? 1u : 0u;
      provider.setPropertyData(entry.muteControl, kMuteAddress, 0, nullptr, sizeof word, &word);
      readMute(provider, entry.muteControl, &muted);
    }
  }

  // What the controls hold shows on the node, unless it shows it already (a volume above what
  // the control takes is shown clamped).
  const bool differs = !entry.known || std::fabs(current - entry.shownVolume) > kSameVolume ||
                       muted != entry.shownMute;
  if (!entry.connected || (!differs && !softChanged)) return;
  float volumes[SPA_AUDIO_MAX_CHANNELS];
  float ones[SPA_AUDIO_MAX_CHANNELS];
  std::fill_n(volumes, entry.channels, current * current * current);
  std::fill_n(ones, entry.channels, 1.0f);
  float muteValue = muted ? 1.0f : 0.0f;
  float off = 0.0f;
  pw_thread_loop_lock(connection_->loop);
  // The soft values last, so that they are not taken over from the node's own.
  const int result =
      differs ? pw_stream_set_control(entry.stream, SPA_PROP_channelVolumes, entry.channels,
                                      volumes, SPA_PROP_mute, 1, &muteValue, SPA_PROP_softVolumes,
                                      entry.channels, ones, SPA_PROP_softMute, 1, &off, 0)
              : pw_stream_set_control(entry.stream, SPA_PROP_softVolumes, entry.channels, ones,
                                      SPA_PROP_softMute, 1, &off, 0);
  pw_thread_loop_unlock(connection_->loop);
  if (differs && result >= 0) {
    entry.known = true;
    entry.shownVolume = current;
    entry.shownMute = muted;
  }
}

} // namespace platform::audio
