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
  // Read-ahead and write-behind threads in both chains.
  bool Threaded = false;
  // Looked at between copy blocks: once it is set, the file is abandoned and the job raises
  // ECompressionStopped.
  const std::atomic<bool>* Stop = nullptr;
  // Told the number of source bytes of each block copied.
  std::function<void(int32_t)> Progress;
};

// A job abandoned because it was asked to stop: nothing of it is left on disk.
class ECompressionStopped : public Exception {
 public:
  using Exception::Exception;
};

// Compresses ASource into ADestination with the codec whose format tag is the low 16 bits of
// ACodec; rate, channels and block layout follow from the source. The file is written beside
// ADestination under a temporary name and renamed over it only once it is complete, so a
// failure leaves an existing destination as it was and no partial file behind. A destination
// that is the source itself is refused before anything is written. Every failure raises an
// Exception whose text names the file and the reason.
void CompressFile(const std::string& ASource, const std::string& ADestination, int32_t ACodec,
                  const TCompressOptions& AOptions = {});

// Lets the user choose a codec in the codec manager's dialog and answers its format tag
// (0 to 65535). Cancelling raises the silent EAbort, so the caller keeps its codec. The dialog
// opens on the first format of APreselect's tag when it is a codec's.
int32_t ChooseCodec(int32_t APreselect = 0);

// The window's compression: this job.
class TCompressionJob : public TCompression {
 public:
  int32_t ChooseCodec(int32_t APreselect) override { return ::ChooseCodec(APreselect); }
  void CompressFile(const std::string& ASource, const std::string& ADestination, int32_t ACodec,
                    const TFileOptions& AOptions) override {
    TCompressOptions options;
    options.SampleRate = AOptions.SampleRate;
    options.Channels = AOptions.Channels;
    options.Bitrate = AOptions.Bitrate;
    options.Stop = AOptions.Stop;
    options.Progress = AOptions.Progress;
    ::CompressFile(ASource, ADestination, ACodec, options);
  }
};
