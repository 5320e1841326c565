#include "platform/audio/layer/notifications.h"

#include <algorithm>

namespace platform::audio {
namespace {

bool sameAddress(const AspPropertyAddress& a, const AspPropertyAddress& b) {
  return a.selector == b.selector && a.scope == b.scope && a.element == b.element;
}

} // namespace

bool addressMatches(const AspPropertyAddress& listener, const AspPropertyAddress& changed) {
  auto field = [](uint32_t a, uint32_t b, uint32_t wildcard) {
    return a == b || a == wildcard || b == wildcard;
  };
  return field(listener.selector, changed.selector, kWildcardSelector) &&
         field(listener.scope, changed.scope, kWildcardScope) &&
         field(listener.element, changed.element, kWildcardElement);
}

Notifications::~Notifications() {
  stop();
}

void Notifications::start(std::mutex* barrier) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_) return;
  running_ = true;
  barrier_ = barrier;
  thread_ = std::thread([this, generation = generation_] { run(generation); });
  deliveryThread_ = thread_.get_id();
}

void Notifications::stop() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    ++generation_;
    thread.swap(thread_);
  }
  wake_.notify_all();
  if (thread.joinable()) {
    // From inside a listener the thread cannot wait for itself; it ends after that listener.
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else {
      thread.join();
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  deliveryThread_ = std::thread::id();
  queue_.clear();
  entries_.clear();
  delivered_ = posted_;
  progress_.notify_all();
}

bool Notifications::onDeliveryThread() const {
  return deliveryThread_ == std::this_thread::get_id();
}

void Notifications::post(ObjectId object, const std::vector<AspPropertyAddress>& addresses) {
  if (addresses.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return;
    queue_.push_back(Notice{object, addresses});
    ++posted_;
  }
  wake_.notify_one();
}

AspStatus Notifications::add(ObjectId object, const AspPropertyAddress& address,
                             PropertyListener listener, void* clientData) {
  if (listener == nullptr) return kStatusIllegalOperation;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Entry& e : entries_) {
    if (e.object == object && sameAddress(e.address, address) && e.listener == listener &&
        e.clientData == clientData) {
      return kAspNoError;
    }
  }
  entries_.push_back(Entry{nextSerial_++, object, address, listener, clientData});
  return kAspNoError;
}

AspStatus Notifications::remove(ObjectId object, const AspPropertyAddress& address,
                                PropertyListener listener, void* clientData) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) {
    return e.object == object && sameAddress(e.address, address) && e.listener == listener &&
           e.clientData == clientData;
  });
  if (it == entries_.end()) return kStatusIllegalOperation;
  const uint64_t serial = it->serial;
  entries_.erase(it);
  if (!onDeliveryThread()) {
    progress_.wait(lock, [&] { return calling_ != serial; });
  }
  return kAspNoError;
}

void Notifications::flush() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!running_ || onDeliveryThread()) return;
  const uint64_t ticket = posted_;
  progress_.wait(lock, [&] { return delivered_ >= ticket || !running_; });
}

void Notifications::run(uint64_t generation) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    wake_.wait(lock, [&] { return generation_ != generation || !queue_.empty(); });
    if (generation_ != generation) return;
    Notice notice = std::move(queue_.front());
    queue_.pop_front();
    if (barrier_ != nullptr) {
      lock.unlock();
      { std::lock_guard<std::mutex> wait(*barrier_); }
      lock.lock();
      if (generation_ != generation) return;
    }
    deliver(notice, lock);
    if (generation_ != generation) return;
    ++delivered_;
    progress_.notify_all();
  }
}

// Called with the lock held; drops it around every listener call. A listener removed meanwhile
// is skipped.
void Notifications::deliver(const Notice& notice, std::unique_lock<std::mutex>& lock) {
  std::vector<uint64_t> serials;
  for (const Entry& e : entries_) {
    if (e.object == notice.object) serials.push_back(e.serial);
  }
  std::vector<AspPropertyAddress> matched;
  for (uint64_t serial : serials) {
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const Entry& e) { return e.serial == serial; });
    if (it == entries_.end()) continue;
    matched.clear();
    for (const AspPropertyAddress& changed : notice.addresses) {
      if (addressMatches(it->address, changed)) matched.push_back(changed);
    }
    if (matched.empty()) continue;
    const Entry entry = *it;
    calling_ = serial;
    lock.unlock();
    entry.listener(notice.object, uint32_t(matched.size()), matched.data(), entry.clientData);
    lock.lock();
    calling_ = 0;
    progress_.notify_all();
    if (!running_) return; // stopped meanwhile
  }
}

} // namespace platform::audio
