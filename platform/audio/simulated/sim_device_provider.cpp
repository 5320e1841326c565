#include "platform/audio/simulated/sim_device_provider.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#include "platform/audio/layer/layer_properties.h"

namespace platform::audio {
namespace {

constexpr uint32_t kStereo = 2;

uint32_t sum(const std::vector<uint32_t>& layout) {
  return std::accumulate(layout.begin(), layout.end(), 0u);
}

// Spreads interleaved frames of all the run's channels over its buffers. audio thread
void scatter(const float* from, uint32_t channels, uint32_t frames, DeviceIo& io,
             uint32_t firstBuffer, const std::vector<uint32_t>& layout) {
  uint32_t base = 0;
  for (size_t b = 0; b < layout.size(); ++b) {
    float* to = io.inputData(firstBuffer + uint32_t(b));
    const uint32_t width = layout[b];
    for (uint32_t f = 0; f < frames; ++f) {
      for (uint32_t c = 0; c < width; ++c) to[f * width + c] = from[f * channels + base + c];
    }
    base += width;
  }
}

AspValueRange range(double rate) {
  return AspValueRange{rate, rate};
}

} // namespace

CaptureRing::CaptureRing(uint32_t frames, uint32_t channels)
    : data_(size_t(frames) * channels, 0.0f), channels_(channels), capacity_(frames) {}

void CaptureRing::write(const float* interleaved, uint32_t frames) {
  const uint64_t written = written_.load(std::memory_order_relaxed);
  const uint64_t read = read_.load(std::memory_order_acquire);
  const uint64_t room = capacity_ - (written - read);
  const uint64_t count = std::min<uint64_t>(frames, room);
  if (count < frames) dropped_.fetch_add(frames - count, std::memory_order_relaxed);
  for (uint64_t f = 0; f < count; ++f) {
    const uint64_t at = (written + f) % capacity_;
    std::memcpy(&data_[at * channels_], interleaved + f * channels_, channels_ * sizeof(float));
  }
  written_.store(written + count, std::memory_order_release);
}

void CaptureRing::take(std::vector<float>& out, uint64_t* dropped) {
  const uint64_t written = written_.load(std::memory_order_acquire);
  const uint64_t read = read_.load(std::memory_order_relaxed);
  out.resize(size_t(written - read) * channels_);
  for (uint64_t f = read; f < written; ++f) {
    const uint64_t at = f % capacity_;
    std::memcpy(&out[(f - read) * channels_], &data_[at * channels_], channels_ * sizeof(float));
  }
  read_.store(written, std::memory_order_release);
  *dropped = dropped_.exchange(0, std::memory_order_relaxed);
}

SimDeviceProvider::SimDeviceProvider(const SimDeviceConfig& config, std::vector<SimInputPart> parts,
                                     bool aggregate, bool hidden)
    : config_(config), aggregate_(aggregate), hidden_(hidden), parts_(std::move(parts)) {
  if (std::find(config_.availableRates.begin(), config_.availableRates.end(),
                config_.nominalRate) == config_.availableRates.end()) {
    config_.availableRates.push_back(config_.nominalRate);
  }
  std::sort(config_.availableRates.begin(), config_.availableRates.end());
  AspObjectId next = kDevice + 1;
  for (bool input : {true, false}) {
    uint32_t first = 1;
    for (uint32_t channels : input ? config_.inputBuffers : config_.outputBuffers) {
      streams_.push_back(Stream{next++, input, channels, first});
      first += channels;
    }
  }
  if (!aggregate_) {
    inputCell_ = std::make_shared<SourceCell>(config_.input);
    if (!config_.inputBuffers.empty()) {
      parts_.push_back(SimInputPart{config_.inputBuffers, inputCell_, nullptr, {SourceCursor{}}});
    }
  }
  uint32_t widest = std::max(sum(config_.inputBuffers), sum(config_.outputBuffers));
  for (const SimInputPart& part : parts_) widest = std::max(widest, sum(part.layout));
  scratch_.assign(size_t(kMaxBufferFrames) * std::max(widest, kStereo), 0.0f);
  mixdown_.assign(size_t(kMaxBufferFrames) * kStereo, 0.0f);
  if (!config_.outputBuffers.empty() && config_.captureFrames > 0) {
    capture_ = std::make_unique<CaptureRing>(config_.captureFrames, sum(config_.outputBuffers));
  }
}

std::vector<ProvidedObject> SimDeviceProvider::objects() const {
  std::vector<ProvidedObject> objects{{kDevice, ObjectKind::Device}};
  for (const Stream& s : streams_) objects.push_back({s.local, ObjectKind::Other});
  return objects;
}

std::vector<ProvidedDevice> SimDeviceProvider::devices() const {
  return {
      ProvidedDevice{kDevice, config_.uid, hidden_, config_.inputBuffers, config_.outputBuffers}};
}

bool SimDeviceProvider::hasScope(uint32_t scope) const {
  if (scope == kAspScopeInput) return !config_.inputBuffers.empty();
  if (scope == kAspScopeOutput) return !config_.outputBuffers.empty();
  return false;
}

std::vector<ObjectId> SimDeviceProvider::streams(uint32_t scope) const {
  std::vector<ObjectId> ids;
  for (const Stream& s : streams_) {
    if (scope == kAspScopeGlobal || (s.input ? kAspScopeInput : kAspScopeOutput) == scope) {
      ids.push_back(s.local);
    }
  }
  return ids;
}

const SimDeviceProvider::Stream* SimDeviceProvider::stream(AspObjectId local) const {
  for (const Stream& s : streams_) {
    if (s.local == local) return &s;
  }
  return nullptr;
}

bool SimDeviceProvider::hasProperty(AspObjectId local, const AspPropertyAddress& address) const {
  if (local == kDevice) {
    switch (address.selector) {
    case kAspPropBaseClass:
    case kAspPropClass:
    case kPropDeviceUid:
    case kPropName:
    case kPropNominalSampleRate:
    case kPropAvailableSampleRates:
    case kPropTransportType:
    case kPropIsHidden:
    case kPropCanBeDefault:
    case kAspPropCanBeDefaultSystemDevice:
    case kAspPropIsAlive:
    case kAspPropOwnedObjects:
    case kPropStreams:
      return true;
    case kPropLatency:
    case kPropSafetyOffset:
      return hasScope(address.scope);
    case kPropVolumeScalar:
    case kPropMute:
      return !aggregate_ && hasScope(address.scope);
    default:
      return false;
    }
  }
  if (stream(local) == nullptr) return false;
  switch (address.selector) {
  case kAspPropBaseClass:
  case kAspPropClass:
  case kAspPropDirection:
  case kAspPropStartingChannel:
  case kAspPropOwner:
  case kAspPropPhysicalFormat:
  case kAspPropVirtualFormat:
    return true;
  default:
    return false;
  }
}

AspStatus SimDeviceProvider::isPropertySettable(AspObjectId local,
                                                const AspPropertyAddress& address,
                                                bool* outSettable) const {
  if (!hasProperty(local, address)) return kAspUnknownProperty;
  *outSettable =
      local == kDevice && (address.selector == kPropNominalSampleRate ||
                           address.selector == kPropVolumeScalar || address.selector == kPropMute);
  return kAspNoError;
}

AspStatus SimDeviceProvider::getPropertyDataSize(AspObjectId local,
                                                 const AspPropertyAddress& address,
                                                 uint32_t qualifierSize, const void* qualifier,
                                                 uint32_t* outSize) const {
  return sizeByReading(address.selector, outSize, [&](uint32_t size, uint32_t* written, void* out) {
    return getPropertyData(local, address, qualifierSize, qualifier, size, written, out);
  });
}

AspStatus SimDeviceProvider::getPropertyData(AspObjectId local, const AspPropertyAddress& address,
                                             uint32_t, const void*, uint32_t size,
                                             uint32_t* outSize, void* outData) const {
  if (!hasProperty(local, address)) return kAspUnknownProperty;
  uint32_t room = size;
  AspStatus status = kAspUnknownProperty;
  const bool input = address.scope == kAspScopeInput;
  if (local == kDevice) {
    switch (address.selector) {
    case kAspPropBaseClass:
      status = writeValue(kAspClassObject, &room, outData);
      break;
    case kAspPropClass:
      status = writeValue(aggregate_ ? kClassAggregateDevice : kAspClassDevice, &room, outData);
      break;
    case kPropDeviceUid:
      status = writeText(config_.uid, &room, outData);
      break;
    case kPropName:
      status = writeText(config_.name, &room, outData);
      break;
    case kPropNominalSampleRate:
      status = writeValue(config_.nominalRate, &room, outData);
      break;
    case kPropAvailableSampleRates: {
      const size_t fit =
          std::min<size_t>(config_.availableRates.size(), room / sizeof(AspValueRange));
      for (size_t r = 0; r < fit; ++r) {
        const AspValueRange value = range(config_.availableRates[r]);
        std::memcpy(static_cast<unsigned char*>(outData) + r * sizeof value, &value, sizeof value);
      }
      room = uint32_t(fit * sizeof(AspValueRange));
      status = kAspNoError;
      break;
    }
    case kPropTransportType:
      status = writeValue(config_.transport, &room, outData);
      break;
    case kPropIsHidden:
      status = writeValue(uint32_t(hidden_ ? 1 : 0), &room, outData);
      break;
    case kPropCanBeDefault:
    case kAspPropCanBeDefaultSystemDevice:
      status = writeValue(uint32_t(config_.canBeDefault && !hidden_ && !aggregate_ ? 1 : 0), &room,
                          outData);
      break;
    case kAspPropIsAlive:
      status = writeValue(uint32_t(1), &room, outData);
      break;
    case kAspPropOwnedObjects:
    case kPropStreams:
      status = writeIds(streams(address.scope), &room, outData);
      break;
    case kPropLatency:
      status = writeValue(input ? config_.inputLatency : config_.outputLatency, &room, outData);
      break;
    case kPropSafetyOffset:
      status = writeValue(input ? config_.inputSafetyOffset : config_.outputSafetyOffset, &room,
                          outData);
      break;
    case kPropVolumeScalar:
      status = writeValue(input ? inputVolume_ : outputVolume_, &room, outData);
      break;
    case kPropMute:
      status = writeValue(input ? inputMute_ : outputMute_, &room, outData);
      break;
    default:
      break;
    }
  } else {
    const Stream& s = *stream(local);
    switch (address.selector) {
    case kAspPropBaseClass:
      status = writeValue(kAspClassObject, &room, outData);
      break;
    case kAspPropClass:
      status = writeValue(kAspClassStream, &room, outData);
      break;
    case kAspPropDirection:
      status = writeValue(uint32_t(s.input ? 1 : 0), &room, outData);
      break;
    case kAspPropStartingChannel:
      status = writeValue(s.firstChannel, &room, outData);
      break;
    case kAspPropOwner:
      status = writeValue(kDevice, &room, outData);
      break;
    default: { // the one format the stream has
      AspStreamFormat format{};
      format.sampleRate = config_.nominalRate;
      format.formatId = kAspFormatLinearPcm;
      format.formatFlags = kAspFormatFlagIsFloat | kAspFormatFlagIsPacked;
      format.bytesPerPacket = format.bytesPerFrame = s.channels * uint32_t(sizeof(float));
      format.framesPerPacket = 1;
      format.channelsPerFrame = s.channels;
      format.bitsPerChannel = 32;
      status = writeValue(format, &room, outData);
      break;
    }
    }
  }
  if (status == kAspNoError) *outSize = room;
  return status;
}

void SimDeviceProvider::tell(AspObjectId local, uint32_t selector, uint32_t scope) {
  if (sink_) sink_(local, {AspPropertyAddress{selector, scope, kAspElementMain}});
}

AspStatus SimDeviceProvider::setPropertyData(AspObjectId local, const AspPropertyAddress& address,
                                             uint32_t, const void*, uint32_t size,
                                             const void* data) {
  bool settable = false;
  const AspStatus status = isPropertySettable(local, address, &settable);
  if (status != kAspNoError) return status;
  if (!settable) return kStatusIllegalOperation;
  const bool input = address.scope == kAspScopeInput;
  switch (address.selector) {
  case kPropNominalSampleRate: {
    double rate = 0.0;
    if (!readValue(size, data, &rate)) return kAspBadPropertySize;
    const auto& rates = config_.availableRates;
    if (std::find(rates.begin(), rates.end(), rate) == rates.end()) return kAspUnsupportedFormat;
    if (rate != config_.nominalRate) {
      config_.nominalRate = rate;
      tell(kDevice, kPropNominalSampleRate, kAspScopeGlobal);
    }
    return kAspNoError;
  }
  case kPropVolumeScalar: {
    float volume = 0.0f;
    if (!readValue(size, data, &volume)) return kAspBadPropertySize;
    if (!std::isfinite(volume)) return kAspUnsupportedFormat;
    volume = std::clamp(volume, 0.0f, 1.0f);
    float& stored = input ? inputVolume_ : outputVolume_;
    if (volume != stored) {
      stored = volume;
      tell(kDevice, kPropVolumeScalar, address.scope);
    }
    return kAspNoError;
  }
  default: { // mute
    uint32_t mute = 0;
    if (!readValue(size, data, &mute)) return kAspBadPropertySize;
    mute = mute != 0 ? 1 : 0;
    uint32_t& stored = input ? inputMute_ : outputMute_;
    if (mute != stored) {
      stored = mute;
      tell(kDevice, kPropMute, address.scope);
    }
    return kAspNoError;
  }
  }
}

AspStatus SimDeviceProvider::startDevice(AspObjectId) {
  sampleTime_ = 0.0; // no cycle runs while the device is stopped
  return kAspNoError;
}

CapturedAudio SimDeviceProvider::takeOutput() {
  CapturedAudio captured;
  captured.layout = config_.outputBuffers;
  captured.channels = sum(config_.outputBuffers);
  if (capture_) capture_->take(captured.samples, &captured.dropped);
  return captured;
}

void SimDeviceProvider::fillInputs(DeviceIo& io, uint32_t frames) {
  uint32_t firstBuffer = 0;
  for (SimInputPart& part : parts_) {
    const uint32_t channels = sum(part.layout);
    float* out = scratch_.data();
    std::fill_n(out, size_t(frames) * channels, 0.0f);
    if (part.cell) {
      SourceCursor& cursor = part.cursors.front();
      cursor.follow(*part.cell)->render(cursor.position, out, frames, channels);
      cursor.position += frames;
    } else if (part.tap) {
      const SimTap& tap = *part.tap;
      const bool live = !tap.destroyed.load(std::memory_order_acquire);
      float* mix = mixdown_.data();
      std::fill_n(mix, size_t(frames) * kStereo, 0.0f);
      if (tap.feed && live) tap.feed->read(mix, frames);
      for (size_t p = 0; p < tap.processes.size() && !tap.feed; ++p) {
        SourceCursor& cursor = part.cursors[p];
        const SimProcess& process = *tap.processes[p];
        const SignalSource* source = cursor.follow(process.audio);
        if (live && process.playing.load(std::memory_order_acquire)) {
          source->renderAdd(cursor.position, mix, frames, kStereo);
        }
        cursor.position += frames;
      }
      // A tap part is two channels in its buffers.
      for (uint32_t f = 0; f < frames; ++f) {
        for (uint32_t c = 0; c < std::min(channels, kStereo); ++c) {
          out[f * channels + c] = mix[f * kStereo + c];
        }
      }
    }
    scatter(out, channels, frames, io, firstBuffer, part.layout);
    firstBuffer += uint32_t(part.layout.size());
  }
}

void SimDeviceProvider::capture(DeviceIo& io, uint32_t frames) {
  const std::vector<uint32_t>& layout = io.outputLayout();
  const uint32_t channels = capture_->channels();
  float* out = scratch_.data();
  uint32_t base = 0;
  for (size_t b = 0; b < layout.size(); ++b) {
    const float* from = io.outputData(uint32_t(b));
    const uint32_t width = layout[b];
    for (uint32_t f = 0; f < frames; ++f) {
      for (uint32_t c = 0; c < width; ++c) out[f * channels + base + c] = from[f * width + c];
    }
    base += width;
  }
  capture_->write(out, frames);
}

void SimDeviceProvider::cycle(void* context, DeviceIo& io, uint32_t frames, uint64_t now) {
  auto& self = *static_cast<SimDeviceProvider*>(context);
  frames = std::min(frames, kMaxBufferFrames);
  if (io.hasInput()) self.fillInputs(io, frames);
  // The same time line as a plug-in device: input up to now, output one buffer ahead.
  const double current = self.sampleTime_ + frames;
  self.sampleTime_ = current;
  io.deliver(frames, CycleTimes{current - frames, current + frames, now});
  if (io.hasOutput() && self.capture_) self.capture(io, frames);
}

SimDeviceProvider* simProviderOf(DeviceEntry& device) {
  return dynamic_cast<SimDeviceProvider*>(device.provider->provider.get());
}

} // namespace platform::audio
