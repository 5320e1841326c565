#include "platform/audiofile/audiofile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <numeric>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace platform::audiofile {

// Demuxers of the accepted containers; the MPEG-4 one is named "mov" in its list of aliases.
constexpr const char* kFormatWhitelist = "wav,aiff,mp3,mov,aac,flac,caf";

// Decoded samples read before a seek target and thrown away: covers the overlap of transform
// codecs and the bit reservoir of MP3.
constexpr int64_t kDecoderPreroll = 8192;
// Source frames fed to a fresh resampler before a seek target, so that its filter history is
// filled as it would be in a read from the start.
constexpr int64_t kResamplerPreroll = 4096;
constexpr int kMaxChannels = 64; // the resampler's limit
// Far beyond any real file (about 46 years at 48 kHz); keeps the frame arithmetic exact.
constexpr int64_t kMaxSeekFrame = int64_t(1) << 46;
// Rates outside these are not sound a file can mean; converting them would build resampler
// filters (or outputs) so large that a hostile file could stall a load for many seconds.
constexpr int kMinRate = 1000;
constexpr int kMaxRate = 768000;

// What a demuxer may do while it opens a file, and again for each packet it delivers, before
// the file counts as ended there. A container that scans a long tail of zeros or garbage for
// its next chunk would otherwise read (and stat) its way through the whole file.
constexpr int64_t kProbeBytes = 4 << 20;
constexpr int64_t kPacketBytes = 1 << 20;
// A seek in a stream without an index scans forward from the last place it knows, packet by
// packet. It stops where it read kPacketBytes without finding one (a tail of zeros or garbage)
// or after this much in all; it then lands on the last packet it found, and the decode goes on
// from there to the target.
constexpr int64_t kSeekBytes = 256 << 20;
// Reads larger than the I/O buffer go straight into a demuxer's own memory (a cover picture,
// a metadata block): no scan, so they count against this larger share.
constexpr int64_t kBulkBytes = 64 << 20;
// Reads, seeks and size queries; a scan for chunks asks for the size at every header it meets.
constexpr int64_t kProbeCalls = 4096;
constexpr int kIoBufferBytes = 32768;
// What the stream analysis looks at; well inside kProbeBytes.
constexpr int64_t kAnalyzeBytes = 2 << 20;

// The file under the demuxer: our own descriptor, its size taken once, and the work still
// allowed before reads report the end (negative: no limit). Only reads are refused: seeks and
// size queries keep working, so that a demuxer can still go back to its data.
struct Source {
  int fd = -1;
  int64_t size = 0;
  int64_t bytesLeft = -1;
  int64_t bulkLeft = -1;
  int64_t callsLeft = -1;

  // While a seek scans: the stream whose index the scan extends, the index's end when last
  // looked at, and the bytes read since that end moved or the scan jumped.
  AVStream* scanned = nullptr;
  int scanEntries = -1;
  int64_t scanEnd = -1;
  int64_t scanBytes = 0;

  void limit(int64_t bytes, int64_t calls) {
    bytesLeft = bytes;
    bulkLeft = bytes < 0 ? -1 : kBulkBytes;
    callsLeft = calls;
  }
  void unlimit() { limit(-1, -1); }
  void charge() {
    if (callsLeft > 0) --callsLeft;
  }
  bool exhausted() const { return callsLeft == 0 || bytesLeft == 0 || bulkLeft == 0; }
  // How much of a read of `size` bytes may go ahead, and the share it is taken from.
  int64_t* shareFor(int size) { return size > kIoBufferBytes ? &bulkLeft : &bytesLeft; }

  void scan(AVStream* stream) {
    scanned = stream;
    scanEntries = -1;
    scanBytes = 0;
  }
  // False once a scan has read a packet's worth without finding the next packet.
  bool scanGoesOn() {
    if (!scanned) return true;
    const int entries = avformat_index_get_entries_count(scanned);
    const AVIndexEntry* last =
        entries > 0 ? avformat_index_get_entry(scanned, entries - 1) : nullptr;
    const int64_t end = last ? last->pos : -1;
    if (entries != scanEntries || end != scanEnd) {
      scanEntries = entries;
      scanEnd = end;
      scanBytes = 0;
    }
    return scanBytes < kPacketBytes;
  }
};

struct File {
  std::string path;
  Source source;
  AVIOContext* io = nullptr;
  AVFormatContext* format = nullptr;
  int stream = -1;
  uint32_t channels = 1;
  bool channelsStated = false;
  bool resamplerEverMade = false;
  int rate = 0;
  int64_t length = 0;

