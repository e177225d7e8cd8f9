#include "platform/acm/AcmCodec.h"

#include <algorithm>
#include <cstring>

namespace acm {

namespace {

// Source frames put through the pipeline at a time, so that a piece's samples stay in the cache.
constexpr uint64_t kPieceFrames = 4096;
// Decoded samples per piece.
constexpr size_t kPieceSamples = 16384;

}  // namespace

// ---- OutputQueue

uint8_t* OutputQueue::Grow(size_t count) {
  if (head_ != 0 && head_ == bytes_.size()) {
    bytes_.clear();
    head_ = 0;
  }
  const size_t old = bytes_.size();
  bytes_.resize(old + count);
  return bytes_.data() + old;
}

void OutputQueue::Trim(size_t count) {
  bytes_.resize(bytes_.size() - std::min(count, Size()));
}

size_t OutputQueue::Drain(uint8_t* destination, size_t capacity) {
  const size_t n = std::min(capacity, Size());
  if (n == 0) return 0;
  std::memcpy(destination, bytes_.data() + head_, n);
  head_ += n;
  if (head_ == bytes_.size()) Clear();
  return n;
}

void OutputQueue::Clear() {
  bytes_.clear();
  head_ = 0;
}

void OutputQueue::Deliver(ConvertCall& call, const uint8_t* bytes, size_t count) {
  Deliver(call, count, 1, [bytes](size_t first, size_t n, uint8_t* out) {
    std::memcpy(out, bytes + first, n);
    return n;
  });
}

// ---- PipelineConverter

template <class Sample>
PipelineConverter<Sample>::PipelineConverter(std::unique_ptr<LinearPipeline> pipeline,
                                             uint32_t unit_frames, uint32_t unit_bytes,
                                             uint64_t least_frames)
    : pipeline_(std::move(pipeline)),
      frame_bytes_(pipeline_->Source().FrameBytes()),
      channels_(pipeline_->Channels()),
      unit_frames_(unit_frames),
      unit_bytes_(unit_bytes),
      least_frames_(least_frames) {}

template <class Sample>
uint64_t PipelineConverter<Sample>::DestinationSize(uint64_t source_bytes) const {
  const uint64_t frames = source_bytes / frame_bytes_;
  uint64_t target = pipeline_->MaxTargetFrames(frames);
  // A resampling stream may carry up to a unit less one frame from the call before.
  if (pipeline_->Resamples()) target += unit_frames_ - 1;
  return (target + unit_frames_ - 1) / unit_frames_ * unit_bytes_;
}

template <class Sample>
uint64_t PipelineConverter<Sample>::SourceSize(uint64_t destination_bytes) const {
  uint64_t target = destination_bytes / unit_bytes_ * unit_frames_;
  if (pipeline_->Resamples()) target = target > unit_frames_ - 1 ? target - (unit_frames_ - 1) : 0;
  return pipeline_->SourceFramesWithin(target) * frame_bytes_;
}

template <class Sample>
MMRESULT PipelineConverter<Sample>::Convert(ConvertCall& call) {
  if (HasFlag(call.flags, ACM_STREAMCONVERTF_START)) Restart();
  const bool aligned = HasFlag(call.flags, ACM_STREAMCONVERTF_BLOCKALIGN);
  const bool end = HasFlag(call.flags, ACM_STREAMCONVERTF_END);
  call.destination_used =
      static_cast<uint32_t>(queue_.Drain(call.destination, call.destination_length));
  call.source_used = 0;
  const bool drained = queue_.Empty();
  const uint64_t frames = call.source_length / frame_bytes_;
  if (frames > 0 && ended_) Restart();  // more signal after END: a new one

  // Every whole source frame the destination's whole units have room for. Frames short of a
  // whole codec block stay in the stream: a source buffer may hold less than one block (a
  // 6-channel 24-bit source has 455 frames in 8 KB, an IMA block 2,041), and padding the block
  // there would put a gap into the middle of the signal.
  const uint64_t held = fifo_.Size() / channels_;
  const uint64_t room = (call.destination_length - call.destination_used) / unit_bytes_;
  const uint64_t room_frames = room * unit_frames_ > held ? room * unit_frames_ - held : 0;
  uint64_t take = drained ? std::min(frames, pipeline_->SourceFramesWithin(room_frames)) : 0;
  // No room for even one unit: take some anyway; their output waits in the queue.
  if (take == 0 && drained && frames > 0) take = std::min(frames, least_frames_);

  const uint8_t* source = call.source;
  for (uint64_t left = take; left > 0;) {
    const uint64_t n = std::min(left, kPieceFrames);
    Take(source, n, call);
    Emit(call);
    source += n * frame_bytes_;
    left -= n;
  }
  call.source_used = static_cast<uint32_t>(take * frame_bytes_);
  const bool all = take == frames;
  if (all && !aligned) call.source_used = call.source_length;  // a trailing part of a frame goes
  if (all && end && !ended_) {
    pipeline_->Flush(fifo_);
    Emit(call);
  }
  if (all && (end || !aligned) && fifo_.Size() > 0) {
    PadLastUnit();
    Emit(call);
  }
  if (all && end && !ended_) {
    EndSignal(call);
    ended_ = true;
  }
  return MMSYSERR_NOERROR;
}

template <class Sample>
void PipelineConverter<Sample>::Take(const uint8_t* source, uint64_t frames, ConvertCall&) {
  pipeline_->Push(source, frames, fifo_);
}

template <class Sample>
void PipelineConverter<Sample>::Restart() {
  pipeline_->Reset();
  fifo_.Clear();
  ended_ = false;
}

template class PipelineConverter<int16_t>;
template class PipelineConverter<int32_t>;

// ---- EncoderConverter

EncoderConverter::EncoderConverter(std::unique_ptr<LinearPipeline> pipeline,
                                   std::unique_ptr<BlockEncoder> codec)
    : PipelineConverter(std::move(pipeline), codec->FramesPerBlock(), codec->MaxBytesPerBlock(),
                        codec->FramesPerBlock()),
      codec_(std::move(codec)) {}

// Whole blocks; a block cut by the destination's end goes out in part, its rest first next time.
void EncoderConverter::Emit(ConvertCall& call) {
  const size_t block_samples = size_t{unit_frames_} * channels_;
  const size_t blocks = fifo_.Size() / block_samples;
  queue_.Deliver(call, blocks, unit_bytes_, [&](size_t first, size_t count, uint8_t* out) {
    return codec_->Encode(fifo_.Data() + first * block_samples, count, out);
  });
  fifo_.Consume(blocks * block_samples);
  call.destination_used += static_cast<uint32_t>(queue_.Drain(
      call.destination + call.destination_used, call.destination_length - call.destination_used));
}

// The last block is filled by repeating the last frame: no short block, no jump to silence.
void EncoderConverter::PadLastUnit() {
  const size_t held = fifo_.Size() / channels_;
  const size_t missing = unit_frames_ - held % unit_frames_;
  if (held == 0 || missing == unit_frames_) return;
  int16_t* space = fifo_.Grow(missing * channels_);
  const int16_t* last = space - channels_;
  for (size_t i = 0; i < missing; ++i)
    std::memcpy(space + i * channels_, last, channels_ * 2);
}

void EncoderConverter::EndSignal(ConvertCall& call) {
  codec_->Flush(queue_);
  call.destination_used += static_cast<uint32_t>(queue_.Drain(
      call.destination + call.destination_used, call.destination_length - call.destination_used));
}

void EncoderConverter::Restart() {
  PipelineConverter::Restart();
  codec_->Reset();
}

// ---- DecoderConverter

DecoderConverter::DecoderConverter(std::unique_ptr<BlockDecoder> codec)
    : codec_(std::move(codec)),
      out_block_bytes_(codec_->FramesPerBlock() * codec_->Channels() * 2) {
  const size_t block_samples = size_t{codec_->FramesPerBlock()} * codec_->Channels();
  scratch_.resize(std::max(block_samples, kPieceSamples / block_samples * block_samples));
}

uint64_t DecoderConverter::DestinationSize(uint64_t source_bytes) const {
  const uint32_t block = codec_->BytesPerBlock();
  const auto rest = static_cast<uint32_t>(source_bytes % block);
  return source_bytes / block * out_block_bytes_ +
         uint64_t{codec_->PartialFrames(rest)} * codec_->Channels() * 2;
}

uint64_t DecoderConverter::SourceSize(uint64_t destination_bytes) const {
  return destination_bytes / out_block_bytes_ * codec_->BytesPerBlock();
}

MMRESULT DecoderConverter::Convert(ConvertCall& call) {
  const bool aligned = HasFlag(call.flags, ACM_STREAMCONVERTF_BLOCKALIGN);
  call.destination_used =
      static_cast<uint32_t>(queue_.Drain(call.destination, call.destination_length));
  call.source_used = 0;
  const bool drained = queue_.Empty();
  const uint32_t block = codec_->BytesPerBlock();
  const uint32_t blocks = call.source_length / block;
  const uint32_t rest = call.source_length % block;
  const uint32_t room = (call.destination_length - call.destination_used) / out_block_bytes_;
  uint32_t take = drained ? std::min(blocks, room) : 0;
  if (take == 0 && drained && blocks > 0) take = 1;  // waits in the queue

  const size_t per_piece =
      scratch_.size() / (size_t{codec_->FramesPerBlock()} * codec_->Channels());
  for (uint32_t done = 0; done < take;) {
    const auto n = static_cast<uint32_t>(std::min<size_t>(take - done, per_piece));
    codec_->Decode(call.source + size_t{done} * block, n, scratch_.data());
    queue_.Deliver(call, reinterpret_cast<const uint8_t*>(scratch_.data()),
                   size_t{n} * codec_->FramesPerBlock() * codec_->Channels() * 2);
    done += n;
  }
  call.source_used = take * block;
  if (!aligned && take == blocks && rest > 0) {
    // What a truncated last block holds, when it fits (or nothing else came out of this call).
    const size_t samples = size_t{codec_->PartialFrames(rest)} * codec_->Channels();
    const bool fits =
        queue_.Empty() && samples * 2 <= call.destination_length - call.destination_used;
    if (fits || (drained && take == 0)) {
      codec_->DecodePartial(call.source + call.source_used, rest, scratch_.data());
      queue_.Deliver(call, reinterpret_cast<const uint8_t*>(scratch_.data()), samples * 2);
      call.source_used += rest;
    }
  }
  return MMSYSERR_NOERROR;
}

// ---- CodecDriver

uint16_t StandardAdpcmBlockAlign(uint32_t rate, uint16_t channels) {
  const uint32_t per_channel = rate <= 11025 ? 256 : rate <= 22050 ? 512 : 1024;
  return static_cast<uint16_t>(per_channel * channels);
}

namespace {

EncoderOptions& ThreadOptions() {
  thread_local EncoderOptions options;
  return options;
}

}  // namespace

const EncoderOptions& CurrentEncoderOptions() {
  return ThreadOptions();
}

std::optional<BlockSizeRange> ChoosableBlockSizes(uint16_t tag) {
  // IMA blocks hold whole 4-byte groups per channel; both keep samples per block in 16 bits.
  if (tag == WAVE_FORMAT_IMA_ADPCM) return BlockSizeRange{16, 32768, 8};
  if (tag == WAVE_FORMAT_ADPCM) return BlockSizeRange{16, 32768, 1};
  return std::nullopt;
}

uint16_t ChosenAdpcmBlockAlign(uint16_t tag, uint32_t rate, uint16_t channels) {
  const uint32_t chosen = ThreadOptions().block_bytes;
  const auto range = ChoosableBlockSizes(tag);
  if (chosen != 0 && range && chosen >= range->low && chosen <= range->high &&
      chosen % range->multiple == 0)
    return static_cast<uint16_t>(chosen);
  return StandardAdpcmBlockAlign(rate, channels);
}

ScopedEncoderOptions::ScopedEncoderOptions(const EncoderOptions& options)
    : previous_(ThreadOptions()) {
  ThreadOptions() = options;
}

ScopedEncoderOptions::~ScopedEncoderOptions() {
  ThreadOptions() = previous_;
}

std::span<const uint32_t> ListedRates() {
  static constexpr uint32_t kRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000};
  return kRates;
}

