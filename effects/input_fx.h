// One effect bank: one instance of every effect of the vocabulary with its switch, parameters,
// reduction reading, crossfade level and signal state. Heap-allocated and owned by an effect chain
// (banks 0..3 of a hardware input) or by a hardware-output bus; created and destroyed on the main
// thread. The main thread writes only `enabled`, `params` (through set()) and the request words;
// everything else belongs to the owner's audio thread.
#pragma once

#include "effects/echo_canceller.h"
#include "effects/fx_table.h"
#include "effects/pitch_shifter.h"
#include "platform/dsp/dsp.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace velto {

struct StereoRing;

// Looper requests posted by the control side, and the states the looper publishes.
enum class LooperAction : uint32_t {
  none = 0,
  main = 1,
  record = 2,
  play = 3,
  overdub = 4,
  stop = 5,
  clear = 6,
  undo = 7,
};
enum class LooperState : uint32_t {
  empty = 0,
  recording = 1,
  playing = 2,
  overdubbing = 3,
  stopped = 4,
};

class InputFx {
public:
  static constexpr uint32_t kBlock = 64;          // frames per block
  static constexpr float kFadeStep = 0.13333334f; // 2/15 of the crossfade per block
  static constexpr float kGlide = 0.064493015f;   // 1 - e^(-1/15): filter glide per block
  static constexpr int kNotches = 6;
  static constexpr int kFarEnds = 4;
  static constexpr uint32_t kLoopFrames = 2880000; // 60 s

  InputFx(); // main thread
  ~InputFx();
  InputFx(const InputFx&) = delete;
  InputFx& operator=(const InputFx&) = delete;

  // ---- control side (main thread) ----
  // Switches and parameters back to the fresh bank's; signal state is left alone.
  void reset();
  // Clamps and rounds v by the parameter's kind and stores it. Returns false, changing nothing,
  // for an id or index outside the table or a value that is not finite.
  bool set(FxId id, int i, float v);
  // The smallest gain the effect applied since the last call, in dB (0 = no reduction).
  float takeReductionDb(FxId id);
  // The feedback notch slots as (Hz, depth dB); a free slot is (0, 0).
  std::array<std::pair<float, float>, kNotches> notches() const;
  bool anyEffect() const;         // an effect that is not a tool is switched on
  uint32_t latencyFrames() const; // frames this bank delays the signal
  // EQ magnitude response in dB at `hz` from the current parameters (not the glide).
  double eqResponseDb(double hz) const;
  // Allocates the looper's buffers once, on the calling thread; never on the audio thread.
  void ensureLooper();
  // The same without holding up the main thread: the buffers are made (every page written)
  // on the background queue and handed over on a later turn of the main queue. Nothing when
  // they exist or are on their way. main thread
  void prepareLooper();

  // ---- audio thread ----
  void process(float* interleaved, uint32_t frames);    // effects lowcut..limiter, in place
  void processPre(float* interleaved, uint32_t frames); // echo-canceller stage ahead of the chain
  void processSub(float* left, float* right, uint32_t frames);      // one block of at most 64
  void beginSub();                                                  // once per block, before runOne
  void runOne(FxId id, float* left, float* right, uint32_t frames); // one effect, one block
  void noteReduction(FxId id, float gain);
  void updateFilters(bool snap);
  // Resets both cancellers and their blocks and drops every waiting far-end frame.
  void clearAec();
  // Feedback suppression: one spectral analysis of the last 2048 samples, and the release of
  // every notch and of the duck at once (a reset request).
  void analyzeFeedback();
  void clearFeedback();

