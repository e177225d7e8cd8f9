#pragma once

// What codec drivers are built from. A codec supplies block functions behind BlockEncoder and
// BlockDecoder; EncoderConverter and DecoderConverter do the rest of a stream: linear input of
// any kind (through the LinearPipeline), whole blocks, padding of the last block, output kept
// for the next call when the destination is full, and flushing at END. CodecDriver turns a
// codec's capabilities (one TagCaps) into suggestions and opened streams.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/acm/AcmDriver.h"
#include "platform/acm/AcmSamples.h"

namespace acm {

// Converted bytes waiting for a destination, delivered oldest first.
class OutputQueue {
 public:
  bool Empty() const { return head_ == bytes_.size(); }
  size_t Size() const { return bytes_.size() - head_; }
  // Appends count bytes of unspecified value and answers where they start.
  uint8_t* Grow(size_t count);
  // Removes count bytes from the end (what Grow reserved but was not written).
  void Trim(size_t count);
  // Moves up to capacity bytes from the front to destination; answers how many.
  size_t Drain(uint8_t* destination, size_t capacity);
  void Clear();

 private:
  std::vector<uint8_t> bytes_;
  size_t head_ = 0;
};

// The per-stream state of an encoder: whole blocks of 16-bit interleaved frames in, bytes out.
class BlockEncoder {
 public:
  virtual ~BlockEncoder() = default;
  virtual uint32_t FramesPerBlock() const = 0;
  // The most bytes one block makes (codecs with fixed blocks: exactly this).
  virtual uint32_t MaxBytesPerBlock() const = 0;
  // Encodes blocks whole blocks from frames into out (room for blocks × MaxBytesPerBlock);
  // answers the bytes written.
  virtual size_t Encode(const int16_t* frames, size_t blocks, uint8_t* out) = 0;
  // At the end of the signal, after the last (padded) block: appends what the codec still
  // holds (a delay line, a bit reservoir). Called once per signal.
  virtual void Flush(OutputQueue& /*out*/) {}
  // Forgets the signal so far: a new one starts.
  virtual void Reset() {}
};

// An encoding stream: any linear source, brought to the codec's channels and rate.
class EncoderConverter final : public Converter {
 public:
  EncoderConverter(std::unique_ptr<LinearPipeline> pipeline, std::unique_ptr<BlockEncoder> codec);

  uint64_t DestinationSize(uint64_t source_bytes) const override;
  uint64_t SourceSize(uint64_t destination_bytes) const override;
  MMRESULT Convert(ConvertCall& call) override;

 private:
  void EncodeWholeBlocks(ConvertCall& call);
  void PadLastBlock();
  void Restart();

  std::unique_ptr<LinearPipeline> pipeline_;
  std::unique_ptr<BlockEncoder> codec_;
  uint32_t frame_bytes_;  // of the source
  uint32_t channels_;     // of the codec
  uint32_t block_frames_;
  uint32_t block_bytes_;
  SampleFifo<int16_t> fifo_;  // codec frames not yet making a whole block
  OutputQueue queue_;
  bool ended_ = false;  // END has flushed the signal
};

// The per-stream state of a decoder of fixed-size blocks into 16-bit interleaved frames.
class BlockDecoder {
 public:
  virtual ~BlockDecoder() = default;
  virtual uint32_t BytesPerBlock() const = 0;
  virtual uint32_t FramesPerBlock() const = 0;
  virtual uint16_t Channels() const = 0;
  // The frames that the first bytes (< BytesPerBlock) of a block decode to.
  virtual uint32_t PartialFrames(uint32_t bytes) const = 0;
  // Decodes blocks whole blocks; out has room for blocks × FramesPerBlock frames.
  virtual void Decode(const uint8_t* in, size_t blocks, int16_t* out) = 0;
  // Decodes the first bytes of a block into PartialFrames(bytes) frames.
  virtual void DecodePartial(const uint8_t* in, uint32_t bytes, int16_t* out) = 0;
};

// A decoding stream into 16-bit PCM at the codec's channels and rate.
class DecoderConverter final : public Converter {
 public:
  explicit DecoderConverter(std::unique_ptr<BlockDecoder> codec);

  uint64_t DestinationSize(uint64_t source_bytes) const override;
  uint64_t SourceSize(uint64_t destination_bytes) const override;
  MMRESULT Convert(ConvertCall& call) override;

