// Stand-in for the platform's audio file service: opens an audio file and reads it converted to
// 48000 Hz interleaved float with the file's own channel count, with sample-exact seeks.
// One handle is used by one thread at a time; different handles may run on different threads.
#pragma once

#include <cstdint>
#include <string>

namespace platform::audiofile {

// The rate every read delivers.
constexpr int kOutputRate = 48000;

// An open file; opaque. Made by openFile, released by closeFile.
struct File;

// Opens the file at `path` if its contents are one of the accepted containers (WAVE, AIFF, MP3,
// MPEG-4, ADTS AAC, FLAC, CAF) and hold an audio stream. Null otherwise.
File* openFile(const std::string& path);
void closeFile(File* file);

// The file's own data format. The length is in frames of the file's own rate, 0 when the file
// does not state it.
uint32_t channelCount(const File* file);
double sampleRate(const File* file);
int64_t lengthFrames(const File* file);

// Sets up the decoder and the conversion to kOutputRate float (highest-quality resampler).
// False when the file's data cannot be converted; reads and seeks then deliver nothing.
bool startConversion(File* file);

// Reads up to `frames` frames of channelCount() interleaved floats at kOutputRate. Returns the
// frames delivered; 0 at the end of the file, on an error, or before startConversion.
int64_t readFrames(File* file, float* destination, int64_t frames);

// Moves the read position to `frame` of the file's own rate: the next read starts with the
// output frame at that time, exactly as a read from the file's start would have delivered it.
// A position past the end is allowed (reads then return 0).
bool seekFrame(File* file, int64_t frame);

} // namespace platform::audiofile
