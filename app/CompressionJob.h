#pragma once

// The compression job: one wave file into another with a chosen codec, and the codec choice.
// It needs neither Qt nor a display: the desktop window and the headless command both use it.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "app/corvane_unit1.h"
#include "platform/rtl/Exception.h"

// What a job may be asked beyond the window's codec; the defaults are the window's job.
struct TCompressOptions {
  // Fields of the destination format fixed beside the tag; 0 follows from the source.
  uint32_t SampleRate = 0;
  uint16_t Channels = 0;
  // The destination's bit rate in kbit/s, for codecs that offer several (MP3); 0 leaves it to
  // the codec.
  uint32_t Bitrate = 0;
  uint16_t Bits = 0;  // PCM and float only
  // The source's LIST/INFO and bext chunks go into the destination.
  bool Metadata = true;
  // Read-ahead and write-behind threads in both chains.
  bool Threaded = false;
  // The encoders' slower search for a closer decoded signal, and the ADPCM codecs' block size
  // in bytes (0: the codec's default; one outside the codec's range is ignored).
  bool HighQuality = false;
  uint32_t BlockSize = 0;
  // Looked at between copy blocks: once it is set, the file is abandoned and the job raises
  // ECompressionStopped.
  const std::atomic<bool>* Stop = nullptr;
  // Told the number of source bytes of each block copied.
  std::function<void(int32_t)> Progress;
  // Told what the person should know of a file that was compressed all the same, such as
  // "x.wav: the data ends after 236 of 4,410 frames".
  std::function<void(const std::string&)> Warning;
  // The file and its name reach the disk before the job returns, so that a crash a moment
  // later keeps it; false leaves that to the system, for speed.
  bool Sync = true;
};

// A job abandoned because it was asked to stop: nothing of it is left on disk.
class ECompressionStopped : public Exception {
 public:
  using Exception::Exception;
};

// Compresses ASource into ADestination with the codec whose format tag is the low 16 bits of
// ACodec; rate, channels and block layout follow from the source. Only a regular file is read.
// The file is written beside ADestination without a name (see TDestinationFile) and renamed
// over it only once it is complete, so a failure, a signal or a crash leaves an existing
// destination as it was and no partial file behind. A destination that is the source itself,
// or that the user may not write, is refused before anything is written; the destination's
// folder is never created. Every failure raises an Exception whose text names the file and
// the reason, such as "Cannot write out/x.wav: No space left on device.".
void CompressFile(const std::string& ASource, const std::string& ADestination, int32_t ACodec,
                  const TCompressOptions& AOptions = {});

// Lets the user choose a codec in the codec manager's dialog and answers its format tag
// (0 to 65535). Cancelling raises the silent EAbort, so the caller keeps its codec. The dialog
// opens on the first format of APreselect's tag when it is a codec's.
int32_t ChooseCodec(int32_t APreselect = 0);

// The window's compression: this job, with the options its owner sets (a stop flag, where
// warnings go).
class TCompressionJob : public TCompression {
 public:
  int32_t ChooseCodec(int32_t APreselect) override { return ::ChooseCodec(APreselect); }
  void CompressFile(const std::string& ASource, const std::string& ADestination, int32_t ACodec,
                    const TFileOptions& AOptions) override {
    TCompressOptions options = Options;
    options.SampleRate = AOptions.SampleRate;
    options.Channels = AOptions.Channels;
    options.Bitrate = AOptions.Bitrate;
    options.HighQuality = AOptions.HighQuality;
    options.BlockSize = AOptions.BlockSize;
    options.Bits = AOptions.Bits;
    options.Stop = AOptions.Stop;
    options.Progress = AOptions.Progress;
    options.Warning = AOptions.Warning;
    ::CompressFile(ASource, ADestination, ACodec, options);
  }

  TCompressOptions Options;
};