  AVCodecContext* codec = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  SwrContext* resampler = nullptr;
  int inFormat = -1;
  int inChannels = 0;
  int inRate = 0;
  bool converting = false;

  bool inputDone = false; // the demuxer is exhausted and the decoder was told so
  bool finished = false;  // decoder and resampler are drained

  bool originKnown = false; // timestamp of the file's first decoded sample
  int64_t originPts = 0;
  int64_t nextIndex = 0;          // source frame of the next decoded sample
  int64_t discardSourceUntil = 0; // decoded frames before this are dropped (seek pre-roll)
  int64_t discardOutput = 0;      // converted frames still to drop (seek pre-roll)

  std::vector<float> pending; // converted, not yet delivered
  size_t pendingRead = 0;     // in floats
};

namespace {

void silenceLogging() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// Every audio decoder's name, comma-separated.
const std::string& audioDecoderNames() {
  static const std::string names = [] {
    std::string list;
    void* at = nullptr;
    while (const AVCodec* codec = av_codec_iterate(&at)) {
      if (codec->type != AVMEDIA_TYPE_AUDIO || !av_codec_is_decoder(codec)) continue;
      if (!list.empty()) list += ',';
      list += codec->name;
    }
    return list;
  }();
  return names;
}

int readSource(void* opaque, uint8_t* buffer, int size) {
  Source* s = static_cast<Source*>(opaque);
  if (s->exhausted() || !s->scanGoesOn()) return AVERROR_EOF;
  s->charge();
  int64_t* share = s->shareFor(size);
  if (*share > 0) size = int(std::min<int64_t>(size, *share));
  for (;;) {
    const ssize_t got = ::read(s->fd, buffer, size_t(size));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return AVERROR(errno);
    if (got == 0) return AVERROR_EOF;
    if (*share > 0) *share -= got;
    s->scanBytes += got;
    return int(got);
  }
}

int64_t seekSource(void* opaque, int64_t offset, int whence) {
  Source* s = static_cast<Source*>(opaque);
  s->charge();
  // The size was taken at open: asking the kernel at every chunk header is what made long
  // scans so slow.
  if (whence & AVSEEK_SIZE) return s->size;
  s->scanBytes = 0;
  const off_t at = ::lseek(s->fd, off_t(offset), whence & ~AVSEEK_FORCE);
  return at < 0 ? AVERROR(errno) : int64_t(at);
}

void closeDemuxer(File* f) {
  if (f->format) avformat_close_input(&f->format);
  f->format = nullptr;
  if (f->io) {
    av_freep(&f->io->buffer);
    avio_context_free(&f->io);
  }
}

bool openDemuxer(File* f) {
  if (::lseek(f->source.fd, 0, SEEK_SET) != 0) return false;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
  if (!buffer) return false;
  f->io =
      avio_alloc_context(buffer, kIoBufferBytes, 0, &f->source, readSource, nullptr, seekSource);
  if (!f->io) {
    av_free(buffer);
    return false;
  }
  f->io->seekable = AVIO_SEEKABLE_NORMAL;
  AVFormatContext* format = avformat_alloc_context();
  if (!format) return false;
  format->pb = f->io;
  format->probesize = kAnalyzeBytes;
  // The stream analysis decodes nothing but sound: a large cover picture is not worth the
  // time it takes to unpack.
  format->codec_whitelist = av_strdup(audioDecoderNames().c_str());
  AVDictionary* options = nullptr;
  av_dict_set(&options, "format_whitelist", kFormatWhitelist, 0);
  // Only the name's extension is looked at; the bytes come from our own descriptor.
  std::string url = "file:" + f->path;
  f->source.limit(kProbeBytes, kProbeCalls);
  int result = avformat_open_input(&format, url.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (result < 0) {
    f->source.unlimit();
    return false; // the context was freed by the failed open
  }
  f->format = format;
  f->source.limit(kProbeBytes, kProbeCalls);
  result = avformat_find_stream_info(format, nullptr);
  f->source.unlimit();
  if (result < 0) return false;
  int stream = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (stream < 0) return false;
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    if (int(i) != stream) format->streams[i]->discard = AVDISCARD_ALL;
  }
  f->stream = stream;
  return true;
}

bool openDecoder(File* f) {
  const AVStream* st = f->format->streams[f->stream];
  const AVCodec* decoder = avcodec_find_decoder(st->codecpar->codec_id);
  if (!decoder) return false;
  f->codec = avcodec_alloc_context3(decoder);
  if (!f->codec) return false;
  if (avcodec_parameters_to_context(f->codec, st->codecpar) < 0) return false;
  f->codec->pkt_timebase = st->time_base;
  f->codec->thread_count = 1;
  return avcodec_open2(f->codec, decoder, nullptr) >= 0;
}

void closeDecoder(File* f) {
  if (f->codec) avcodec_free_context(&f->codec);
  f->codec = nullptr;
}

int64_t streamLength(const AVFormatContext* format, const AVStream* st, int rate) {
  if (st->duration > 0 && st->duration != AV_NOPTS_VALUE) {
    return av_rescale_q(st->duration, st->time_base, AVRational{1, rate});
  }
  if (format->duration > 0 && format->duration != AV_NOPTS_VALUE) {
    return av_rescale(format->duration, rate, AV_TIME_BASE);
  }
  return 0;
}

// Highest quality the resampler offers: the SoX engine at its very-high-quality precision,
// or the built-in one with a long filter when the SoX engine is missing.
bool configureResampler(File* f, const AVFrame* frame) {
  if (f->resampler) swr_free(&f->resampler);
  // Every read delivers f->channels per frame: decoded audio of another width is not taken in.
  // A stream that did not state its width takes that of its first frame.
  int width = frame->ch_layout.nb_channels;
  if (!f->channelsStated && !f->resamplerEverMade && width > 0 && width <= kMaxChannels) {
    f->channels = uint32_t(width);
  }
  if (width != int(f->channels)) return false;
  if (frame->sample_rate < kMinRate || frame->sample_rate > kMaxRate) return false;
  f->resamplerEverMade = true;
  AVChannelLayout layout{};
  if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    av_channel_layout_default(&layout, frame->ch_layout.nb_channels);
  } else if (av_channel_layout_copy(&layout, &frame->ch_layout) < 0) {
    return false;
  }
  // Same layout in and out: the resampler only converts rate and sample format.
  SwrContext* swr = nullptr;
  int result = swr_alloc_set_opts2(&swr, &layout, AV_SAMPLE_FMT_FLT, kOutputRate, &layout,
                                   AVSampleFormat(frame->format), frame->sample_rate, 0, nullptr);
  av_channel_layout_uninit(&layout);
  if (result < 0 || !swr) return false;
  av_opt_set_int(swr, "resampler", SWR_ENGINE_SOXR, 0);
  av_opt_set_double(swr, "precision", 28.0, 0);
  if (swr_init(swr) < 0) {
    av_opt_set_int(swr, "resampler", SWR_ENGINE_SWR, 0);
    av_opt_set_int(swr, "filter_size", 64, 0);
    av_opt_set_int(swr, "phase_shift", 12, 0);
    av_opt_set_int(swr, "linear_interp", 1, 0);
    av_opt_set_int(swr, "exact_rational", 1, 0);
    av_opt_set_double(swr, "cutoff", 0.97, 0);
    if (swr_init(swr) < 0) {
      swr_free(&swr);
      return false;
    }
  }
  f->resampler = swr;
  f->inFormat = frame->format;
  f->inChannels = frame->ch_layout.nb_channels;
  f->inRate = frame->sample_rate;
  return true;
}

