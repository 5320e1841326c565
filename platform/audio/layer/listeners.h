// Property listeners of the system audio layer. Changes (from a plug-in's notices, from the
// layer's own setters, from devices coming and going) are queued and delivered later on the
// layer's notification thread, never inside the call that caused them.
// Threading: add/remove/flush from any thread except an I/O callback.
#pragma once

#include <cstdint>

#include "platform/audio/layer/properties.h"

namespace platform::audio {

// Called on the notification thread with the changed addresses that match the listener's
// address. The return value is ignored.
using PropertyListener = AspStatus (*)(ObjectId object, uint32_t count,
                                       const AspPropertyAddress* addresses, void* clientData);

// The address may use kWildcardSelector, kWildcardScope and kWildcardElement. Adding the same
// (object, address, listener, client data) twice keeps one entry. '!obj' for an unknown object.
AspStatus addPropertyListener(ObjectId object, const AspPropertyAddress* address,
                              PropertyListener listener, void* clientData);
// Returns only when no call of that listener is in flight (unless called from inside it).
// kStatusIllegalOperation when no such entry exists.
AspStatus removePropertyListener(ObjectId object, const AspPropertyAddress* address,
                                 PropertyListener listener, void* clientData);

// Waits until every notice queued before this call has been delivered. Returns at once on the
// notification thread itself or when the system is not running.
void flushNotifications();

} // namespace platform::audio
