#include "platform/audio/layer/device_io.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace platform::audio {
namespace {

constexpr uint32_t kSampleRate = 48000;
constexpr uint32_t kTimeStampValid = kAspTimeStampSampleTimeValid | kAspTimeStampHostTimeValid;

template <typename Done>
void waitUntil(Done done) {
  for (int spin = 0; !done(); ++spin) {
    if (spin < 64) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  }
}

std::vector<uint32_t> capped(const std::vector<uint32_t>& channels) {
  return std::vector<uint32_t>(
      channels.begin(),
      channels.begin() + std::min<ptrdiff_t>(ptrdiff_t(channels.size()), BufferList::kCapacity));
}

std::vector<std::vector<float>> makeStorage(const std::vector<uint32_t>& channels) {
  std::vector<std::vector<float>> storage;
  for (uint32_t count : channels) storage.emplace_back(size_t(kMaxBufferFrames) * count, 0.0f);
  return storage;
}

TimeStamp stamp(double sampleTime, uint64_t hostTime) {
  return TimeStamp{sampleTime, hostTime, 1.0, kTimeStampValid, 0};
}

} // namespace

uint64_t framesToNanoseconds(uint64_t frames) {
  return frames / kSampleRate * 1000000000ull + frames % kSampleRate * 1000000000ull / kSampleRate;
}

DeviceIo::DeviceIo(ObjectId device, AspObjectId local, const std::vector<uint32_t>& inputBuffers,
                   const std::vector<uint32_t>& outputBuffers, CycleFunction cycle,
                   void* cycleContext)
    : device_(device), local_(local), cycle_(cycle), cycleContext_(cycleContext),
      inputChannels_(capped(inputBuffers)), outputChannels_(capped(outputBuffers)),
      input_(makeStorage(inputChannels_)), mix_(makeStorage(outputChannels_)),
      scratch_(makeStorage(outputChannels_)) {
  inputList_.count = uint32_t(inputChannels_.size());
  outputList_.count = uint32_t(outputChannels_.size());
}

float* DeviceIo::inputData(uint32_t buffer) {
  return buffer < input_.size() ? input_[buffer].data() : nullptr;
}

float* DeviceIo::outputData(uint32_t buffer) {
  return buffer < mix_.size() ? mix_[buffer].data() : nullptr;
}

void DeviceIo::runCycle(uint32_t frames, uint64_t now) {
  cycle_(cycleContext_, *this, frames, now);
}

void DeviceIo::prepareList(BufferList& list, const std::vector<uint32_t>& channels,
                           std::vector<std::vector<float>>& storage, uint32_t frames) {
  list.count = uint32_t(channels.size());
  for (uint32_t b = 0; b < list.count; ++b) {
    list.buffers[b] =
        Buffer{channels[b], frames * channels[b] * uint32_t(sizeof(float)), storage[b].data()};
  }
}

void DeviceIo::deliver(uint32_t frames, const CycleTimes& times) {
  frames = std::min(frames, kMaxBufferFrames);
  const uint64_t span = framesToNanoseconds(frames);
  const double input = times.inputSampleTime + skipped_;
  const TimeStamp now = stamp(input + frames, times.hostTime);
  const TimeStamp inputTime = stamp(input, times.hostTime > span ? times.hostTime - span : 0);
  const TimeStamp outputTime = stamp(times.outputSampleTime + skipped_, times.hostTime + span);

  for (uint32_t b = 0; b < outputChannels_.size(); ++b) {
    std::fill_n(mix_[b].data(), size_t(frames) * outputChannels_[b], 0.0f);
  }
  prepareList(inputList_, inputChannels_, input_, frames);

  for (IoSlot& slot : slots) {
    if (!slot.started.load(std::memory_order_acquire)) continue;
    slot.inFlight.fetch_add(1, std::memory_order_seq_cst);
    if (slot.started.load(std::memory_order_seq_cst)) {
      IoProc proc = slot.proc.load(std::memory_order_relaxed);
      void* clientData = slot.clientData.load(std::memory_order_relaxed);
      // The list is handed out writable: rebuild it for every callback.
      prepareList(outputList_, outputChannels_, scratch_, frames);
      for (uint32_t b = 0; b < outputChannels_.size(); ++b) {
        std::fill_n(scratch_[b].data(), size_t(frames) * outputChannels_[b], 0.0f);
      }
      proc(device_, &now, &inputList_, &inputTime, &outputList_, &outputTime, clientData);
      for (uint32_t b = 0; b < outputChannels_.size(); ++b) {
        const size_t samples = size_t(frames) * outputChannels_[b];
        const float* from = scratch_[b].data();
        float* to = mix_[b].data();
        for (size_t s = 0; s < samples; ++s) to[s] += from[s];
      }
    }
    slot.inFlight.fetch_sub(1, std::memory_order_release);
  }
}

void DeviceIo::stopSlot(IoSlot& slot) {
  slot.started.store(false, std::memory_order_seq_cst);
  waitUntil([&] { return slot.inFlight.load(std::memory_order_seq_cst) == 0; });
}

void DeviceIo::waitCyclesIdle() {
  waitUntil([&] { return cyclesInFlight.load(std::memory_order_acquire) == 0; });
}

} // namespace platform::audio