// Decodes until one frame is in f->frame. False when the decoder is drained.
bool receiveFrame(File* f) {
  for (;;) {
    int result = avcodec_receive_frame(f->codec, f->frame);
    if (result == 0) return true;
    if (result == AVERROR_EOF) return false;
    // The decoder wants input, or dropped a broken frame: feed it the next packet.
    if (f->inputDone) return false;
    f->source.limit(kPacketBytes, kProbeCalls);
    result = av_read_frame(f->format, f->packet);
    f->source.unlimit();
    if (result < 0) {
      f->inputDone = true;
      avcodec_send_packet(f->codec, nullptr);
      continue;
    }
    if (f->packet->stream_index == f->stream) {
      // A packet the decoder refuses is skipped; the stream goes on.
      avcodec_send_packet(f->codec, f->packet);
    }
    av_packet_unref(f->packet);
  }
}

int64_t framePts(const AVFrame* frame) {
  return frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
}

// Source frame of a decoded frame's first sample, from its timestamp; false when it has none.
bool indexFromPts(const File* f, const AVFrame* frame, int64_t* index) {
  int64_t pts = framePts(frame);
  if (pts == AV_NOPTS_VALUE || !f->originKnown) return false;
  *index = av_rescale_q(pts - f->originPts, f->format->streams[f->stream]->time_base,
                        AVRational{1, f->rate});
  return true;
}

