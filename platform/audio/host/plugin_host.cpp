#include "platform/audio/host/plugin_host.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <set>

#include "platform/audio/host/plist.h"
#include "platform/audio/host/storage_file.h"
#include "platform/audio/layer/host_time.h"

namespace platform::audio {

namespace {

// The one client the stand-in server presents to the driver.
constexpr uint32_t kClientId = 0;

// Libraries held by live hosts. A plug-in's state is process-wide, so a second host on the same
// library would take over the first one's host table and leave it dangling at unload.
std::mutex gLoadedMutex;
std::set<void*> gLoaded;

bool claimLibrary(void* library) {
  std::lock_guard<std::mutex> lock(gLoadedMutex);
  return gLoaded.insert(library).second;
}

void releaseLibrary(void* library) {
  std::lock_guard<std::mutex> lock(gLoadedMutex);
  gLoaded.erase(library);
}

} // namespace

// What the host learned about one device at load; the device set of a plug-in never changes.
struct HostDevice {
  AspObjectId id = 0;
  AspObjectId inputStream = 0; // 0 when the device has no input
  AspObjectId outputStream = 0;
  double ticksPerFrame = 0.0;
  int clients = 0; // under PluginHostState::clientMutex
  std::atomic<uint64_t> cycles{0};
};

// The host table handed to the driver, with the way back to its host.
struct HostTable {
  AspHostInterface table;
  PluginHostState* owner;
};

struct PluginHostState {
  std::string bundlePath;
  void* library = nullptr;
  AspDriverRef driver = nullptr;
  std::unique_ptr<StorageFile> storage;
  HostTable host{};
  std::vector<std::unique_ptr<HostDevice>> devices;
  std::mutex clientMutex;
  std::mutex handlerMutex;
  PluginHost::ChangeHandler handler;

