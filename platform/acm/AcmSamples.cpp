#include "platform/acm/AcmSamples.h"

#include <soxr.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <mutex>

namespace acm {

namespace {

// Source frames converted per step: small enough that a step's samples stay in the cache.
constexpr size_t kChunkFrames = 1024;
// Frames a resampler may deliver beyond the exact ratio in one call.
constexpr uint64_t kResampleSlack = 16;

// soxr sets up shared tables when a resampler is made; streams may be opened on several threads.
std::mutex& SoxrCreateLock() {
  static std::mutex lock;
  return lock;
}

int32_t RoundShift(int32_t x, int shift, int32_t max) {
  const int32_t v = (x >> shift) + ((x >> (shift - 1)) & 1);
  return std::min(v, max);
}

// Branch-free so that the loops over it vectorise: NaN becomes 0, the rest is clipped to full
// scale (just below 2^31, which 32-bit samples cannot hold) and rounded half away from zero.
int32_t FloatToSample(float f) {
  f = f == f ? f : 0.0f;
  f = std::min(std::max(f, -1.0f), 1.0f);
  const float s = f * 2147483648.0f;
  return static_cast<int32_t>(std::min(s + std::copysign(0.5f, s), 2147483520.0f));
}

// As FloatToSample, for doubles, which hold every 32-bit sample exactly.
int32_t DoubleToSample(double d) {
  d = d == d ? d : 0.0;
  d = std::min(std::max(d, -1.0), 1.0);
  const double s = std::round(d * 2147483648.0);
  return static_cast<int32_t>(std::min(s, 2147483647.0));
}

std::vector<uint32_t> Positions(uint16_t channels, uint32_t mask) {
  std::vector<uint32_t> positions(channels, 0);
  size_t i = 0;
  for (uint32_t bit = 1; bit != 0 && i < channels; bit <<= 1)
    if (mask & bit) positions[i++] = bit;
  return positions;
}

// Where a position goes in a stereo fold: (left, right) weights.
std::pair<double, double> StereoFold(uint32_t position) {
  constexpr double kHalfPower = 0.70710678118654752;
  switch (position) {
    case SPEAKER_FRONT_LEFT:
    case SPEAKER_FRONT_LEFT_OF_CENTER:
      return {1, 0};
    case SPEAKER_FRONT_RIGHT:
    case SPEAKER_FRONT_RIGHT_OF_CENTER:
      return {0, 1};
    case SPEAKER_FRONT_CENTER:
      return {kHalfPower, kHalfPower};
    case SPEAKER_LOW_FREQUENCY:
      return {0, 0};
    case SPEAKER_BACK_LEFT:
    case SPEAKER_SIDE_LEFT:
    case 0x1000:  // top front left
    case 0x8000:  // top back left
      return {kHalfPower, 0};
    case SPEAKER_BACK_RIGHT:
    case SPEAKER_SIDE_RIGHT:
    case 0x4000:   // top front right
    case 0x20000:  // top back right
      return {0, kHalfPower};
    default:  // centres above and behind, and channels of unknown position
      return {0.5, 0.5};
  }
}

int Find(const std::vector<uint32_t>& positions, uint32_t position) {
  const auto it = std::find(positions.begin(), positions.end(), position);
  return it == positions.end() ? -1 : static_cast<int>(it - positions.begin());
}

}  // namespace

uint32_t BytesPerSample(SampleType type) {
  switch (type) {
    case SampleType::kUnsigned8:
      return 1;
    case SampleType::kSigned16:
      return 2;
    case SampleType::kSigned24:
      return 3;
    case SampleType::kSigned32:
    case SampleType::kFloat32:
      return 4;
    case SampleType::kFloat64:
      return 8;
  }
  return 0;
}

bool IsLinearTag(uint16_t tag) {
  return tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT || tag == WAVE_FORMAT_EXTENSIBLE;
}

uint32_t DefaultChannelMask(uint16_t channels) {
  static constexpr uint32_t kMasks[] = {0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x13F, 0x63F};
  return channels < std::size(kMasks) ? kMasks[channels] : 0;
}

std::optional<LinearFormat> ReadLinearFormat(const WAVEFORMATEX& format) {
  if (format.nChannels == 0 || format.nChannels > kMaxLinearChannels) return std::nullopt;
  if (format.nSamplesPerSec == 0 || format.nSamplesPerSec > kMaxLinearRate) return std::nullopt;
  uint16_t tag = format.wFormatTag;
  uint32_t mask = 0;
  if (tag == WAVE_FORMAT_EXTENSIBLE) {
    if (format.cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) return std::nullopt;
    WAVEFORMATEXTENSIBLE extensible;
    std::memcpy(&extensible, &format, sizeof extensible);
    if (extensible.SubFormat == KSDATAFORMAT_SUBTYPE_PCM)
      tag = WAVE_FORMAT_PCM;
    else if (extensible.SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT)
      tag = WAVE_FORMAT_IEEE_FLOAT;
    else
      return std::nullopt;
    if (extensible.Samples.wValidBitsPerSample > format.wBitsPerSample) return std::nullopt;
    mask = extensible.dwChannelMask;
  }
  SampleType type;
  if (tag == WAVE_FORMAT_PCM) {
    // Samples of fewer bits sit in the high bits of the smallest whole-byte container.
    if (format.wBitsPerSample == 0 || format.wBitsPerSample > 32) return std::nullopt;
    switch ((format.wBitsPerSample + 7) / 8) {
      case 1:
        type = SampleType::kUnsigned8;
        break;
      case 2:
        type = SampleType::kSigned16;
        break;
      case 3:
        type = SampleType::kSigned24;
        break;
      default:
        type = SampleType::kSigned32;
        break;
    }
  } else if (tag == WAVE_FORMAT_IEEE_FLOAT && format.wBitsPerSample == 32) {
    type = SampleType::kFloat32;
  } else if (tag == WAVE_FORMAT_IEEE_FLOAT && format.wBitsPerSample == 64) {
    type = SampleType::kFloat64;
  } else {
    return std::nullopt;
  }
  if (mask == 0) mask = DefaultChannelMask(format.nChannels);
  return LinearFormat{type, format.nChannels, format.nSamplesPerSec, mask};
}

FormatRecord MakeLinearRecord(SampleType type, uint16_t channels, uint32_t rate) {
  WAVEFORMATEX header{};
  const bool floating = type == SampleType::kFloat32 || type == SampleType::kFloat64;
  header.wFormatTag = floating ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
  header.nChannels = channels;
  header.nSamplesPerSec = rate;
  header.nBlockAlign = static_cast<uint16_t>(channels * BytesPerSample(type));
  header.nAvgBytesPerSec = rate * header.nBlockAlign;
  header.wBitsPerSample = static_cast<uint16_t>(8 * BytesPerSample(type));
  header.cbSize = 0;
  return FormatRecord(header);
}

void ReadSamples(SampleType type, const uint8_t* in, size_t count, int32_t* out) {
  switch (type) {
    case SampleType::kUnsigned8:
      for (size_t i = 0; i < count; ++i)
        out[i] = (static_cast<int32_t>(in[i]) - 128) * 16777216;
      break;
    case SampleType::kSigned16:
      for (size_t i = 0; i < count; ++i) {
        int16_t v;
        std::memcpy(&v, in + 2 * i, 2);
        out[i] = static_cast<int32_t>(v) * 65536;
      }
      break;
    case SampleType::kSigned24:
      for (size_t i = 0; i < count; ++i) {
        const uint32_t v = static_cast<uint32_t>(in[3 * i]) << 8 |
                           static_cast<uint32_t>(in[3 * i + 1]) << 16 |
                           static_cast<uint32_t>(in[3 * i + 2]) << 24;
        out[i] = static_cast<int32_t>(v);
      }
      break;
    case SampleType::kSigned32:
      std::memcpy(out, in, count * 4);
      break;
    case SampleType::kFloat32:
      for (size_t i = 0; i < count; ++i) {
        float f;
        std::memcpy(&f, in + 4 * i, 4);
        out[i] = FloatToSample(f);
      }
      break;
    case SampleType::kFloat64:
      for (size_t i = 0; i < count; ++i) {
        double d;
        std::memcpy(&d, in + 8 * i, 8);
        out[i] = DoubleToSample(d);
      }
      break;
  }
}

void WriteSamples(SampleType type, const int32_t* in, size_t count, uint8_t* out) {
  switch (type) {
    case SampleType::kUnsigned8:
      for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<uint8_t>(RoundShift(in[i], 24, 127) + 128);
      break;
    case SampleType::kSigned16:
      for (size_t i = 0; i < count; ++i) {
        const auto v = static_cast<int16_t>(RoundShift(in[i], 16, 32767));
        std::memcpy(out + 2 * i, &v, 2);
      }
      break;
    case SampleType::kSigned24:
      for (size_t i = 0; i < count; ++i) {
        const auto v = static_cast<uint32_t>(RoundShift(in[i], 8, 0x7FFFFF));
        out[3 * i] = static_cast<uint8_t>(v);
        out[3 * i + 1] = static_cast<uint8_t>(v >> 8);
        out[3 * i + 2] = static_cast<uint8_t>(v >> 16);
      }
      break;
    case SampleType::kSigned32:
      std::memcpy(out, in, count * 4);
      break;
    case SampleType::kFloat32:
      for (size_t i = 0; i < count; ++i) {
        const float f = static_cast<float>(in[i]) * (1.0f / 2147483648.0f);
        std::memcpy(out + 4 * i, &f, 4);
      }
      break;
    case SampleType::kFloat64:
      for (size_t i = 0; i < count; ++i) {
        const double d = static_cast<double>(in[i]) * (1.0 / 2147483648.0);
        std::memcpy(out + 8 * i, &d, 8);
      }
      break;
  }
}

void SamplesToInt16(const int32_t* in, size_t count, int16_t* out) {
  for (size_t i = 0; i < count; ++i)
    out[i] = static_cast<int16_t>(RoundShift(in[i], 16, 32767));
}

// ---- ChannelMixer

ChannelMixer::ChannelMixer(uint16_t from, uint32_t from_mask, uint16_t to, uint32_t to_mask)
    : kind_(Kind::kMatrix), from_(from), to_(to), matrix_(size_t{from} * to, 0.0) {
  const auto source = Positions(from, from_mask);
  const auto target = Positions(to, to_mask);
  auto weight = [&](int t, int s) -> double& { return matrix_[size_t(t) * from + s]; };
  const int left = Find(target, SPEAKER_FRONT_LEFT), right = Find(target, SPEAKER_FRONT_RIGHT);
  const int centre = Find(target, SPEAKER_FRONT_CENTER);
  for (int s = 0; s < from; ++s) {
    const uint32_t position = source[s];
    if (to == 1) {
      const auto [l, r] = StereoFold(position);
      weight(0, s) = from == 1 ? 1.0 : (l + r) / 2;
    } else if (from == 1) {
      if (centre >= 0) {
        weight(centre, 0) = 1;
      } else if (left >= 0 && right >= 0) {
        weight(left, 0) = weight(right, 0) = 1;
      } else {
        weight(0, 0) = 1;
      }
    } else if (const int same = position ? Find(target, position) : -1; same >= 0) {
      weight(same, s) = 1;
    } else if (position == 0 && s < to && target[s] == 0) {
      weight(s, s) = 1;  // channels of unknown position pair up by index
    } else {
      const auto [l, r] = StereoFold(position);
      if (left >= 0 && right >= 0) {
        weight(left, s) += l;
        weight(right, s) += r;
      } else if (centre >= 0) {
        weight(centre, s) += (l + r) / 2;
      }
    }
  }
  double loudest = 0;
  for (int t = 0; t < to; ++t) {
    double sum = 0;
    for (int s = 0; s < from; ++s)
      sum += std::abs(weight(t, s));
    loudest = std::max(loudest, sum);
  }
  if (loudest > 1)
    for (double& w : matrix_)
      w /= loudest;

  bool identity = from == to;
  for (int t = 0; t < to && identity; ++t)
    for (int s = 0; s < from && identity; ++s)
      identity = weight(t, s) == (t == s ? 1.0 : 0.0);
  if (identity)
    kind_ = Kind::kIdentity;
  else if (from == 2 && to == 1 && weight(0, 0) == 0.5 && weight(0, 1) == 0.5)
    kind_ = Kind::kStereoToMono;
  else if (from == 1 && to == 2 && weight(0, 0) == 1 && weight(1, 0) == 1)
    kind_ = Kind::kMonoToStereo;
}

void ChannelMixer::Mix(const int32_t* in, size_t frames, int32_t* out) const {
  switch (kind_) {
    case Kind::kIdentity:
      std::memcpy(out, in, frames * from_ * sizeof(int32_t));
      return;
    case Kind::kStereoToMono:
      for (size_t i = 0; i < frames; ++i)
        out[i] = static_cast<int32_t>((int64_t{in[2 * i]} + in[2 * i + 1]) >> 1);
      return;
    case Kind::kMonoToStereo:
      for (size_t i = 0; i < frames; ++i)
        out[2 * i] = out[2 * i + 1] = in[i];
      return;
    case Kind::kMatrix:
      for (size_t i = 0; i < frames; ++i, in += from_, out += to_) {
        for (int t = 0; t < to_; ++t) {
          const double* row = &matrix_[size_t(t) * from_];
          double sum = 0;
          for (int s = 0; s < from_; ++s)
            sum += row[s] * in[s];
          sum += sum >= 0 ? 0.5 : -0.5;
          out[t] = sum >= 2147483647.0    ? INT32_MAX
                   : sum <= -2147483648.0 ? INT32_MIN
                                          : static_cast<int32_t>(sum);
        }
      }
      return;
  }
}

// ---- Resampler

bool CanResample(uint32_t from, uint32_t to) {
  if (from == to) return true;
  return from != 0 && to != 0 && uint64_t{from} <= uint64_t{to} * kMaxResampleRatio &&
         uint64_t{to} <= uint64_t{from} * kMaxResampleRatio;
}

std::unique_ptr<Resampler> Resampler::Create(uint32_t from, uint32_t to, uint16_t channels) {
  if (from == to || !CanResample(from, to) || channels == 0) return nullptr;
  const soxr_io_spec_t io = soxr_io_spec(SOXR_INT32_I, SOXR_INT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_error_t error = nullptr;
  soxr_t handle;
  {
    std::lock_guard<std::mutex> hold(SoxrCreateLock());
    handle = soxr_create(from, to, channels, &error, &io, &quality, &runtime);
  }
  if (error || !handle) {
    if (handle) soxr_delete(handle);
    return nullptr;
  }
  return std::make_unique<Resampler>(Key{}, handle, static_cast<double>(to) / from, channels);
}

Resampler::Resampler(Key, void* handle, double ratio, uint16_t channels)
    : handle_(handle), ratio_(ratio), channels_(channels) {}

Resampler::~Resampler() {
  soxr_delete(static_cast<soxr_t>(handle_));
}

void Resampler::Process(const int32_t* in, size_t frames, SampleFifo<int32_t>& out) {
  auto handle = static_cast<soxr_t>(handle_);
  size_t used = 0;
  for (;;) {
    const size_t room = static_cast<size_t>(std::ceil((frames - used) * ratio_)) + 64;
    int32_t* space = out.Grow(room * channels_);
    size_t taken = 0, made = 0;
    const soxr_error_t error =
        soxr_process(handle, in + used * channels_, frames - used, &taken, space, room, &made);
    out.Trim((room - made) * channels_);
    used += taken;
    if (error || (used >= frames && made < room) || (taken == 0 && made == 0)) return;
  }
}

void Resampler::Flush(SampleFifo<int32_t>& out) {
  auto handle = static_cast<soxr_t>(handle_);
  for (;;) {
    constexpr size_t kRoom = 4096;
    int32_t* space = out.Grow(kRoom * channels_);
    size_t made = 0;
    const soxr_error_t error = soxr_process(handle, nullptr, 0, nullptr, space, kRoom, &made);
    out.Trim((kRoom - made) * channels_);
    if (error || made < kRoom) break;
  }
  soxr_clear(handle);
}

void Resampler::Reset() {
  soxr_clear(static_cast<soxr_t>(handle_));
}

// ---- LinearPipeline

std::unique_ptr<LinearPipeline> LinearPipeline::Create(const LinearFormat& source,
                                                       uint16_t channels, uint32_t channel_mask,
                                                       uint32_t rate) {
  if (channels == 0 || channels > kMaxLinearChannels) return nullptr;
  std::unique_ptr<Resampler> resampler;
  if (rate != source.rate) {
    resampler = Resampler::Create(source.rate, rate, channels);
    if (!resampler) return nullptr;
  }
  ChannelMixer mixer(source.channels, source.channel_mask, channels,
                     channel_mask ? channel_mask : DefaultChannelMask(channels));
  return std::make_unique<LinearPipeline>(Key{}, source, std::move(mixer), std::move(resampler));
}

LinearPipeline::LinearPipeline(Key, const LinearFormat& source, ChannelMixer mixer,
                               std::unique_ptr<Resampler> resampler)
    : source_(source),
      mixer_(std::move(mixer)),
      resampler_(std::move(resampler)),
      read_(kChunkFrames * source.channels),
      mixed_(kChunkFrames * mixer_.To()) {}

void LinearPipeline::Push(const uint8_t* source, size_t frames, SampleFifo<int16_t>& out) {
  PushFrames(source, frames, out);
}

void LinearPipeline::Push(const uint8_t* source, size_t frames, SampleFifo<int32_t>& out) {
  PushFrames(source, frames, out);
}

template <typename T>
void LinearPipeline::PushFrames(const uint8_t* source, size_t frames, SampleFifo<T>& out) {
  const size_t channels = mixer_.To();
  const uint32_t frame_bytes = source_.FrameBytes();
  while (frames > 0) {
    const size_t n = std::min(frames, kChunkFrames);
    const bool direct = mixer_.Identity() && !resampler_;
    if constexpr (std::is_same_v<T, int16_t>) {
      if (direct && source_.type == SampleType::kSigned16) {
        std::memcpy(out.Grow(n * channels), source, n * frame_bytes);
        source += n * frame_bytes;
        frames -= n;
        continue;
      }
    }
    const int32_t* samples;
    if constexpr (std::is_same_v<T, int32_t>) {
      if (direct) {
        ReadSamples(source_.type, source, n * channels, out.Grow(n * channels));
        source += n * frame_bytes;
        frames -= n;
        continue;
      }
    }
    ReadSamples(source_.type, source, n * source_.channels, read_.data());
    samples = read_.data();
    if (!mixer_.Identity()) {
      mixer_.Mix(read_.data(), n, mixed_.data());
      samples = mixed_.data();
    }
    if (resampler_) {
      if constexpr (std::is_same_v<T, int32_t>) {
        resampler_->Process(samples, n, out);
      } else {
        resampler_->Process(samples, n, resampled_);
        Deliver(resampled_, out);
      }
    } else if constexpr (std::is_same_v<T, int32_t>) {
      std::memcpy(out.Grow(n * channels), samples, n * channels * sizeof(int32_t));
    } else {
      SamplesToInt16(samples, n * channels, out.Grow(n * channels));
    }
    source += n * frame_bytes;
    frames -= n;
  }
}

template <typename T>
void LinearPipeline::Deliver(SampleFifo<int32_t>& resampled, SampleFifo<T>& out) {
  SamplesToInt16(resampled.Data(), resampled.Size(), out.Grow(resampled.Size()));
  resampled.Clear();
}

void LinearPipeline::Flush(SampleFifo<int16_t>& out) {
  if (!resampler_) return;
  resampler_->Flush(resampled_);
  Deliver(resampled_, out);
}

void LinearPipeline::Flush(SampleFifo<int32_t>& out) {
  if (resampler_) resampler_->Flush(out);
}

void LinearPipeline::Reset() {
  if (resampler_) resampler_->Reset();
  resampled_.Clear();
}

uint64_t LinearPipeline::MaxTargetFrames(uint64_t source_frames) const {
  if (!resampler_) return source_frames;
  return static_cast<uint64_t>(
             std::ceil(static_cast<double>(source_frames) * resampler_->Ratio())) +
         kResampleSlack;
}

uint64_t LinearPipeline::SourceFramesWithin(uint64_t target_frames) const {
  if (!resampler_) return target_frames;
  if (target_frames <= kResampleSlack) return 0;
  return static_cast<uint64_t>(
      std::floor(static_cast<double>(target_frames - kResampleSlack) / resampler_->Ratio()));
}

}  // namespace acm
