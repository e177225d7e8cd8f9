#pragma once

// What the codec manager's tests share: records, suggestions and whole-buffer conversions
// through the host calls.

#include <cstdint>
#include <vector>

#include "platform/acm/Acm.h"
#include "platform/acm/AcmDriver.h"
#include "tests/support/Signals.h"

namespace acmtest {

acm::FormatRecord Pcm(uint16_t channels, uint32_t rate, uint16_t bits = 16);
acm::FormatRecord Float(uint16_t channels, uint32_t rate);
acm::FormatRecord Extensible(uint16_t channels, uint32_t rate, uint16_t bits, uint32_t mask,
                             bool is_float = false);
// A record from its header fields and extra bytes, as a file might hold it.
acm::FormatRecord Record(const WAVEFORMATEX& header, const Bytes& extra = {});

// acmFormatSuggest with a template of the given fields (flags say which are fixed).
MMRESULT Suggest(const acm::FormatRecord& source, const WAVEFORMATEX& templ, uint32_t flags,
                 acm::FormatRecord& result);
// The suggestion for a tag alone; an empty record when there is none.
acm::FormatRecord SuggestTag(const acm::FormatRecord& source, uint16_t tag);

// Converts a whole buffer as a conversion stream does: chunks of at most chunk source bytes
// with BLOCKALIGN while more input follows, then END until nothing more comes. Fails the test
// (and answers what came) when a call fails or used counts exceed their lengths.
Bytes ConvertAll(const acm::FormatRecord& from, const acm::FormatRecord& to, const Bytes& input,
                 uint32_t chunk = 8192);
// Encodes 16-bit samples into a codec's suggested format and decodes them again with our
// own decoder.
Samples RoundTrip(const acm::FormatRecord& pcm, uint16_t tag, const Samples& input);

// Signals of the kinds that strain ADPCM and G.711 encoders (mono unless channels says):
// clicks and decaying drum hits on silence, peaking at 6,563; near-silence with triangular dither
// of ±2; a quiet tone rounded to 8-bit steps (as an 8-bit source gives).
Samples Clicks(uint32_t rate, uint16_t channels, double seconds);
Samples NearSilence(uint32_t rate, uint16_t channels, double seconds);
Samples Quiet8Bit(uint32_t rate, uint16_t channels, double seconds);
// Music-like: chords of decaying harmonic notes with different notes on each channel.
Samples Music(uint32_t rate, uint16_t channels, double seconds);

// acmStreamOpen's answer to a query for the conversion.
MMRESULT OpenQuery(const acm::FormatRecord& from, const acm::FormatRecord& to);

// An open stream with one prepared header over its own buffers, closed at the end.
class TestStream {
 public:
  TestStream(const acm::FormatRecord& from, const acm::FormatRecord& to, uint32_t source_size,
             uint32_t destination_size);
  ~TestStream();
  bool Open() const { return handle_ != nullptr; }
  HACMSTREAM Handle() const { return handle_; }
  ACMSTREAMHEADER& Header() { return header_; }
  // Converts the first count bytes of source; answers the result code.
  MMRESULT Convert(const uint8_t* source, uint32_t count, uint32_t flags);
  Bytes Output() const;  // what the last conversion wrote
  uint32_t Size(uint32_t bytes, uint32_t flags) const;

 private:
  HACMSTREAM handle_ = nullptr;
  Bytes source_, destination_;
  ACMSTREAMHEADER header_{};
};

}  // namespace acmtest
