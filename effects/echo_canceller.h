// One channel of the acoustic echo canceller: a partitioned frequency-domain adaptive filter of
// 64 x 128 taps on 256-point frames with a hop of 128, followed by a per-bin residual suppressor.
// Owned (two per bank, left and right) by an effect bank through unique pointers; constructed and
// destroyed on the main thread, everything else runs on the owning input's audio thread.
#pragma once

#include "platform/dsp/dsp.h"

#include <cstdint>
#include <memory>

namespace velto {

class EchoCanceller {
public:
  static constexpr int kBlock = 128;
  static constexpr int kFrame = 256;
  static constexpr int kBins = 129;
  static constexpr int kPartitions = 64;

  EchoCanceller(); // main thread: FFT set-up, window, unity gains
  ~EchoCanceller();
  EchoCanceller(const EchoCanceller&) = delete;
  EchoCanceller& operator=(const EchoCanceller&) = delete;

  // audio thread: forgets the far-end history, the filter and every estimate.
  void reset();
  // The plain real DFT of 256 samples (bins 0..128; bins 0 and 128 have no imaginary part) and
  // its exact inverse. Audio-safe.
  void fwd(const float* time, float* re, float* im);
  void inv(const float* re, const float* im, float* time);
  // audio thread: cancels and suppresses one block of 128 near-end samples in place against the
  // matching far-end block; strength 0..1 sets over-subtraction and the suppression floor.
  void process(float* nearBlock, const float* farBlock, float strength);

  std::unique_ptr<platform::dsp::FftSetup> fftSetup;
  float window[kFrame];

  float historyRe[kPartitions][kBins];
  float historyIm[kPartitions][kBins];
  float historyPower[kPartitions][kBins]; // |X|^2 of each stored frame
  int newest = 0;
  float filterRe[kPartitions][kBins];
  float filterIm[kPartitions][kBins];
  float previousFar[kBlock];
  int constraintIndex = 0;
  float previousError[kBlock];
  float previousEstimate[kBlock];
  float gains[kBins];
  float overlapTail[kBlock];
  float echoReturnDb = 0.0f; // the echo return estimate in dB: -10 log10(leak)
  float nearPower = 0.0f;
  float errorPower = 0.0f;
  int32_t quietCount = 0;
  float suppressionDb = 0.0f;
  uint32_t divergences = 0; // times the filter was cleared after diverging

  // Divergence guard: the filter is judged over spans of far-end activity, long enough that a
  // decaying tail in a pause cannot decide. A span that removes echo keeps the filter as the last
  // good one; a span where the filter adds more than it removes reverts to that copy and halves
  // the step; only a second such span in a row clears the filter (the echo path has changed).
  static constexpr int kSpanBlocks = 94; // 250 ms of far-end activity
  float goodRe[kPartitions][kBins];
  float goodIm[kPartitions][kBins];
  bool haveGood = false;
  float spanNear = 0.0f;
  float spanError = 0.0f;
  int spanBlocks = 0;
  int badSpans = 0;
  float stepScale = 1.0f;
  uint32_t reverts = 0; // times the filter went back to the last good copy

  // Step control: the share of the estimate's power the filter still misses ("leak"), from the
  // median of the blocks' error over estimate outside near talk. leak x |Y|^2 is the residual
  // echo per bin; each bin adapts by its residual over its error, so a bin a near talker fills
  // (or that holds only noise) hardly moves while one that still holds echo learns at full speed.
  float leak = 1.0f;
  float usualRatioDb = 10.0f; // median of the blocks' error over estimate, in dB
  int32_t talkHold = 0;       // blocks adaptation still holds after a near talker was heard
  bool adapted = false;       // past the first learning at full speed
  float adaptedSum = 0.0f;
  // Per partition share of the step, after the energy each partition's weights hold: an echo
  // path that starts late or dies early puts the learning where its taps are.
  float partitionShare[kPartitions];
  // How much each weight (per partition and bin) has still to learn, against the bin's other
  // partitions: it falls with every step by the share of the bin's far-end power its partition
  // held, and regains a little of the weight's own power per block. A bin's step goes to its
  // partitions by share x uncertainty: partitions the far end has taught much step less, those
  // it has seldom reached more.
  float uncertainty[kPartitions][kBins];
  // Echo the filter has not learned yet: the error's smoothed cross-spectrum with the far end at
  // the lags where the echo path holds its energy (a quarter of them in turn per block), against
  // the error's and the far end's smoothed power. A near talker does not correlate with the far
  // end and leaves it near zero.
  float crossRe[kPartitions][kBins];
  float crossIm[kPartitions][kBins];
  float lagWeight[kPartitions]; // 1 at the lags that count, 0 elsewhere
  float errorSmooth[kBins];
  float farSmooth[kBins];
  float unlearned[kBins];   // per bin: the error's share explained beyond chance, 0..1
  float groupSum[4][kBins]; // weighted |cross|^2 of each quarter of the lags
  int lagGroup = 0;         // the quarter renewed next
  float explained = 0.0f;   // the whole error's share explained, 0..1
  // Per bin, the share of the estimate the filter still misses there: a median tracker like
  // `leak`'s but slower, moved only by blocks that hold echo alone. It starts at the whole
  // estimate, so a bin the filter has not learned yet is suppressed harder until it catches up.
  float binLeak[kBins];

private:
  void clearFilter();
  void relearn();
  void judgeSpan(float nearEnergy, float errorEnergy);
  void addFarFrame(const float* farBlock);
  void spectra(const float* error, const float* estimate);
  bool adaptStep(float errorEnergy, float estimateEnergy, float farEnergy, float* step);
  void blockSpectra(const float* error, const float* estimate);
  void adapt(const float* step);
  void trackUnlearned();
  void suppress(float strength, float* outBlock);

  // FFT scratch: packed split form, two frames and their spectra.
  float splitRe_[kFrame / 2], splitIm_[kFrame / 2];
  float frame_[kFrame];
  float specRe_[kBins], specIm_[kBins];
  float spec2Re_[kBins], spec2Im_[kBins];
  float gradRe_[kBins], gradIm_[kBins];
  float yGradRe_[kBins], yGradIm_[kBins];
};

} // namespace velto
