#pragma once

// What codec drivers are built from. A codec supplies block functions behind BlockEncoder and
// BlockDecoder; EncoderConverter and DecoderConverter do the rest of a stream: linear input of
// any kind (through the LinearPipeline), whole blocks, padding of the last block, output kept
// for the next call when the destination is full, and flushing at END. PipelineConverter is
// the convert loop that the encoders and the linear converter share. CodecDriver turns a
// codec's capabilities (one TagCaps) into suggestions and opened streams.

#include <algorithm>
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

  // Hands out units units of at most unit_bytes bytes each, made by make(first, count, out)
  // (units first to first + count into out; it answers the bytes it wrote): straight into the
  // call's destination while whole units fit there and nothing waits here, the rest queued.
  template <class Make>
  void Deliver(ConvertCall& call, size_t units, size_t unit_bytes, Make&& make) {
    size_t direct = 0;
    if (Empty()) {
      direct = std::min(units, (call.destination_length - call.destination_used) / unit_bytes);
      if (direct > 0)
        call.destination_used += static_cast<uint32_t>(
            make(size_t{0}, direct, call.destination + call.destination_used));
    }
    if (direct < units) {
      const size_t reserved = (units - direct) * unit_bytes;
      Trim(reserved - make(direct, units - direct, Grow(reserved)));
    }
  }
  // The same for count bytes at hand.
  void Deliver(ConvertCall& call, const uint8_t* bytes, size_t count);

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

// The convert loop of a stream fed through a LinearPipeline. Each call takes the source frames
// whose output fits the destination (least_frames when nothing fits: their output waits in
// queue_), puts them through the pipeline a piece at a time, and at END flushes the pipeline,
// completes a partial unit and ends the signal. The output comes in units of unit_frames
// frames and at most unit_bytes bytes: a codec block for an encoder, a frame for the linear
// converter. Frames short of a whole unit stay in fifo_ for the next call.
template <class Sample>
class PipelineConverter : public Converter {
 public:
  uint64_t DestinationSize(uint64_t source_bytes) const final;
  uint64_t SourceSize(uint64_t destination_bytes) const final;
  MMRESULT Convert(ConvertCall& call) final;

 protected:
  PipelineConverter(std::unique_ptr<LinearPipeline> pipeline, uint32_t unit_frames,
                    uint32_t unit_bytes, uint64_t least_frames);

  // Puts frames source frames into the stream: by default through the pipeline into fifo_.
  virtual void Take(const uint8_t* source, uint64_t frames, ConvertCall& call);
  // Hands out the whole units fifo_ holds (queue_.Deliver) and keeps the rest there.
  virtual void Emit(ConvertCall& call) = 0;
  // Completes the partial unit that the end of the input leaves in fifo_.
  virtual void PadLastUnit() {}
  // After the signal's last unit: what the codec still holds goes out.
  virtual void EndSignal(ConvertCall& /*call*/) {}
  // Forgets the signal so far: a new one starts.
  virtual void Restart();

  std::unique_ptr<LinearPipeline> pipeline_;
  const uint32_t frame_bytes_;  // of the source
  const uint32_t channels_;     // of the pipeline's output
  const uint32_t unit_frames_;
  const uint32_t unit_bytes_;
  const uint64_t least_frames_;
  SampleFifo<Sample> fifo_;
  OutputQueue queue_;

 private:
  bool ended_ = false;  // END has flushed the signal
};

// An encoding stream: any linear source, brought to the codec's channels and rate.
class EncoderConverter final : public PipelineConverter<int16_t> {
 public:
  EncoderConverter(std::unique_ptr<LinearPipeline> pipeline, std::unique_ptr<BlockEncoder> codec);

 private:
  void Emit(ConvertCall& call) override;
  void PadLastUnit() override;
  void EndSignal(ConvertCall& call) override;
  void Restart() override;

  std::unique_ptr<BlockEncoder> codec_;
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
  std::unique_ptr<BlockDecoder> codec_;
  uint32_t out_block_bytes_;
  std::vector<int16_t> scratch_;
  OutputQueue queue_;
};

// A driver of one codec tag that encodes from every linear format and decodes to 16-bit PCM,
// its rules coming from its TagCaps:
// - from a linear source it suggests MakeFormat(channels, rate), keeping the source's channels
//   and rate where the caps carry them and taking the nearest otherwise; fixed fields outside
//   the caps are ACMERR_NOTPOSSIBLE;
// - from a record of its tag it suggests 16-bit PCM at the record's channels and rate;
// - it opens exactly those two directions, for records that CheckFormat accepts (and, to encode,
//   Encodes too).
class CodecDriver : public Driver {
 public:
  // The caps come from the driver's factory, the line the driver table calls.
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

  // Whether the encoder writes a record that CheckFormat accepted: a codec may read layouts
  // that other writers make and write only its own.
  virtual bool Encodes(const WAVEFORMATEX& /*format*/) const { return true; }

 protected:
  // For records that CheckFormat accepted.
  virtual std::unique_ptr<BlockEncoder> MakeEncoder(const WAVEFORMATEX& format) const = 0;
  // The decoding stream: by default a DecoderConverter over MakeDecoder's blocks. A codec whose
  // data is no run of fixed blocks (a stream of frames) makes its own stream here instead.
  virtual std::unique_ptr<Converter> MakeDecodeStream(const WAVEFORMATEX& format) const;
  // The block decoder of a block codec; none for a codec that makes its own decoding stream.
  virtual std::unique_ptr<BlockDecoder> MakeDecoder(const WAVEFORMATEX& /*format*/) const {
    return nullptr;
  }
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
// An ADPCM record (IMA or MS) with its header and samples per block filled in: 4 bits, the
// chosen block alignment, its samples per block (samples_per_block of the alignment and the
// channels) and the byte rate they give. The codec adds its own fields; WriteRecord sets cbSize.
template <class Record>
Record AdpcmRecord(uint16_t tag, uint16_t channels, uint32_t rate,
                   uint32_t (*samples_per_block)(uint32_t block_align, uint16_t channels)) {
  Record record{};
  const uint16_t align = ChosenAdpcmBlockAlign(tag, rate, channels);
  const uint32_t samples = samples_per_block(align, channels);
  const auto bytes_per_second = static_cast<uint32_t>(uint64_t{rate} * align / samples);
  record.wfx = {tag, channels, rate, bytes_per_second, align, 4, 0};
  record.wSamplesPerBlock = static_cast<uint16_t>(samples);
  return record;
}

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