float* appendRoom(File* f, int64_t frames) {
  if (f->pendingRead > 0 && f->pendingRead == f->pending.size()) {
    f->pending.clear();
    f->pendingRead = 0;
  }
  size_t old = f->pending.size();
  f->pending.resize(old + size_t(frames) * f->channels);
  return f->pending.data() + old;
}

// Keeps `got` of the `room` frames just appended, minus what a seek still has to drop.
void commitAppended(File* f, int64_t room, int64_t got) {
  size_t start = f->pending.size() - size_t(room) * f->channels;
  int64_t drop = std::min(f->discardOutput, got);
  f->discardOutput -= drop;
  if (drop > 0) {
    float* base = f->pending.data() + start;
    std::memmove(base, base + drop * f->channels, size_t(got - drop) * f->channels * sizeof(float));
  }
  f->pending.resize(start + size_t(got - drop) * f->channels);
}

void convertFrame(File* f, int64_t index) {
  const AVFrame* frame = f->frame;
  int64_t count = frame->nb_samples;
  f->nextIndex = index + count;
  int64_t skip = std::clamp<int64_t>(f->discardSourceUntil - index, 0, count);
  if (skip == count) return;
  if (!f->resampler && !configureResampler(f, frame)) return;
  // A frame whose shape differs from the stream's is dropped rather than misread.
  if (frame->format != f->inFormat || frame->ch_layout.nb_channels != f->inChannels ||
      frame->sample_rate != f->inRate) {
    return;
  }
  const uint8_t* in[kMaxChannels];
  int bytes = av_get_bytes_per_sample(AVSampleFormat(frame->format));
  if (av_sample_fmt_is_planar(AVSampleFormat(frame->format))) {
    for (int c = 0; c < f->inChannels; ++c) in[c] = frame->extended_data[c] + skip * bytes;
  } else {
    in[0] = frame->extended_data[0] + skip * bytes * f->inChannels;
  }
  int inCount = int(count - skip);
  int room = swr_get_out_samples(f->resampler, inCount);
  if (room <= 0) return;
  uint8_t* out[1] = {reinterpret_cast<uint8_t*>(appendRoom(f, room))};
  int got = swr_convert(f->resampler, out, room, in, inCount);
  commitAppended(f, room, std::max(got, 0));
}

void drainResampler(File* f) {
  if (!f->resampler) return;
  for (;;) {
    int room = swr_get_out_samples(f->resampler, 0) + 64;
    uint8_t* out[1] = {reinterpret_cast<uint8_t*>(appendRoom(f, room))};
    int got = swr_convert(f->resampler, out, room, nullptr, 0);
    commitAppended(f, room, std::max(got, 0));
    if (got <= 0) return;
  }
}

// Converts the next decoded frame, or drains everything at the end. False when finished.
bool produce(File* f) {
  if (f->finished) return false;
  if (!receiveFrame(f)) {
    drainResampler(f);
    f->finished = true;
    return false;
  }
  if (!f->originKnown) {
    int64_t pts = framePts(f->frame);
    f->originPts = pts == AV_NOPTS_VALUE ? 0 : pts;
    f->originKnown = pts != AV_NOPTS_VALUE;
    f->nextIndex = 0;
  }
  convertFrame(f, f->nextIndex);
  av_frame_unref(f->frame);
  return true;
}

void resetStream(File* f) {
  if (f->codec) avcodec_flush_buffers(f->codec);
  if (f->resampler) swr_free(&f->resampler);
  f->inputDone = false;
  f->finished = false;
  f->pending.clear();
  f->pendingRead = 0;
}

// Reopens the file and counts samples from its start: the seek of last resort, for streams
// without usable timestamps.
bool rewind(File* f) {
  closeDecoder(f);
  closeDemuxer(f);
  resetStream(f);
  if (!openDemuxer(f) || !openDecoder(f)) {
    f->converting = false;
    return false;
  }
  f->nextIndex = 0;
  return true;
}

} // namespace

File* openFile(const std::string& path) {
  silenceLogging();
  if (path.empty()) return nullptr;
  // Opened without waiting, then looked at: only a regular file is read. A FIFO or a device
  // could block forever, and a check of the name before the open could meet another file.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  File* f = new File;
  f->path = path;
  f->source.fd = fd;
  f->source.size = int64_t(info.st_size);
  if (!openDemuxer(f)) {
    closeFile(f);
    return nullptr;
  }
  const AVStream* st = f->format->streams[f->stream];
  f->channelsStated = st->codecpar->ch_layout.nb_channels > 0;
  f->channels = uint32_t(std::max(st->codecpar->ch_layout.nb_channels, 1));
  f->rate = st->codecpar->sample_rate;
  f->length = f->rate > 0 ? streamLength(f->format, st, f->rate) : 0;
  return f;
}

