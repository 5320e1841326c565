// The shell's environment variables: which snapshot mode is on, the window size asked for, and
// the window variables checked once at launch so that garbage never reaches the window.
// Stateless apart from the environment itself. Threading: main thread (getenv/unsetenv).
#pragma once

namespace velto {

// A variable counts as set when it is present, whatever its value.
bool envSet(const char* name);
// Any of VELTO_SNAPSHOT, VELTO_DOCS_SNAPSHOT, VELTO_HELP_SNAPSHOT is set; read anew each call.
bool snapshotMode();

// "<width>x<height>" with two finite numbers of at least 1 (fractions are rounded) and at most
// 16384 each: true with the size. Anything else, a size of 0 included, gives false.
bool parseWindowSize(const char* text, int& width, int& height);
// A whole text that is one finite number (surrounding blanks allowed).
bool parseNumber(const char* text, double& value);

// VELTO_SIZE as a content size, or the default when unset or not a valid size.
void windowSizeFromEnvironment(int& width, int& height, int defaultWidth, int defaultHeight);
// Removes VELTO_INTRO_AT when it is set but not a number, so the window treats it as unset.
void dropInvalidWindowVariables();

} // namespace velto
