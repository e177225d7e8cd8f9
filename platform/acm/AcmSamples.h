#pragma once

// The linear sample layer every driver shares: reading and writing every linear format,
// channel mixing, resampling (libsoxr), and the pipeline that brings any linear source to the
// channels and rate a codec carries. Inside the layer samples are 32-bit signed with full scale
// at 2^31, which holds 8, 16, 24 and 32-bit PCM exactly and float to far below audibility.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "platform/acm/Acm.h"
#include "platform/acm/AcmDriver.h"

namespace acm {

enum class SampleType : uint8_t { kUnsigned8, kSigned16, kSigned24, kSigned32, kFloat32, kFloat64 };

uint32_t BytesPerSample(SampleType type);

// Limits of the linear formats the layer takes.
constexpr uint16_t kMaxLinearChannels = 64;
constexpr uint32_t kMaxLinearRate = 1'536'000;
// The largest rate change one resampler makes, either way.
constexpr uint32_t kMaxResampleRatio = 256;

struct LinearFormat {
  SampleType type;
  uint16_t channels;
  uint32_t rate;
  uint32_t channel_mask;  // speaker positions; DefaultChannelMask when the record has none

  uint32_t FrameBytes() const { return channels * BytesPerSample(type); }
  uint16_t Bits() const { return static_cast<uint16_t>(8 * BytesPerSample(type)); }
};

bool IsLinearTag(uint16_t tag);
// The usual positions for a channel count (mono is front centre; 0 above 8 channels).
uint32_t DefaultChannelMask(uint16_t channels);

// Reads a linear record: PCM (tag 1) of 8, 16, 24 or 32-bit containers (fewer bits, such as 12
// or 20, are read as their container: the unused low bits are zero), 32 or 64-bit float
// (tag 3), or WAVE_FORMAT_EXTENSIBLE of either (cbSize at least 22; its valid bits may be
// fewer than the container's). A PCM record's block alignment and byte rate are not trusted:
// they follow from channels and container. Anything else: none.
std::optional<LinearFormat> ReadLinearFormat(const WAVEFORMATEX& format);
// The PCM (tag 1) or float (tag 3) record of a format; the channel mask is not recorded.
// Callers that need a mask, valid bits or more than 16 bits written by the published rules use
// MakeExtensibleRecord.
FormatRecord MakeLinearRecord(SampleType type, uint16_t channels, uint32_t rate);

// Samples of a linear format's bytes to and from the layer. Narrowing rounds to nearest and
// saturates; float input has NaN taken as 0 and is clipped to full scale.
void ReadSamples(SampleType type, const uint8_t* in, size_t count, int32_t* out);
void WriteSamples(SampleType type, const int32_t* in, size_t count, uint8_t* out);
void SamplesToInt16(const int32_t* in, size_t count, int16_t* out);

// A growable run of samples, consumed from the front; new space is not cleared.
template <typename T>
class SampleFifo {
 public:
  size_t Size() const { return size_; }
  T* Data() { return data_.get(); }
  const T* Data() const { return data_.get(); }
  // Appends count samples of unspecified value and answers where they start.
  T* Grow(size_t count) {
    if (size_ + count > capacity_) {
      const size_t capacity = std::max(size_ + count, capacity_ * 2);
      auto data = std::make_unique_for_overwrite<T[]>(capacity);
      if (size_ != 0) std::memcpy(data.get(), data_.get(), size_ * sizeof(T));
      data_ = std::move(data);
      capacity_ = capacity;
    }
    size_ += count;
    return data_.get() + size_ - count;
  }
  // Removes count samples from the end.
  void Trim(size_t count) { size_ -= std::min(count, size_); }
  // Removes count samples from the front.
  void Consume(size_t count) {
    count = std::min(count, size_);
    if (count < size_) std::memmove(data_.get(), data_.get() + count, (size_ - count) * sizeof(T));
    size_ -= count;
  }
  void Clear() { size_ = 0; }

