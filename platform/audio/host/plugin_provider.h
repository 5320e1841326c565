// The plug-in host as a device provider of the audio layer: one loaded driver bundle, its
// objects enumerated once at load (a driver's device set is fixed while it is loaded), property
// calls and start/stop forwarded, I/O cycles run through PluginHost::runCycle.
// Owned by the layer's state. Threading: as DeviceProvider.
#pragma once

#include <memory>

#include "platform/audio/host/plugin_host.h"
#include "platform/audio/layer/device_provider.h"

namespace platform::audio {

class PluginProvider final : public DeviceProvider {
public:
  explicit PluginProvider(std::unique_ptr<PluginHost> host);
  ~PluginProvider() override;

  std::vector<ProvidedObject> objects() const override { return objects_; }
  std::vector<ProvidedDevice> devices() const override { return devices_; }
  bool isPlugIn() const override { return true; }

  bool hasProperty(AspObjectId local, const AspPropertyAddress& address) const override;
  AspStatus isPropertySettable(AspObjectId local, const AspPropertyAddress& address,
                               bool* outSettable) const override;
  AspStatus getPropertyDataSize(AspObjectId local, const AspPropertyAddress& address,
                                uint32_t qualifierSize, const void* qualifier,
                                uint32_t* outSize) const override;
  AspStatus getPropertyData(AspObjectId local, const AspPropertyAddress& address,
                            uint32_t qualifierSize, const void* qualifier, uint32_t size,
                            uint32_t* outSize, void* outData) const override;
  AspStatus setPropertyData(AspObjectId local, const AspPropertyAddress& address,
                            uint32_t qualifierSize, const void* qualifier, uint32_t size,
                            const void* data) override;

  void setChangeSink(ChangeSink sink) override;

  AspStatus startDevice(AspObjectId local) override;
  AspStatus stopDevice(AspObjectId local) override;

  CycleFunction cycleFunction() const override;
  void* cycleContext() override { return host_.get(); }

  PluginHost& host() { return *host_; }

private:
  void enumerate();

  std::unique_ptr<PluginHost> host_;
  std::vector<ProvidedObject> objects_;
  std::vector<ProvidedDevice> devices_;
};

} // namespace platform::audio