CodecDriver::CodecDriver(TagCaps caps) : caps_(std::move(caps)) {}

bool CodecDriver::CheckCommonFields(const WAVEFORMATEX& format) const {
  return format.wFormatTag == caps_.tag && format.nChannels >= caps_.min_channels &&
         format.nChannels <= caps_.max_channels && CarriesRate(caps_, format.nSamplesPerSec) &&
         std::find(caps_.bits.begin(), caps_.bits.end(), format.wBitsPerSample) != caps_.bits.end();
}

MMRESULT CodecDriver::Suggest(const WAVEFORMATEX& source, const WAVEFORMATEX& templ, uint32_t flags,
                              FormatRecord& result) const {
  const bool fixed_channels = HasFlag(flags, ACM_FORMATSUGGESTF_NCHANNELS);
  const bool fixed_rate = HasFlag(flags, ACM_FORMATSUGGESTF_NSAMPLESPERSEC);
  const bool fixed_bits = HasFlag(flags, ACM_FORMATSUGGESTF_WBITSPERSAMPLE);
  if (source.wFormatTag == caps_.tag) {
    // Decoding: 16-bit PCM at the codec's own channels and rate.
    if (!CheckFormat(source)) return ACMERR_NOTPOSSIBLE;
    if (templ.wFormatTag != WAVE_FORMAT_PCM) return ACMERR_NOTPOSSIBLE;
    if (fixed_channels && templ.nChannels != source.nChannels) return ACMERR_NOTPOSSIBLE;
    if (fixed_rate && templ.nSamplesPerSec != source.nSamplesPerSec) return ACMERR_NOTPOSSIBLE;
    if (fixed_bits && templ.wBitsPerSample != 16) return ACMERR_NOTPOSSIBLE;
    result = MakeLinearRecord(SampleType::kSigned16, source.nChannels, source.nSamplesPerSec);
    return MMSYSERR_NOERROR;
  }
  if (templ.wFormatTag != caps_.tag) return ACMERR_NOTPOSSIBLE;
  const auto linear = ReadLinearFormat(source);
  if (!linear) return ACMERR_NOTPOSSIBLE;
  uint32_t channels =
      std::clamp<uint32_t>(linear->channels, caps_.min_channels, caps_.max_channels);
  uint32_t rate = NearestRate(caps_, linear->rate);
  if (fixed_channels) {
    if (templ.nChannels < caps_.min_channels || templ.nChannels > caps_.max_channels)
      return ACMERR_NOTPOSSIBLE;
    channels = templ.nChannels;
  }
  if (fixed_rate) {
    if (!CarriesRate(caps_, templ.nSamplesPerSec)) return ACMERR_NOTPOSSIBLE;
    rate = templ.nSamplesPerSec;
  }
  if (fixed_bits &&
      std::find(caps_.bits.begin(), caps_.bits.end(), templ.wBitsPerSample) == caps_.bits.end())
    return ACMERR_NOTPOSSIBLE;
  // The source must reach that rate through one resampler.
  if (!CanResample(linear->rate, rate)) return ACMERR_NOTPOSSIBLE;
  result = MakeFormat(static_cast<uint16_t>(channels), rate);
  return MMSYSERR_NOERROR;
}

