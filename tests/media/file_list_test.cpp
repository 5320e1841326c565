#include <gtest/gtest.h>

#include "media/audio_file.h"
#include "tests/platform/audiofile_fixtures.h"

namespace {

using velto::listAudioFiles;
using Names = std::vector<std::string>;

class ListAudioFiles : public velto::fixtures::AudioFolderTest {
protected:
  Names listOf(std::initializer_list<const char*> names) {
    for (const char* name : names) EXPECT_TRUE(velto::fixtures::writeText(file(name), ""));
    return listAudioFiles(folder());
  }
};

TEST_F(ListAudioFiles, KeepsAudioNamesSortedWithoutRegardToCase) {
  EXPECT_EQ(listOf({"b.WAV", "a.mp3", ".hidden.wav", "x.txt", ".wav", "c.Flac", "notes.aiff.bak"}),
            (Names{"a.mp3", "b.WAV", "c.Flac"}));
}

TEST_F(ListAudioFiles, CapitalLettersDoNotSortFirst) {
  // Byte order would give "Mango.flac", "Zebra.wav", "_intro.wav", "apple.mp3".
  EXPECT_EQ(listOf({"Zebra.wav", "apple.mp3", "Mango.flac", "_intro.wav"}),
            (Names{"_intro.wav", "apple.mp3", "Mango.flac", "Zebra.wav"}));
}

TEST_F(ListAudioFiles, EveryAcceptedExtensionAfterAtLeastOneCharacter) {
  EXPECT_EQ(
      listOf({"1.wav", "2.AIF", "3.aiff", "4.Mp3", "5.m4A", "6.aac", "7.FLAC", "8.caf", "9.mp4",
              "x.ogg", "y.aifc", "mp3", "wav", "flac", "xmp3"}),
      (Names{"1.wav", "2.AIF", "3.aiff", "4.Mp3", "5.m4A", "6.aac", "7.FLAC", "8.caf", "9.mp4"}));
}

TEST_F(ListAudioFiles, NamesOnlyFromTheFolderItselfWhateverTheirKind) {
  std::filesystem::create_directory(file("Loops.wav")); // a folder named like audio is listed
  std::filesystem::create_directory(file("sub"));
  EXPECT_EQ(listOf({"sub/inner.wav", "Kick Drum.wav"}), (Names{"Kick Drum.wav", "Loops.wav"}));
  EXPECT_EQ(listAudioFiles(folder() + "/"), (Names{"Kick Drum.wav", "Loops.wav"}));
}

TEST_F(ListAudioFiles, FolderThatCannotBeOpenedGivesNothing) {
  EXPECT_EQ(listOf({"plain.wav"}).size(), 1u);
  EXPECT_TRUE(listAudioFiles(file("missing")).empty());
  EXPECT_TRUE(listAudioFiles(file("plain.wav")).empty());
  EXPECT_TRUE(listAudioFiles("").empty());
}

} // namespace