  // The effects, one block each, in place. Dispatched by runOne.
  void lowCut(float* left, float* right, uint32_t frames);
  void gate(float* left, float* right, uint32_t frames);
  void eq(float* left, float* right, uint32_t frames);
  void compressor(float* left, float* right, uint32_t frames);
  void deEsser(float* left, float* right, uint32_t frames);
  void feedback(float* left, float* right, uint32_t frames);
  void pitch(float* left, float* right, uint32_t frames);
  void octaver(float* left, float* right, uint32_t frames);
  void harmonizer(float* left, float* right, uint32_t frames);
  void chorus(float* left, float* right, uint32_t frames);
  void echo(float* left, float* right, uint32_t frames);
  void reverb(float* left, float* right, uint32_t frames);
  void looper(float* left, float* right, uint32_t frames);
  void limiter(float* left, float* right, uint32_t frames);

  // ---- shared with the control side ----
  std::atomic<bool> enabled[kFxCount];
  std::atomic<float> params[kFxCount][kFxMaxParams];
  std::atomic<float> reduction[kFxCount];

  // ---- audio thread: block framework ----
  float wetLevel[kFxCount] = {};
  float smoothed[kFxCount][kFxMaxParams] = {};
  float applied[kFxCount][kFxMaxParams] = {};
  bool filtersReady = false;
  bool blockOn[kFxCount] = {}; // switches as read once at the start of the block

  // Filters of low cut (2 sections), EQ (4) and the de-esser's detection band (2), two channels
  // each; coefficients section by section, channel by channel: b0 b1 b2 a1 a2.
  std::unique_ptr<platform::dsp::BiquadCascade> lowCutFilter;
  std::unique_ptr<platform::dsp::BiquadCascade> eqFilter;
  std::unique_ptr<platform::dsp::BiquadCascade> deEsserFilter;
  double lowCutCoefs[2 * 2 * 5] = {};
  double eqCoefs[4 * 2 * 5] = {};
  double deEsserCoefs[2 * 2 * 5] = {};

  float blockL[kBlock] = {}, blockR[kBlock] = {};
  float dryL[kBlock] = {}, dryR[kBlock] = {};
  float filterL[kBlock] = {}, filterR[kBlock] = {};

  // ---- dynamics ----
  float gateGainDb = 0.0f;
  bool gateOpen = false;
  uint32_t gateHold = 0;
  float compressorGainDb = 0.0f;
  float deEsserGainDb = 0.0f;
  float limiterGain = 1.0f;
  bool limiterLookahead = false;
  float limiterTargets[49] = {};
  float limiterSmooth[48] = {};
  double limiterSum = 48.0;
  float limiterDelay[48][2] = {};
  uint32_t limiterCounter = 0;
  float detector[kBlock] = {}; // shared scratch: detector and per-sample gain curve
  float gainCurve[kBlock] = {};

  // ---- echo canceller (bank 0 of a hardware input) ----
  StereoRing* farEnd[kFarEnds] = {}; // not owned; filled by the engine before audio starts
  std::unique_ptr<EchoCanceller> aecLeft, aecRight;
  std::vector<float> aecWork; // 16384 floats: far-end chunk and its mono sum
  float aecNearL[128] = {}, aecNearR[128] = {}, aecFar[128] = {};
  float aecOutL[128] = {}, aecOutR[128] = {};
  uint32_t aecFill = 0;
  float aecFade = 0.0f;
  uint32_t aecResetSeen = 0;
  std::atomic<float> aecSuppressionDb{0.0f};
  std::atomic<uint32_t> aecReset{0};

  // ---- looper ----
  std::unique_ptr<float[]> looperBaseOwned;  // stereo frames
  std::unique_ptr<float[]> looperLayerOwned; // stereo frames
  std::unique_ptr<uint16_t[]> looperTagsOwned;
  // What the audio thread reads; the base loop is published last.
  std::atomic<float*> looperBase{nullptr};
  std::atomic<float*> looperLayerBuffer{nullptr};
  std::atomic<uint16_t*> looperTags{nullptr};
  std::atomic<uint32_t> looperCommand{0}; // a LooperAction
  std::atomic<uint32_t> looperState{0};   // a LooperState
  std::atomic<int32_t> looperLayer{0};
  std::atomic<uint32_t> looperLength{0};
  std::atomic<uint32_t> looperPosition{0};
  uint32_t loopState = 0;
  uint32_t loopPosition = 0;
  uint32_t loopLength = 0;
  uint16_t loopTag = 0;
  bool loopAudible = false;
  uint16_t loopPrevTag = 0;
  bool loopPrevAudible = false;
  float loopRamp = 0.0f;

