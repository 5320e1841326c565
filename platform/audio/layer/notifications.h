// The layer's listener table and notification queue with its delivery thread. Owned by the
// layer's state; started and stopped with the system.
// Threading: post() from any control thread (also from inside a plug-in's property call: it only
// queues); listeners are called on the delivery thread without any of the layer's locks held.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/audio/layer/listeners.h"

namespace platform::audio {

class Notifications {
public:
  Notifications() = default;
  ~Notifications();
  Notifications(const Notifications&) = delete;
  Notifications& operator=(const Notifications&) = delete;

  // `barrier`: the lock that every call posting a notice holds (the layer's control lock); the
  // delivery thread takes and drops it before each notice, so that no listener runs while the
  // call that caused its notice is still going on.
  void start(std::mutex* barrier);
  // Joins the delivery thread; drops queued notices and every listener.
  void stop();

  void post(ObjectId object, const std::vector<AspPropertyAddress>& addresses);

  AspStatus add(ObjectId object, const AspPropertyAddress& address, PropertyListener listener,
                void* clientData);
  AspStatus remove(ObjectId object, const AspPropertyAddress& address, PropertyListener listener,
                   void* clientData);
  void flush();

private:
  struct Entry {
    uint64_t serial;
    ObjectId object;
    AspPropertyAddress address;
    PropertyListener listener;
    void* clientData;
  };
  struct Notice {
    ObjectId object;
    std::vector<AspPropertyAddress> addresses;
  };

  void run(uint64_t generation);
  void deliver(const Notice& notice, std::unique_lock<std::mutex>& lock);
  bool onDeliveryThread() const; // with the lock held

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable progress_;
  std::deque<Notice> queue_;
  std::vector<Entry> entries_;
  uint64_t nextSerial_ = 1;
  uint64_t posted_ = 0;
  uint64_t delivered_ = 0;
  std::mutex* barrier_ = nullptr;
  uint64_t calling_ = 0; // serial of the listener being called, 0 = none
  bool running_ = false;
  uint64_t generation_ = 0; // a delivery thread runs only while this is unchanged
  std::thread thread_;
  std::thread::id deliveryThread_;
};

// Whether a listener's address takes a changed address (wildcards on either side match).
bool addressMatches(const AspPropertyAddress& listener, const AspPropertyAddress& changed);

} // namespace platform::audio