 private:
  std::unique_ptr<T[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Channel mixing by speaker position: channels both sides have are copied; a mono source is
// duplicated into front left and right (or goes to the centre where the target has one);
// the others fold into the target's front pair (centre and surrounds at -3 dB, the
// low-frequency channel dropped), or into its centre; rows are scaled so that nothing clips.
class ChannelMixer {
 public:
  ChannelMixer(uint16_t from, uint32_t from_mask, uint16_t to, uint32_t to_mask);
  bool Identity() const { return kind_ == Kind::kIdentity; }
  uint16_t From() const { return from_; }
  uint16_t To() const { return to_; }
  // Mixes frames; in holds frames × From samples, out frames × To.
  void Mix(const int32_t* in, size_t frames, int32_t* out) const;
  // The weight of source channel s in target channel t.
  double Weight(uint16_t t, uint16_t s) const { return matrix_[t * from_ + s]; }

 private:
  enum class Kind { kIdentity, kStereoToMono, kMonoToStereo, kMatrix };
  Kind kind_;
  uint16_t from_;
  uint16_t to_;
  std::vector<double> matrix_;  // to_ rows of from_ weights
};

// Whether one resampler takes from to to (equal rates need none).
bool CanResample(uint32_t from, uint32_t to);

// A high-quality resampler of interleaved 32-bit frames (libsoxr).
class Resampler {
 public:
  // None when the rates are out of reach (ratio above kMaxResampleRatio) or soxr refuses.
  static std::unique_ptr<Resampler> Create(uint32_t from, uint32_t to, uint16_t channels);
  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  // Appends the output of frames input frames.
  void Process(const int32_t* in, size_t frames, SampleFifo<int32_t>& out);
  // Appends everything the resampler still holds, as at the end of the signal; then it is
  // ready for a new signal.
  void Flush(SampleFifo<int32_t>& out);
  void Reset();
  double Ratio() const { return ratio_; }

 private:
  struct Key {
    explicit Key() = default;
  };

 public:
  Resampler(Key, void* handle, double ratio, uint16_t channels);

 private:
  void* handle_;  // the soxr resampler
  double ratio_;
  uint16_t channels_;
};

// Brings a linear source to a number of channels and a rate: read, mix, resample. It delivers
// 16-bit samples (for codecs) or the layer's 32-bit samples (for the PCM converter).
class LinearPipeline {
 public:
  // None when no resampler reaches the rate.
  static std::unique_ptr<LinearPipeline> Create(const LinearFormat& source, uint16_t channels,
                                                uint32_t channel_mask, uint32_t rate);

  const LinearFormat& Source() const { return source_; }
  uint16_t Channels() const { return mixer_.To(); }
  bool Resamples() const { return resampler_ != nullptr; }
  // Neither mixes nor resamples: frames keep their samples, only their type may change.
  bool Direct() const { return mixer_.Identity() && !resampler_; }

  // Converts whole source frames and appends the target frames.
  void Push(const uint8_t* source, size_t frames, SampleFifo<int16_t>& out);
  void Push(const uint8_t* source, size_t frames, SampleFifo<int32_t>& out);
  // Appends the resampler's tail at the end of the signal (nothing without resampling).
  void Flush(SampleFifo<int16_t>& out);
  void Flush(SampleFifo<int32_t>& out);
  void Reset();

  // At most how many target frames source_frames produce in one Push.
  uint64_t MaxTargetFrames(uint64_t source_frames) const;
  // How many source frames at most keep one Push within target_frames.
  uint64_t SourceFramesWithin(uint64_t target_frames) const;

 private:
  struct Key {
    explicit Key() = default;
  };

 public:
  LinearPipeline(Key, const LinearFormat& source, ChannelMixer mixer,
                 std::unique_ptr<Resampler> resampler);

 private:
  template <typename T>
  void PushFrames(const uint8_t* source, size_t frames, SampleFifo<T>& out);
  template <typename T>
  void Deliver(SampleFifo<int32_t>& resampled, SampleFifo<T>& out);

  LinearFormat source_;
  ChannelMixer mixer_;
  std::unique_ptr<Resampler> resampler_;
  std::vector<int32_t> read_;   // one chunk of source samples
  std::vector<int32_t> mixed_;  // the chunk after mixing
  SampleFifo<int32_t> resampled_;
};

}  // namespace acm
