#pragma once

// The compression job: one wave file into another with a chosen codec, and the codec choice.
// It needs neither Qt nor a display: the desktop window and the headless command both use it.

#include <cstdint>
#include <string>

#include "app/corvane_unit1.h"

// Compresses ASource into ADestination with the codec whose format tag is the low 16 bits of
// ACodec; rate, channels and block layout follow from the source. The file is written beside
// ADestination under a temporary name and renamed over it only once it is complete, so a
// failure leaves an existing destination as it was and no partial file behind. A destination
// that is the source itself is refused before anything is written. Every failure raises an
// Exception whose text names the file and the reason.
void CompressFile(const std::string& ASource, const std::string& ADestination, int32_t ACodec);

// Lets the user choose a codec in the codec manager's dialog and answers its format tag
// (0 to 65535). Cancelling raises the silent EAbort, so the caller keeps its codec.
int32_t ChooseCodec();

// The window's compression: this job.
class TCompressionJob : public TCompression {
 public:
  int32_t ChooseCodec() override { return ::ChooseCodec(); }
  void CompressFile(const std::string& ASource, const std::string& ADestination,
                    int32_t ACodec) override {
    ::CompressFile(ASource, ADestination, ACodec);
  }
};