  HostDevice* find(AspObjectId device) const {
    for (const auto& entry : devices) {
      if (entry->id == device) return entry.get();
    }
    return nullptr;
  }
};

namespace {

PluginHostState* stateOf(const AspHostInterface* host) {
  return host ? reinterpret_cast<const HostTable*>(host)->owner : nullptr;
}

AspStatus propertiesChanged(const AspHostInterface* host, AspObjectId object, uint32_t count,
                            const AspPropertyAddress* addresses) {
  PluginHostState* state = stateOf(host);
  if (!state) return kAspBadObject;
  PluginHost::ChangeHandler handler;
  {
    std::lock_guard<std::mutex> lock(state->handlerMutex);
    handler = state->handler;
  }
  if (handler && addresses)
    handler(object, std::vector<AspPropertyAddress>(addresses, addresses + count));
  return kAspNoError;
}

AspStatus copyFromStorage(const AspHostInterface* host, const char* key, AspStoredValue* outValue) {
  PluginHostState* state = stateOf(host);
  if (!state) return kAspBadObject;
  return state->storage->copy(key, outValue);
}

AspStatus writeToStorage(const AspHostInterface* host, const char* key,
                         const AspStoredValue* value) {
  PluginHostState* state = stateOf(host);
  if (!state || !value) return kAspBadObject;
  return state->storage->write(key, *value);
}

AspStatus deleteFromStorage(const AspHostInterface* host, const char* key) {
  PluginHostState* state = stateOf(host);
  if (!state) return kAspBadObject;
  return state->storage->remove(key);
}

uint64_t absoluteTime(const AspHostInterface*) {
  return hostTimeNow();
}

void timebase(const AspHostInterface*, uint32_t* numer, uint32_t* denom) {
  hostTimebase(numer, denom);
}

// A list of object ids answered by the driver; empty when it has none or the call fails.
std::vector<AspObjectId> idList(AspDriverRef driver, AspObjectId object, uint32_t selector,
                                uint32_t scope) {
  AspPropertyAddress address{selector, scope, kAspElementMain};
  uint32_t size = 0;
  if ((*driver)->GetPropertyDataSize(driver, object, 0, &address, 0, nullptr, &size) !=
      kAspNoError) {
    return {};
  }
  std::vector<AspObjectId> ids(size / sizeof(AspObjectId));
  uint32_t written = 0;
  uint32_t offered = uint32_t(ids.size() * sizeof(AspObjectId));
  if ((*driver)->GetPropertyData(driver, object, 0, &address, 0, nullptr, offered, &written,
                                 ids.data()) != kAspNoError) {
    return {};
  }
  ids.resize(written / sizeof(AspObjectId));
  return ids;
}

double nominalRate(AspDriverRef driver, AspObjectId device) {
  AspPropertyAddress address{kAspPropNominalSampleRate, kAspScopeGlobal, kAspElementMain};
  double rate = 0.0;
  uint32_t written = 0;
  AspStatus status = (*driver)->GetPropertyData(driver, device, 0, &address, 0, nullptr,
                                                sizeof rate, &written, &rate);
  return status == kAspNoError && written == sizeof rate && rate > 0.0 ? rate : 48000.0;
}

void learnDevices(PluginHostState& state) {
  uint32_t numer = 1;
  uint32_t denom = 1;
  hostTimebase(&numer, &denom);
  for (AspObjectId id :
       idList(state.driver, kAspPlugInObject, kAspPropDeviceList, kAspScopeGlobal)) {
    auto device = std::make_unique<HostDevice>();
    device->id = id;
    auto inputs = idList(state.driver, id, kAspPropStreams, kAspScopeInput);
    auto outputs = idList(state.driver, id, kAspPropStreams, kAspScopeOutput);
    if (!inputs.empty()) device->inputStream = inputs.front();
    if (!outputs.empty()) device->outputStream = outputs.front();
    device->ticksPerFrame = 1e9 * double(denom) / double(numer) / nominalRate(state.driver, id);
    state.devices.push_back(std::move(device));
  }
}

// audio thread: one I/O operation of a cycle, when the driver will do it.
void ioOperation(AspDriverRef driver, const HostDevice& device, AspObjectId stream,
                 uint32_t operation, uint32_t frames, const AspIoCycleInfo& cycle, float* buffer) {
  bool willDo = false;
  bool inPlace = false;
  (*driver)->WillDoIOOperation(driver, device.id, kClientId, operation, &willDo, &inPlace);
  if (!willDo) return;
  (*driver)->BeginIOOperation(driver, device.id, kClientId, operation, frames, &cycle);
  (*driver)->DoIOOperation(driver, device.id, stream, kClientId, operation, frames, &cycle, buffer,
                           nullptr);
  (*driver)->EndIOOperation(driver, device.id, kClientId, operation, frames, &cycle);
}

AspTimeStamp timeStamp(double sampleTime, double hostTime) {
  AspTimeStamp stamp{};
  stamp.sampleTime = sampleTime;
  stamp.hostTime = hostTime > 0.0 ? uint64_t(hostTime) : 0;
  stamp.rateScalar = 1.0;
  stamp.flags = kAspTimeStampSampleTimeValid | kAspTimeStampHostTimeValid;
  return stamp;
}

} // namespace

PluginHost::PluginHost() : state_(std::make_unique<PluginHostState>()) {}

std::unique_ptr<PluginHost> PluginHost::load(const std::string& bundlePath,
                                             const std::string& storagePath) {
  std::string plist = bundlePath + "/Contents/Info.plist";
  std::string executable;
  std::string factoryName;
  if (!readPlistValue(plist, "CFBundleExecutable", &executable) ||
      !readPlistValue(plist, "PlugInFactory", &factoryName)) {
    return nullptr;
  }
  // The executable must stay inside the bundle.
  if (executable.empty() || executable.find('/') != std::string::npos || executable == "..")
    return nullptr;

  std::unique_ptr<PluginHost> host(new PluginHost());
  PluginHostState& state = *host->state_;
  state.bundlePath = bundlePath;
  std::string library = bundlePath + "/Contents/Linux/" + executable + ".so";
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return nullptr;
  if (!claimLibrary(handle)) {
    dlclose(handle);
    return nullptr;
  }
  state.library = handle;
  auto factory = reinterpret_cast<AspFactoryFunction>(dlsym(state.library, factoryName.c_str()));
  void* made = factory ? factory(nullptr, &kAspPlugInTypeUuid) : nullptr;
  if (!made) return nullptr; // the destructor closes the library
  auto unknown = static_cast<AspDriverRef>(made);
  void* driver = nullptr;
  if ((*unknown)->QueryInterface(unknown, kAspDriverInterfaceUuid, &driver) != kAspNoError ||
      !driver) {
    return nullptr;
  }
  state.driver = static_cast<AspDriverRef>(driver);

  state.storage = std::make_unique<StorageFile>(storagePath);
  state.host.owner = &state;
  state.host.table.PropertiesChanged = propertiesChanged;
  state.host.table.CopyFromStorage = copyFromStorage;
  state.host.table.WriteToStorage = writeToStorage;
  state.host.table.DeleteFromStorage = deleteFromStorage;
  state.host.table.AbsoluteTime = absoluteTime;
  state.host.table.Timebase = timebase;
  if ((*state.driver)->Initialize(state.driver, &state.host.table) != kAspNoError) return nullptr;
  learnDevices(state);
  return host;
}

std::vector<std::unique_ptr<PluginHost>> PluginHost::loadAll(const std::string& systemRoot) {
  namespace fs = std::filesystem;
  std::vector<std::unique_ptr<PluginHost>> hosts;
  std::error_code error;
  fs::path root(systemRoot.empty() ? "/" : systemRoot);
  fs::path plugIns = root / "Library/Audio/Plug-Ins/HAL";
  fs::path storage = root / "Library/Audio/Storage";
  std::vector<std::string> names;
  for (fs::directory_iterator it(plugIns, error), end; !error && it != end; it.increment(error)) {
    std::string name = it->path().filename().string();
    bool isDriver = name.size() > 7 && name.compare(name.size() - 7, 7, ".driver") == 0;
    if (isDriver && it->is_directory(error)) names.push_back(name);
  }
  if (names.empty()) return hosts;
  std::sort(names.begin(), names.end());
  fs::create_directories(storage, error);
  for (const std::string& name : names) {
    auto host = load((plugIns / name).string(), (storage / (name + ".values")).string());
    if (host) hosts.push_back(std::move(host));
  }
  return hosts;
}

PluginHost::~PluginHost() {
  PluginHostState& state = *state_;
  if (state.driver) {
    // A server going away stops the I/O it started.
    for (const auto& device : state.devices) {
      for (; device->clients > 0; --device->clients)
        (*state.driver)->StopIO(state.driver, device->id, kClientId);
    }
    (*state.driver)->Release(state.driver);
  }
  if (state.library) {
    releaseLibrary(state.library);
    dlclose(state.library);
  }
}

const std::string& PluginHost::bundlePath() const {
  return state_->bundlePath;
}

AspDriverRef PluginHost::driverInterface() const {
  return state_->driver;
}

bool PluginHost::hasProperty(AspObjectId object, const AspPropertyAddress& address) const {
  AspDriverRef d = state_->driver;
  return (*d)->HasProperty(d, object, 0, &address);
}

AspStatus PluginHost::isPropertySettable(AspObjectId object, const AspPropertyAddress& address,
                                         bool* outSettable) const {
  AspDriverRef d = state_->driver;
  return (*d)->IsPropertySettable(d, object, 0, &address, outSettable);
}

AspStatus PluginHost::getPropertyDataSize(AspObjectId object, const AspPropertyAddress& address,
                                          uint32_t qualifierSize, const void* qualifier,
                                          uint32_t* outSize) const {
  AspDriverRef d = state_->driver;
  return (*d)->GetPropertyDataSize(d, object, 0, &address, qualifierSize, qualifier, outSize);
}

AspStatus PluginHost::getPropertyData(AspObjectId object, const AspPropertyAddress& address,
                                      uint32_t qualifierSize, const void* qualifier, uint32_t size,
                                      uint32_t* outSize, void* outData) const {
  AspDriverRef d = state_->driver;
  return (*d)->GetPropertyData(d, object, 0, &address, qualifierSize, qualifier, size, outSize,
                               outData);
}

AspStatus PluginHost::setPropertyData(AspObjectId object, const AspPropertyAddress& address,
                                      uint32_t qualifierSize, const void* qualifier, uint32_t size,
                                      const void* data) {
  AspDriverRef d = state_->driver;
  return (*d)->SetPropertyData(d, object, 0, &address, qualifierSize, qualifier, size, data);
}

void PluginHost::setChangeHandler(ChangeHandler handler) {
  std::lock_guard<std::mutex> lock(state_->handlerMutex);
  state_->handler = std::move(handler);
}

AspStatus PluginHost::startDevice(AspObjectId device) {
  AspDriverRef d = state_->driver;
  std::lock_guard<std::mutex> lock(state_->clientMutex);
  HostDevice* entry = state_->find(device);
  if (!entry) return (*d)->StartIO(d, device, kClientId); // the driver's answer for a non-device
  if (entry->clients == 0) {
    AspStatus status = (*d)->StartIO(d, device, kClientId);
    if (status != kAspNoError) return status;
  }
  ++entry->clients;
  return kAspNoError;
}

AspStatus PluginHost::stopDevice(AspObjectId device) {
  AspDriverRef d = state_->driver;
  std::lock_guard<std::mutex> lock(state_->clientMutex);
  HostDevice* entry = state_->find(device);
  if (!entry) return (*d)->StopIO(d, device, kClientId);
  // A stop without a start must not stop the other device of a shared clock.
  if (entry->clients == 0) return kAspNoError;
  if (entry->clients == 1) {
    AspStatus status = (*d)->StopIO(d, device, kClientId);
    if (status != kAspNoError) return status;
  }
  --entry->clients;
  return kAspNoError;
}

bool PluginHost::deviceHasInput(AspObjectId device) const {
  const HostDevice* entry = state_->find(device);
  return entry && entry->inputStream != 0;
}

bool PluginHost::deviceHasOutput(AspObjectId device) const {
  const HostDevice* entry = state_->find(device);
  return entry && entry->outputStream != 0;
}

void PluginHost::runCycle(AspObjectId device, uint32_t frames, uint64_t now, float* input,
                          float* output, void (*process)(void* context, const CycleTimes& times),
                          void* context) {
  AspDriverRef d = state_->driver;
  HostDevice* entry = state_->find(device);
  if (!entry) return;
  double zeroSample = 0.0;
  uint64_t zeroHost = 0;
  uint64_t seed = 0;
  if ((*d)->GetZeroTimeStamp(d, device, kClientId, &zeroSample, &zeroHost, &seed) != kAspNoError)
    return;
  double tpf = entry->ticksPerFrame;
  double elapsed = now >= zeroHost ? double(now - zeroHost) : -double(zeroHost - now);
  double current = std::round(zeroSample + elapsed / tpf);
  auto hostAt = [&](double sampleTime) {
    return double(zeroHost) + (sampleTime - zeroSample) * tpf;
  };

  AspIoCycleInfo cycle{};
  cycle.cycleCounter = entry->cycles.fetch_add(1, std::memory_order_relaxed);
  cycle.nominalBufferFrames = frames;
  cycle.currentTime = timeStamp(current, double(now));
  cycle.inputTime = timeStamp(current - frames, hostAt(current - frames));
  cycle.outputTime = timeStamp(current + frames, hostAt(current + frames));

  if (entry->inputStream != 0)
    ioOperation(d, *entry, entry->inputStream, kAspIoReadInput, frames, cycle, input);
  if (process) process(context, CycleTimes{current - frames, current + frames, now});
  if (entry->outputStream != 0)
    ioOperation(d, *entry, entry->outputStream, kAspIoWriteMix, frames, cycle, output);
}

} // namespace platform::audio
