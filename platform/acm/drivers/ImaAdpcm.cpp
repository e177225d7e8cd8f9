#include "platform/acm/drivers/ImaAdpcm.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "platform/acm/AcmCodec.h"

namespace acm {

namespace {

constexpr int kMaxStepIndex = 88;

constexpr int16_t kSteps[kMaxStepIndex + 1] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

constexpr int8_t kIndexChange[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

// Samples the encoder tries a block's candidate step indexes on.
constexpr uint32_t kTrialSamples = 48;

// What one nibble does at one step index: the signed change of the prediction (the
// reference sum of shifted steps), the change a decoder computing (2 × nibble + 1) × step / 8
// makes instead, and the next step index and its step.
struct Transition {
  int32_t change;
  int32_t product_change;
  int32_t next;
  int32_t next_step;
};

using TransitionTable = std::array<Transition, (kMaxStepIndex + 1) * 16>;

constexpr TransitionTable MakeTransitions() {
  TransitionTable table{};
  for (int index = 0; index <= kMaxStepIndex; ++index)
    for (int nibble = 0; nibble < 16; ++nibble) {
      const int step = kSteps[index];
      int change = step >> 3;
      if (nibble & 4) change += step;
      if (nibble & 2) change += step >> 1;
      if (nibble & 1) change += step >> 2;
      const int product = ((2 * (nibble & 7) + 1) * step) >> 3;
      const int next = std::clamp(index + kIndexChange[nibble], 0, kMaxStepIndex);
      table[index * 16 + nibble] = {nibble & 8 ? -change : change, nibble & 8 ? -product : product,
                                    next, kSteps[next]};
    }
  return table;
}

constexpr TransitionTable kTransitions = MakeTransitions();

int16_t ReadInt16(const uint8_t* p) {
  int16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

int Clamp16(int v) {
  return std::clamp(v, -32768, 32767);
}

// Decoders compute a nibble's change in two ways: the reference sums shifted steps, others
// multiply, (2 × nibble + 1) × step / 8. The two differ by up to 2 per sample, and the
// difference adds up over a block: coded for the reference alone, a quiet passage decoded the
// other way drifts by hundreds of units. So the encoder follows both predictions and weighs
// a candidate nibble by the squared error of both plus kDriftWeight times their squared
// distance.
constexpr int64_t kDriftWeight = 4;

int64_t Cost(int sample, int a, int b) {
  const int64_t ea = sample - a, eb = sample - b, d = a - b;
  return ea * ea + eb * eb + kDriftWeight * d * d;
}

// The coder state of one channel.
struct Coder {
  int predictor;  // of the reference decoder
  int shadow;     // of a multiplying decoder
  int index;
  int step;
};

// The truncating quantiser: the magnitude is how many of its thresholds the difference
// reaches (the same as subtracting step, step / 2 and step / 4 in turn, but compared side by
// side rather than one after the other), and the changes are worked out, not looked up.
struct Truncation {
  uint32_t sign;  // 8 for a negative difference
  uint32_t magnitude;
  int next;         // the reference prediction after the nibble
  int next_shadow;  // the multiplying one
};

[[gnu::always_inline]] inline Truncation Truncate(int sample, int predictor, int shadow, int step) {
  const int diff = sample - predictor;
  const int negative = diff >> 31;  // 0 or -1
  const int d = (diff ^ negative) - negative;
  const int s = step, h = s >> 1, q = s >> 2;
  const uint32_t magnitude = uint32_t{d >= q} + uint32_t{d >= h} + uint32_t{d >= h + q} +
                             uint32_t{d >= s} + uint32_t{d >= s + q} + uint32_t{d >= s + h} +
                             uint32_t{d >= s + h + q};
  const int change =
      (s >> 3) + (magnitude & 4 ? s : 0) + (magnitude & 2 ? h : 0) + (magnitude & 1 ? q : 0);
  const int product = ((2 * static_cast<int>(magnitude) + 1) * s) >> 3;
  return {static_cast<uint32_t>(negative) & 8, magnitude,
          Clamp16(predictor + ((change ^ negative) - negative)),
          Clamp16(shadow + ((product ^ negative) - negative))};
}

// One sample through the quantiser; answers the nibble and updates the coder. The truncating
// quantiser's nibble and its two neighbours are weighed with one sample of look-ahead: each
// by its own cost plus the cost of the truncating quantiser's nibble for the following sample
// from where it leads. That keeps both decoders' predictions together where it is cheapest
// and codes better than a nibble-by-nibble choice.
[[gnu::always_inline]] inline uint32_t Quantise(int sample, int following, Coder& c) {
  const Truncation first = Truncate(sample, c.predictor, c.shadow, c.step);
  const Transition* row = &kTransitions[c.index * 16];
  uint32_t candidates[3] = {first.sign | first.magnitude, 0, 0};
  int count = 1;
  if (first.magnitude > 0) candidates[count++] = first.sign | (first.magnitude - 1);
  if (first.magnitude < 7) candidates[count++] = first.sign | (first.magnitude + 1);
  uint32_t nibble = candidates[0];
  int next = first.next, next_shadow = first.next_shadow;
  int64_t least = INT64_MAX;
  for (int i = 0; i < count; ++i) {
    const Transition& t = row[candidates[i]];
    const int a = i == 0 ? first.next : Clamp16(c.predictor + t.change);
    const int b = i == 0 ? first.next_shadow : Clamp16(c.shadow + t.product_change);
    const Truncation then = Truncate(following, a, b, t.next_step);
    const int64_t cost = Cost(sample, a, b) + Cost(following, then.next, then.next_shadow);
    if (cost < least) {
      least = cost;
      nibble = candidates[i];
      next = a;
      next_shadow = b;
    }
  }
  const Transition& t = row[nibble];
  c.predictor = next;
  c.shadow = next_shadow;
  c.index = t.next;
  c.step = t.next_step;
  return nibble;
}

// The squared error of coding the first samples of a block's channel from a step index.
int64_t TrialError(const int16_t* x, uint16_t channels, uint32_t count, int index) {
  Coder c{x[0], x[0], index, kSteps[index]};
  int64_t error = 0;
  for (uint32_t j = 1; j <= count; ++j) {
    const int sample = x[j * channels];
    Quantise(sample, j < count ? x[(j + 1) * channels] : sample, c);
    const int64_t e = sample - c.predictor, f = sample - c.shadow;
    error += e * e + f * f;
  }
  return error;
}

// The step index whose step is nearest the mean difference between the block's first samples.
int MatchedIndex(const int16_t* x, uint16_t channels, uint32_t count) {
  const uint32_t n = std::min<uint32_t>(count, 8);
  if (n == 0) return 0;
  int sum = 0;
  for (uint32_t j = 1; j <= n; ++j)
    sum += std::abs(x[j * channels] - x[(j - 1) * channels]);
  const int mean = sum / static_cast<int>(n);
  const auto it = std::lower_bound(std::begin(kSteps), std::end(kSteps), mean);
  return static_cast<int>(std::min<ptrdiff_t>(it - std::begin(kSteps), kMaxStepIndex));
}

// Starts a channel's block: the step index (carried or matched, whichever codes the first
// samples better) and the header.
Coder StartChannel(const int16_t* frames, uint16_t channels, uint16_t channel,
                   uint32_t samples_per_block, int32_t carried, uint8_t* out) {
  const int16_t* x = frames + channel;
  int index = std::clamp<int>(carried, 0, kMaxStepIndex);
  const uint32_t trial = std::min(samples_per_block - 1, kTrialSamples);
  const int matched = MatchedIndex(x, channels, trial);
  if (matched != index &&
      TrialError(x, channels, trial, matched) < TrialError(x, channels, trial, index))
    index = matched;
  std::memcpy(out + 4 * channel, &x[0], 2);
  out[4 * channel + 2] = static_cast<uint8_t>(index);
  out[4 * channel + 3] = 0;
  return Coder{x[0], x[0], index, kSteps[index]};
}

// Codes the groups of a block, all channels in the same pass (their coders are independent,
// so the processor works on them side by side).
template <int kChannels>
void EncodeGroups(const int16_t* frames, uint32_t samples_per_block, Coder* coders, uint8_t* out) {
  // Local copies stay in registers: the byte stores below could alias the caller's coders.
  Coder local[kChannels];
  std::copy(coders, coders + kChannels, local);
  uint8_t* group = out + 4 * kChannels;
  const int16_t* sample = frames + kChannels;
  const int16_t* last = frames + (samples_per_block - 1) * kChannels;
  for (uint32_t g = 0; g < (samples_per_block - 1) / 8; ++g, group += 4 * kChannels) {
    uint32_t words[kChannels] = {};
    for (int k = 0; k < 8; ++k, sample += kChannels) {
      const int16_t* following = sample == last ? sample : sample + kChannels;
      for (int c = 0; c < kChannels; ++c)
        words[c] |= Quantise(sample[c], following[c], local[c]) << (4 * k);
    }
    for (int c = 0; c < kChannels; ++c)
      for (int b = 0; b < 4; ++b)
        group[4 * c + b] = static_cast<uint8_t>(words[c] >> (8 * b));
  }
  std::copy(local, local + kChannels, coders);
}

class ImaEncoder final : public BlockEncoder {
 public:
  ImaEncoder(uint16_t channels, uint16_t block_align, uint32_t samples_per_block)
      : channels_(channels), block_align_(block_align), samples_per_block_(samples_per_block) {}
  uint32_t FramesPerBlock() const override { return samples_per_block_; }
  uint32_t MaxBytesPerBlock() const override { return block_align_; }
  size_t Encode(const int16_t* frames, size_t blocks, uint8_t* out) override {
    for (size_t b = 0; b < blocks; ++b)
      ImaEncodeBlock(frames + b * samples_per_block_ * channels_, channels_, samples_per_block_,
                     step_indexes_, out + b * block_align_);
    return blocks * block_align_;
  }
  void Reset() override { step_indexes_[0] = step_indexes_[1] = 0; }

 private:
  uint16_t channels_;
  uint16_t block_align_;
  uint32_t samples_per_block_;
  int32_t step_indexes_[2] = {0, 0};
};

class ImaDecoder final : public BlockDecoder {
 public:
  ImaDecoder(uint16_t channels, uint16_t block_align, uint32_t samples_per_block)
      : channels_(channels), block_align_(block_align), samples_per_block_(samples_per_block) {}
  uint32_t BytesPerBlock() const override { return block_align_; }
  uint32_t FramesPerBlock() const override { return samples_per_block_; }
  uint16_t Channels() const override { return channels_; }
  uint32_t PartialFrames(uint32_t bytes) const override { return ImaFramesIn(bytes, channels_); }
  void Decode(const uint8_t* in, size_t blocks, int16_t* out) override {
    for (size_t b = 0; b < blocks; ++b)
      ImaDecodeBlock(in + b * block_align_, block_align_, channels_,
                     out + b * samples_per_block_ * channels_);
  }
  void DecodePartial(const uint8_t* in, uint32_t bytes, int16_t* out) override {
    ImaDecodeBlock(in, bytes, channels_, out);
  }

 private:
  uint16_t channels_;
  uint16_t block_align_;
  uint32_t samples_per_block_;
};

uint16_t SamplesPerBlockField(const WAVEFORMATEX& format) {
  uint16_t value;
  std::memcpy(&value, reinterpret_cast<const uint8_t*>(&format) + sizeof(WAVEFORMATEX), 2);
  return value;
}

class ImaDriver final : public CodecDriver {
 public:
  ImaDriver()
      : CodecDriver(TagCaps{WAVE_FORMAT_IMA_ADPCM,
                            "IMA ADPCM",
                            1000,
                            192000,
                            1,
                            2,
                            {4},
                            sizeof(IMAADPCMWAVEFORMAT),
                            ACMDRIVERDETAILS_SUPPORTF_CODEC}) {}

  FormatRecord MakeFormat(uint16_t channels, uint32_t rate) const override {
    const uint16_t align = StandardAdpcmBlockAlign(rate, channels);
    const uint32_t samples = ImaSamplesPerBlock(align, channels);
    const auto bytes_per_second = static_cast<uint32_t>(uint64_t{rate} * align / samples);
    const WAVEFORMATEX header{WAVE_FORMAT_IMA_ADPCM, channels, rate, bytes_per_second, align, 4, 2};
    const auto field = static_cast<uint16_t>(samples);
    return FormatRecord(header, {reinterpret_cast<const uint8_t*>(&field), 2});
  }

  bool CheckFormat(const WAVEFORMATEX& format) const override {
    if (!CheckCommonFields(format) || format.cbSize < 2) return false;
    const uint32_t samples = ImaSamplesPerBlock(format.nBlockAlign, format.nChannels);
    return samples > 1 && samples == SamplesPerBlockField(format);
  }

 protected:
  std::unique_ptr<BlockEncoder> MakeEncoder(const WAVEFORMATEX& format) const override {
    return std::make_unique<ImaEncoder>(format.nChannels, format.nBlockAlign,
                                        SamplesPerBlockField(format));
  }
  std::unique_ptr<BlockDecoder> MakeDecoder(const WAVEFORMATEX& format) const override {
    return std::make_unique<ImaDecoder>(format.nChannels, format.nBlockAlign,
                                        SamplesPerBlockField(format));
  }
};

}  // namespace

uint32_t ImaSamplesPerBlock(uint32_t block_align, uint16_t channels) {
  if (channels == 0 || block_align < 4u * channels ||
      (block_align - 4u * channels) % (4u * channels))
    return 0;
  return 2 * (block_align - 4 * channels) / channels + 1;
}

uint32_t ImaFramesIn(uint32_t bytes, uint16_t channels) {
  if (channels == 0 || bytes < 4u * channels) return 0;
  return 1 + 8 * ((bytes - 4 * channels) / (4 * channels));
}

void ImaEncodeBlock(const int16_t* frames, uint16_t channels, uint32_t samples_per_block,
                    int32_t* step_indexes, uint8_t* out) {
  Coder coders[2] = {};
  for (uint16_t c = 0; c < channels; ++c)
    coders[c] = StartChannel(frames, channels, c, samples_per_block, step_indexes[c], out);
  if (channels == 1)
    EncodeGroups<1>(frames, samples_per_block, coders, out);
  else
    EncodeGroups<2>(frames, samples_per_block, coders, out);
  for (uint16_t c = 0; c < channels; ++c)
    step_indexes[c] = coders[c].index;
}

uint32_t ImaDecodeBlock(const uint8_t* in, uint32_t bytes, uint16_t channels, int16_t* out) {
  const uint32_t frames = ImaFramesIn(bytes, channels);
  if (frames == 0) return 0;
  const uint32_t groups = (frames - 1) / 8;
  for (uint16_t c = 0; c < channels; ++c) {
    int predictor = ReadInt16(in + 4 * c);
    int index = std::min<int>(in[4 * c + 2], kMaxStepIndex);
    int16_t* sample = out + c;
    *sample = static_cast<int16_t>(predictor);
    sample += channels;
    const uint8_t* group = in + 4 * channels + 4 * c;
    for (uint32_t g = 0; g < groups; ++g, group += 4 * channels) {
      for (int b = 0; b < 4; ++b) {
        for (const uint32_t nibble : {group[b] & 0x0Fu, uint32_t{group[b]} >> 4}) {
          const Transition& t = kTransitions[index * 16 + nibble];
          predictor = std::clamp(predictor + t.change, -32768, 32767);
          index = t.next;
          *sample = static_cast<int16_t>(predictor);
          sample += channels;
        }
      }
    }
  }
  return frames;
}

std::shared_ptr<Driver> MakeImaAdpcmDriver() {
  return std::make_shared<ImaDriver>();
}

}  // namespace acm