 private:
  void Deliver(const int16_t* frames, size_t count, ConvertCall& call);

  std::unique_ptr<BlockDecoder> codec_;
  uint32_t out_block_bytes_;
  std::vector<int16_t> scratch_;
  OutputQueue queue_;
};

// The nearest value of a range (for rates and channel counts a codec carries).
uint32_t Nearest(uint32_t value, uint32_t low, uint32_t high);

// A driver of one codec tag that encodes from every linear format and decodes to 16-bit PCM,
// its rules coming from its TagCaps:
// - from a linear source it suggests MakeFormat(channels, rate), keeping the source's channels
//   and rate where the caps carry them and taking the nearest otherwise; fixed fields outside
//   the caps are ACMERR_NOTPOSSIBLE;
// - from a record of its tag it suggests 16-bit PCM at the record's channels and rate;
// - it opens exactly those two directions, for records that CheckFormat accepts.
class CodecDriver : public Driver {
 public:
  explicit CodecDriver(TagCaps caps);

  std::span<const TagCaps> Tags() const override { return {&caps_, 1}; }
  MMRESULT Suggest(const WAVEFORMATEX& source, const WAVEFORMATEX& templ, uint32_t flags,
                   FormatRecord& result) const override;
  MMRESULT Open(const WAVEFORMATEX& source, const WAVEFORMATEX& destination,
                std::unique_ptr<Converter>* converter) const override;
  std::vector<FormatRecord> ListFormats(uint16_t tag) const override;

  const TagCaps& Caps() const { return caps_; }
  // The codec's complete record for a channel count and rate within the caps.
  virtual FormatRecord MakeFormat(uint16_t channels, uint32_t rate) const = 0;
  // Whether a record of the tag is well-formed and within the caps.
  virtual bool CheckFormat(const WAVEFORMATEX& format) const = 0;

 protected:
  // For records that CheckFormat accepted.
  virtual std::unique_ptr<BlockEncoder> MakeEncoder(const WAVEFORMATEX& format) const = 0;
  virtual std::unique_ptr<BlockDecoder> MakeDecoder(const WAVEFORMATEX& format) const = 0;
  // Checks the fields every record of the caps shares: tag, channels, rate, bits.
  bool CheckCommonFields(const WAVEFORMATEX& format) const;

 private:
  TagCaps caps_;
};

// The block alignment of both ADPCM codecs: 256 bytes per channel up to 11,025 Hz, 512 up to
// 22,050 Hz, 1,024 above.
uint16_t StandardAdpcmBlockAlign(uint32_t rate, uint16_t channels);

// What a person chooses for the encoders beside the format: a slower search for a closer
// decoded signal, and the block size of the ADPCM codecs (0: StandardAdpcmBlockAlign). They hold
// on the thread that sets them, for the conversions it suggests and opens from then on: a job
// builds its chain on one thread, and an opened encoder keeps what it was opened with.
struct EncoderOptions {
  bool high_quality = false;
  uint32_t block_bytes = 0;
};
const EncoderOptions& CurrentEncoderOptions();

// The block sizes a person may choose for a tag's blocks (nBlockAlign, whole multiples of
// multiple from low to high, for one or two channels); none for a tag without the choice.
struct BlockSizeRange {
  uint32_t low, high, multiple;
};
std::optional<BlockSizeRange> ChoosableBlockSizes(uint16_t tag);
// The block alignment of an ADPCM format: the calling thread's chosen block size where it fits
// the tag's range, else StandardAdpcmBlockAlign.
uint16_t ChosenAdpcmBlockAlign(uint16_t tag, uint32_t rate, uint16_t channels);

// Sets the calling thread's options for its lifetime, then restores what was before.
class ScopedEncoderOptions {
 public:
  explicit ScopedEncoderOptions(const EncoderOptions& options);
  ~ScopedEncoderOptions();
  ScopedEncoderOptions(const ScopedEncoderOptions&) = delete;
  ScopedEncoderOptions& operator=(const ScopedEncoderOptions&) = delete;

 private:
  EncoderOptions previous_;
};

// The rates the codec-choice dialog lists for codecs.
std::span<const uint32_t> ListedRates();

}  // namespace acm