MMRESULT CodecDriver::Open(const WAVEFORMATEX& source, const WAVEFORMATEX& destination,
                           std::unique_ptr<Converter>* converter) const {
  if (source.wFormatTag == caps_.tag) {
    const auto linear = ReadLinearFormat(destination);
    if (!CheckFormat(source) || !linear || linear->type != SampleType::kSigned16 ||
        linear->channels != source.nChannels || linear->rate != source.nSamplesPerSec)
      return ACMERR_NOTPOSSIBLE;
    if (!converter) return MMSYSERR_NOERROR;
    *converter = MakeDecodeStream(source);
    return *converter ? MMSYSERR_NOERROR : ACMERR_NOTPOSSIBLE;
  }
  if (destination.wFormatTag != caps_.tag) return ACMERR_NOTPOSSIBLE;
  const auto linear = ReadLinearFormat(source);
  if (!linear || !CheckFormat(destination) || !Encodes(destination)) return ACMERR_NOTPOSSIBLE;
  auto pipeline =
      LinearPipeline::Create(*linear, destination.nChannels, 0, destination.nSamplesPerSec);
  if (!pipeline) return ACMERR_NOTPOSSIBLE;
  if (converter)
    *converter = std::make_unique<EncoderConverter>(std::move(pipeline), MakeEncoder(destination));
  return MMSYSERR_NOERROR;
}

std::unique_ptr<Converter> CodecDriver::MakeDecodeStream(const WAVEFORMATEX& format) const {
  auto blocks = MakeDecoder(format);
  if (!blocks) return nullptr;
  return std::make_unique<DecoderConverter>(std::move(blocks));
}

std::vector<FormatRecord> CodecDriver::ListFormats(uint16_t tag) const {
  std::vector<FormatRecord> formats;
  if (tag != caps_.tag) return formats;
  for (uint32_t rate :
       caps_.rates.empty() ? ListedRates() : std::span<const uint32_t>(caps_.rates)) {
    if (!CarriesRate(caps_, rate)) continue;
    for (uint16_t channels = caps_.min_channels;
         channels <= std::min<uint16_t>(caps_.max_channels, 2); ++channels)
      formats.push_back(MakeFormat(channels, rate));
  }
  return formats;
}

}  // namespace acm
