// The volume and mute of a published driver node are its device's volume and mute controls, both
// ways: what a client of the server sets on the node (the desktop's volume keys, a mixer
// application) is written to the device's controls, whose notices the layer's listeners hear;
// what the device's controls are given (the engine's write-back) shows on the node. The node's
// own converter never attenuates: its soft volume and mute are held at 1 and off, so the driver
// alone decides what a volume does to the sound. A node volume v (linear, as the server keeps it)
// is the control scalar ∛v, so that the driver's cube law gives the gain the server meant.
// Threading: add/remove under the layer's control lock (the loop lock may be held too);
// propsChanged and streamChanged on the connection's loop thread; the listener on the layer's
// notification thread. Each of these only queues; a worker applies the queue with the control lock
// held, taking the loop lock inside it (the one order the layer allows), so no callback ever waits
// for a lock the other side holds.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/audio/layer/system_state.h"
#include "platform/audio/pipewire/pipewire_node.h"

struct pw_stream;
struct spa_pod;

namespace platform::audio {

class NodeVolumes {
public:
  explicit NodeVolumes(std::shared_ptr<PipewireConnection> connection);
  ~NodeVolumes(); // the worker stops; every entry must have been removed
  NodeVolumes(const NodeVolumes&) = delete;
  NodeVolumes& operator=(const NodeVolumes&) = delete;

  struct Entry;

  // Control lock held: ties the stream's node to the device's controls (`local` ids of the
  // provider). Null when the device has no volume and no mute control.
  Entry* add(ProviderSlot& slot, AspObjectId device, const std::vector<ProvidedControl>& controls,
             pw_stream* stream, uint32_t channels);
  // Control lock held, before the stream is destroyed: nothing of the entry is used afterwards.
  void remove(Entry* entry);

  // Loop thread: the node was given Props (by a client of the server or by us).
  void propsChanged(Entry* entry, const spa_pod* param);
  // Loop thread: the stream is connected and takes controls now (`ready`), or no longer.
  void streamChanged(Entry* entry, bool ready);

private:
  void run();
  void settle(Entry& entry);
  void post(Entry& entry);

  std::shared_ptr<PipewireConnection> connection_;
  std::vector<std::unique_ptr<Entry>> entries_; // control lock

  std::mutex mutex_; // guards every entry's queued fields and the flags below
  std::condition_variable wake_;
  bool dirty_ = false;
  bool stopping_ = false;
  std::thread worker_;
};

} // namespace platform::audio
