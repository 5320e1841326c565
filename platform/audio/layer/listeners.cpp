#include "platform/audio/layer/listeners.h"

#include "platform/audio/layer/system_state.h"

namespace platform::audio {

AspStatus addPropertyListener(ObjectId object, const AspPropertyAddress* address,
                              PropertyListener listener, void* clientData) {
  if (address == nullptr || listener == nullptr) return kStatusIllegalOperation;
  AudioSystem& system = audioSystem();
  {
    std::lock_guard<std::mutex> lock(system.control);
    if (!system.running) return kStatusNotRunning;
    if (object != kSystemObject && system.objects.count(object) == 0) return kAspBadObject;
  }
  return system.notifications.add(object, *address, listener, clientData);
}

AspStatus removePropertyListener(ObjectId object, const AspPropertyAddress* address,
                                 PropertyListener listener, void* clientData) {
  if (address == nullptr || listener == nullptr) return kStatusIllegalOperation;
  return audioSystem().notifications.remove(object, *address, listener, clientData);
}

void flushNotifications() {
  audioSystem().notifications.flush();
}

} // namespace platform::audio