  // ---- pitch, octaver, harmonizer ----
  PitchShifter shifters[3];    // one per effect: pitch, octaver, harmonizer
  std::vector<float> pitchDry; // 2400 stereo frames
  uint32_t pitchDryIndex = 0;
  float octaverLow[2] = {};
  float harmonizerRatio[3] = {1.0f, 1.0f, 1.0f};
  float monoIn[kBlock] = {};
  float voiceOut[3][kBlock] = {};

  // ---- chorus, echo, reverb ----
  std::vector<float> chorusRing[2]; // 4096 each
  uint32_t chorusWrite = 0;
  double chorusPhase = 0.0;
  std::vector<float> echoLine[2]; // 96064 each
  uint32_t echoWrite = 0;
  float echoDelay = 0.0f;
  float echoLow[2] = {};
  std::vector<float> reverbPre; // 9664
  uint32_t reverbPreIndex = 0;
  float reverbAllpass[4][512] = {};
  uint32_t reverbAllpassIndex[4] = {};
  std::vector<float> reverbLines[8]; // 4800 each
  uint32_t reverbWrite = 0;
  float reverbDamp[8] = {};
  float reverbSize = -1.0f; // negative: not yet set

  // ---- feedback suppression ----
  struct Notch {
    float hz = 0.0f;
    float targetDb = 0.0f;
    float currentDb = 0.0f;
    uint32_t age = 0;
  };
  std::unique_ptr<platform::dsp::BiquadCascade> notchFilter; // 6 sections x 2 channels
  std::unique_ptr<platform::dsp::FftSetup> fft;              // 2048 points
  Notch notchSlots[kNotches];
  float notchApplied[kNotches] = {};
  float feedbackRing[2048] = {};
  uint32_t feedbackRingIndex = 0;
  double feedbackEnergy = 0.0;
  uint32_t feedbackCountdown = 512;
  int32_t feedbackCandidate = -1;
  uint32_t feedbackCandidateCount = 0;
  float feedbackHistory[16] = {};
  float duckTargetDb = 0.0f;
  float duckCurrentDb = 0.0f;
  // Analyses since the last detection; a bank that has detected nothing yet counts as quiet for
  // longer than the 3 s that make a detection follow its predecessor closely.
  static constexpr uint32_t kQuietNoDetection = 282;
  uint32_t feedbackQuiet = kQuietNoDetection;
  float duckFloorDb = 0.0f;
  uint32_t duckFloorAge = 0;
  float hannWindow[2048] = {};
  float fftReal[1024] = {}, fftImag[1024] = {}, fftPower[1024] = {};
  uint32_t feedbackResetSeen = 0;
  std::atomic<float> notchHz[kNotches];
  std::atomic<float> notchDepthDb[kNotches];
  std::atomic<float> feedbackDuckDb{0.0f};
  std::atomic<float> feedbackLastHz{0.0f};
  std::atomic<uint32_t> feedbackEvents{0};
  std::atomic<uint32_t> feedbackReset{0};

private:
  struct LooperMemory;
  static std::shared_ptr<LooperMemory> makeLooperMemory();
  void adoptLooper(LooperMemory& memory);
  bool looperComing_ = false; // main thread: a prepareLooper's buffers are on their way
  // Expires with the bank; the hand-over checks it before touching us.
  std::shared_ptr<const bool> lifetime_ = std::make_shared<const bool>(true);

  void restoreDefaults();
  // State resets of an effect that is switched on from fully faded out. Audio thread.
  void resetEffectState(FxId id);
  void resetFeedbackState();
};

} // namespace velto