void closeFile(File* f) {
  if (!f) return;
  if (f->resampler) swr_free(&f->resampler);
  av_frame_free(&f->frame);
  av_packet_free(&f->packet);
  closeDecoder(f);
  closeDemuxer(f);
  if (f->source.fd >= 0) ::close(f->source.fd);
  delete f;
}

uint32_t channelCount(const File* f) {
  return f ? f->channels : 1;
}
double sampleRate(const File* f) {
  return f ? double(f->rate) : 0.0;
}
int64_t lengthFrames(const File* f) {
  return f ? f->length : 0;
}

bool startConversion(File* f) {
  if (!f) return false;
  if (f->converting) return true;
  if (f->rate < kMinRate || f->rate > kMaxRate || f->channels > uint32_t(kMaxChannels)) {
    return false;
  }
  f->packet = av_packet_alloc();
  f->frame = av_frame_alloc();
  if (!f->packet || !f->frame || !openDecoder(f)) return false;
  f->converting = true;
  // The first frame fixes the stream's time origin and the resampler's input format.
  if (produce(f) && !f->resampler) {
    f->converting = false;
    return false;
  }
  return true;
}

int64_t readFrames(File* f, float* destination, int64_t frames) {
  if (!f || !f->converting || !destination || frames <= 0) return 0;
  int64_t delivered = 0;
  while (delivered < frames) {
    size_t available = (f->pending.size() - f->pendingRead) / f->channels;
    if (available == 0) {
      if (!produce(f)) {
        if (f->pending.size() == f->pendingRead) break;
      }
      continue;
    }
    int64_t n = std::min<int64_t>(int64_t(available), frames - delivered);
    std::memcpy(destination + delivered * f->channels, f->pending.data() + f->pendingRead,
                size_t(n) * f->channels * sizeof(float));
    f->pendingRead += size_t(n) * f->channels;
    delivered += n;
  }
  return delivered;
}

bool seekFrame(File* f, int64_t frame) {
  if (!f || !f->converting) return false;
  frame = std::clamp<int64_t>(frame, 0, kMaxSeekFrame);
  // Output frame at the target time, and a resampler restart point on the common grid of both
  // rates, so that the restarted resampler produces the very samples of a read from the start.
  int64_t rate = f->rate;
  int64_t target = (frame * kOutputRate * 2 + rate) / (rate * 2);
  int64_t grid = rate / std::gcd(rate, int64_t(kOutputRate));
  int64_t restart = std::max<int64_t>(frame - kResamplerPreroll, 0);
  restart -= restart % grid;
  int64_t restartOut = restart * kOutputRate / rate;

  // Seeks within the decoder pre-roll of the start reopen the file instead: a demuxer seek to
  // the start does not always bring back the codec's priming.
  const AVStream* st = f->format->streams[f->stream];
  for (int64_t back = kDecoderPreroll; f->originKnown && restart - back > 0; back *= 4) {
    int64_t from = restart - back;
    int64_t ts = f->originPts + av_rescale_q(from, AVRational{1, f->rate}, st->time_base);
    f->source.limit(kSeekBytes, kSeekBytes / kIoBufferBytes + kProbeCalls);
    f->source.scan(f->format->streams[f->stream]);
    const int sought = av_seek_frame(f->format, f->stream, ts, AVSEEK_FLAG_BACKWARD);
    f->source.scan(nullptr);
    f->source.unlimit();
    if (sought < 0) break;
    resetStream(f);
    if (!receiveFrame(f)) {
      // Nothing after the seek point: the position lies past the end.
      drainResampler(f);
      f->finished = true;
      return true;
    }
    int64_t index = 0;
    bool placed = indexFromPts(f, f->frame, &index);
    if (placed && index <= restart) {
      f->discardSourceUntil = restart;
      f->discardOutput = target - restartOut;
      convertFrame(f, index);
      av_frame_unref(f->frame);
      return true;
    }
    av_frame_unref(f->frame);
    if (!placed) break;
  }
  if (!rewind(f)) return false;
  f->discardSourceUntil = restart;
  f->discardOutput = target - restartOut;
  return true;
}

} // namespace platform::audiofile
