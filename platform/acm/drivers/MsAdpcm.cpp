#include "platform/acm/drivers/MsAdpcm.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/acm/AcmCodec.h"

namespace acm {

const ADPCMCOEFSET kMsAdpcmCoefficients[7] = {{256, 0}, {512, -256}, {0, 0},     {192, 64},
                                              {240, 0}, {460, -208}, {392, -232}};

namespace {

constexpr int kAdaptation[16] = {230, 230, 230, 230, 307, 409, 512, 614,
                                 768, 614, 512, 409, 307, 230, 230, 230};
constexpr int kMinDelta = 16;
constexpr int kMaxDelta = 32767;
// The decoder's delta never grows past what its next multiplication keeps in 32 bits.
constexpr int64_t kDecoderDeltaLimit = INT32_MAX / 768;
// Samples the encoder tries a block's candidate deltas on.
constexpr uint32_t kTrialSamples = 32;

int16_t ReadInt16(const uint8_t* p) {
  int16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

void WriteInt16(uint8_t* p, int v) {
  const auto s = static_cast<int16_t>(v);
  std::memcpy(p, &s, 2);
}

int Predict(int s1, int s2, const ADPCMCOEFSET& c) {
  return static_cast<int>((int64_t{s1} * c.iCoef1 + int64_t{s2} * c.iCoef2) >> 8);
}

// Decoders compute the prediction in two ways: the reference shifts (rounding down), others
// divide by 256 (rounding toward zero). Through the second-order predictors the difference
// grows within a block, so the encoder follows both predictions (a Track) and chooses nibbles
// and predictors by the squared error of both plus this weight times their squared distance.
constexpr int64_t kDriftWeight = 4;

int PredictTruncating(int s1, int s2, const ADPCMCOEFSET& c) {
  return static_cast<int>((int64_t{s1} * c.iCoef1 + int64_t{s2} * c.iCoef2) / 256);
}

struct Track {
  int s1, s2;  // the last two samples of the reference decoder
  int t1, t2;  // and of a truncating one
};

// round(error / delta) within the nibble's range -8..7: how many of the midpoints
// (2k - 1) × delta / 2 the error passes.
inline int Round(int64_t error, int delta) {
  const int64_t twice = 2 * (error < 0 ? -error : error);
  int q = 0;
  for (int k = 1; k <= 8; ++k)
    q += twice >= int64_t{2 * k - 1} * delta;
  return error < 0 ? -q : std::min(q, 7);
}

inline int Clamp16(int64_t v) {
  return static_cast<int>(std::clamp<int64_t>(v, -32768, 32767));
}

// The neighbours of the rounding quantiser's nibble are searched only where that nibble would
// leave the two predictions further apart than an eighth of the delta.
constexpr int kSearchShift = 3;

// The best of the rounding quantiser's nibble and its neighbours for both decoders, within the
// delta's upper limit.
[[gnu::noinline]] int Search(int sample, int predictor, int shadow, int rounded, int delta) {
  int nibble = rounded;
  int64_t least = INT64_MAX;
  for (int n = std::max(-8, rounded - 1); n <= std::min(7, rounded + 1); ++n) {
    if (((kAdaptation[n & 15] * delta) >> 8) > kMaxDelta) continue;
    const int64_t ea = sample - Clamp16(predictor + int64_t{n} * delta);
    const int64_t eb = sample - Clamp16(shadow + int64_t{n} * delta);
    const int64_t d = ea - eb;
    const int64_t cost = ea * ea + eb * eb + kDriftWeight * d * d;
    if (cost < least) {
      least = cost;
      nibble = n;
    }
  }
  return nibble;
}

// One sample: the rounding quantiser's nibble or a neighbour, whichever serves both decoders
// best, with the delta kept at most 32,767. Answers the nibble; updates track and delta and adds
// the squared errors to error.
[[gnu::always_inline]] inline uint32_t Quantise(int sample, Track& t, const ADPCMCOEFSET& c,
                                                int& delta, int64_t& error) {
  const int predictor = Predict(t.s1, t.s2, c);
  const int shadow = PredictTruncating(t.t1, t.t2, c);
  int nibble = Round(int64_t{sample} - predictor, delta);
  if (std::abs(predictor - shadow) > std::max(1, delta >> kSearchShift))
    nibble = Search(sample, predictor, shadow, nibble, delta);
  while (((kAdaptation[nibble & 15] * delta) >> 8) > kMaxDelta)
    nibble += nibble < 0 ? 1 : -1;
  const int a = Clamp16(predictor + int64_t{nibble} * delta);
  const int b = Clamp16(shadow + int64_t{nibble} * delta);
  error += int64_t{sample - a} * (sample - a) + int64_t{sample - b} * (sample - b);
  t = {a, t.s1, b, t.t1};
  delta = std::max(kMinDelta, (kAdaptation[nibble & 15] * delta) >> 8);
  return static_cast<uint32_t>(nibble) & 15;
}

// One channel of a block coded with one predictor: its header values and nibbles.
struct Trial {
  size_t predictor;
  int first_delta;
  int last_delta;
  int64_t error;
  std::vector<uint8_t> nibbles;
};

void Code(const std::vector<int>& x, uint32_t count, const ADPCMCOEFSET& c, int delta,
          Trial& trial) {
  Track t{x[1], x[0], x[1], x[0]};
  trial.first_delta = delta;
  trial.error = 0;
  for (uint32_t j = 2; j < count; ++j)
    trial.nibbles[j - 2] = static_cast<uint8_t>(Quantise(x[j], t, c, delta, trial.error));
  trial.last_delta = delta;
}

// Codes a channel's block with a predictor, starting from the carried delta or from one matched
// to the block's first residuals, whichever does better on its first samples.
void TryPredictor(const std::vector<int>& x, uint32_t count, const ADPCMCOEFSET& c, int carried,
                  Trial& trial, Trial& scratch) {
  int delta = std::clamp(carried, kMinDelta, kMaxDelta);
  const uint32_t head = std::min(count, kTrialSamples + 2);
  if (head > 2) {
    int sum = 0;
    const uint32_t first = std::min<uint32_t>(head, 6);
    for (uint32_t j = 2; j < first; ++j)
      sum += std::abs(x[j] - Predict(x[j - 1], x[j - 2], c));
    const int matched = std::clamp(sum / (2 * static_cast<int>(first - 2)), kMinDelta, kMaxDelta);
    if (matched != delta) {
      Code(x, head, c, matched, scratch);
      const int64_t matched_error = scratch.error;
      Code(x, head, c, delta, scratch);
      if (matched_error < scratch.error) delta = matched;
    }
  }
  Code(x, count, c, delta, trial);
}

void EncodeChannel(const int16_t* frames, uint16_t channels, uint16_t channel,
                   uint32_t samples_per_block, std::span<const ADPCMCOEFSET> coefficients,
                   int32_t& carried, std::vector<int>& x, Trial (&trials)[3], uint8_t* out) {
  for (uint32_t j = 0; j < samples_per_block; ++j)
    x[j] = frames[j * channels + channel];
  // The predictor that leaves the least error on the samples themselves is tried on the
  // block, and the first one too unless the best is clearly better on the samples, or where
  // the block is so quiet that the smallest delta, not the predictor, sets the error.
  int64_t energies[256];
  const size_t count = coefficients.size();
  for (size_t p = 0; p < count; ++p) {
    const int64_t c1 = coefficients[p].iCoef1, c2 = coefficients[p].iCoef2;
    int64_t energy = 0;
    for (uint32_t j = 2; j < samples_per_block; ++j) {
      const int64_t e = x[j] - ((x[j - 1] * c1 + x[j - 2] * c2) >> 8);
      energy += e * e;
    }
    energies[p] = energy;
  }
  const size_t best = static_cast<size_t>(std::min_element(energies, energies + count) - energies);
  Trial* kept = &trials[0];
  kept->predictor = best;
  TryPredictor(x, samples_per_block, coefficients[best], carried, *kept, trials[2]);
  const int64_t floor = int64_t{kMinDelta} * kMinDelta * samples_per_block;
  Trial* spare = &trials[1];
  auto try_predictor = [&](size_t p) {
    spare->predictor = p;
    TryPredictor(x, samples_per_block, coefficients[p], carried, *spare, trials[2]);
    if (spare->error < kept->error) std::swap(kept, spare);
  };
  if (best != 0 && (energies[best] * 4 > energies[0] || energies[best] < floor)) try_predictor(0);
  // A block coded this badly (under 12 dB, as clipped or square waves are) is worth trying
  // every predictor on: one of them may follow what the others cannot.
  int64_t energy = 0;
  for (uint32_t j = 0; j < samples_per_block; ++j)
    energy += int64_t{x[j]} * x[j];
  if (kept->error * 16 > 2 * energy)
    for (size_t p = 0; p < count; ++p)
      if (p != kept->predictor && p != best && p != 0) try_predictor(p);
  out[channel] = static_cast<uint8_t>(kept->predictor);
  WriteInt16(out + channels + 2 * channel, kept->first_delta);
  WriteInt16(out + 3 * channels + 2 * channel, x[1]);
  WriteInt16(out + 5 * channels + 2 * channel, x[0]);
  uint8_t* nibbles = out + 7 * channels;
  for (uint32_t j = 2; j < samples_per_block; ++j) {
    const uint32_t k = (j - 2) * channels + channel;
    nibbles[k / 2] |= static_cast<uint8_t>(kept->nibbles[j - 2] << (k & 1 ? 0 : 4));
  }
  carried = kept->last_delta;
}

// The state one encoder reuses from block to block.
struct Scratch {
  explicit Scratch(uint32_t samples_per_block) : x(samples_per_block) {
    for (Trial& t : trials)
      t.nibbles.resize(samples_per_block);
  }
  std::vector<int> x;
  Trial trials[3];
};

class MsEncoder final : public BlockEncoder {
 public:
  MsEncoder(uint16_t channels, uint16_t block_align, uint32_t samples_per_block,
            std::vector<ADPCMCOEFSET> coefficients)
      : channels_(channels),
        block_align_(block_align),
        samples_per_block_(samples_per_block),
        coefficients_(std::move(coefficients)),
        scratch_(samples_per_block) {}
  uint32_t FramesPerBlock() const override { return samples_per_block_; }
  uint32_t MaxBytesPerBlock() const override { return block_align_; }
  size_t Encode(const int16_t* frames, size_t blocks, uint8_t* out) override {
    for (size_t b = 0; b < blocks; ++b) {
      uint8_t* block = out + b * block_align_;
      std::memset(block, 0, block_align_);
      const int16_t* first = frames + b * samples_per_block_ * channels_;
      for (uint16_t c = 0; c < channels_; ++c)
        EncodeChannel(first, channels_, c, samples_per_block_, coefficients_, deltas_[c],
                      scratch_.x, scratch_.trials, block);
    }
    return blocks * block_align_;
  }
  void Reset() override { deltas_[0] = deltas_[1] = kMinDelta; }

 private:
  uint16_t channels_;
  uint16_t block_align_;
  uint32_t samples_per_block_;
  std::vector<ADPCMCOEFSET> coefficients_;
  Scratch scratch_;
  int32_t deltas_[2] = {kMinDelta, kMinDelta};
};

class MsDecoder final : public BlockDecoder {
 public:
  MsDecoder(uint16_t channels, uint16_t block_align, uint32_t samples_per_block,
            std::vector<ADPCMCOEFSET> coefficients)
      : channels_(channels),
        block_align_(block_align),
        samples_per_block_(samples_per_block),
        coefficients_(std::move(coefficients)) {}
  uint32_t BytesPerBlock() const override { return block_align_; }
  uint32_t FramesPerBlock() const override { return samples_per_block_; }
  uint16_t Channels() const override { return channels_; }
  uint32_t PartialFrames(uint32_t bytes) const override {
    return MsAdpcmFramesIn(bytes, channels_, samples_per_block_);
  }
  void Decode(const uint8_t* in, size_t blocks, int16_t* out) override {
    for (size_t b = 0; b < blocks; ++b)
      MsAdpcmDecodeBlock(in + b * block_align_, block_align_, channels_, samples_per_block_,
                         coefficients_, out + b * samples_per_block_ * channels_);
  }
  void DecodePartial(const uint8_t* in, uint32_t bytes, int16_t* out) override {
    MsAdpcmDecodeBlock(in, bytes, channels_, samples_per_block_, coefficients_, out);
  }

 private:
  uint16_t channels_;
  uint16_t block_align_;
  uint32_t samples_per_block_;
  std::vector<ADPCMCOEFSET> coefficients_;
};

// The extra bytes of a record: samples per block, coefficient count, coefficient pairs.
uint16_t ExtraField(const WAVEFORMATEX& format, size_t offset) {
  uint16_t value;
  std::memcpy(&value, reinterpret_cast<const uint8_t*>(&format) + sizeof(WAVEFORMATEX) + offset, 2);
  return value;
}

std::vector<ADPCMCOEFSET> Coefficients(const WAVEFORMATEX& format) {
  std::vector<ADPCMCOEFSET> pairs(ExtraField(format, 2));
  std::memcpy(pairs.data(), reinterpret_cast<const uint8_t*>(&format) + sizeof(WAVEFORMATEX) + 4,
              pairs.size() * sizeof(ADPCMCOEFSET));
  return pairs;
}

class MsDriver final : public CodecDriver {
 public:
  MsDriver()
      : CodecDriver(TagCaps{WAVE_FORMAT_ADPCM,
                            "MS ADPCM",
                            1000,
                            192000,
                            1,
                            2,
                            {4},
                            sizeof(ADPCMWAVEFORMAT),
                            ACMDRIVERDETAILS_SUPPORTF_CODEC}) {}

  FormatRecord MakeFormat(uint16_t channels, uint32_t rate) const override {
    ADPCMWAVEFORMAT record;
    const uint16_t align = StandardAdpcmBlockAlign(rate, channels);
    const uint32_t samples = MsAdpcmSamplesPerBlock(align, channels);
    record.wfx = {WAVE_FORMAT_ADPCM,
                  channels,
                  rate,
                  static_cast<uint32_t>(uint64_t{rate} * align / samples),
                  align,
                  4,
                  sizeof(ADPCMWAVEFORMAT) - sizeof(WAVEFORMATEX)};
    record.wSamplesPerBlock = static_cast<uint16_t>(samples);
    record.wNumCoef = 7;
    std::copy(std::begin(kMsAdpcmCoefficients), std::end(kMsAdpcmCoefficients), record.aCoef);
    return FormatRecord(record.wfx, {reinterpret_cast<const uint8_t*>(&record.wSamplesPerBlock),
                                     record.wfx.cbSize});
  }

  bool CheckFormat(const WAVEFORMATEX& format) const override {
    if (!CheckCommonFields(format) || format.cbSize < 4) return false;
    const uint16_t count = ExtraField(format, 2);
    if (count < 7 || count > 256 || format.cbSize < 4 + 4 * count) return false;
    const uint32_t samples = MsAdpcmSamplesPerBlock(format.nBlockAlign, format.nChannels);
    return samples > 2 && samples == ExtraField(format, 0);
  }

 protected:
  std::unique_ptr<BlockEncoder> MakeEncoder(const WAVEFORMATEX& format) const override {
    return std::make_unique<MsEncoder>(format.nChannels, format.nBlockAlign, ExtraField(format, 0),
                                       Coefficients(format));
  }
  std::unique_ptr<BlockDecoder> MakeDecoder(const WAVEFORMATEX& format) const override {
    return std::make_unique<MsDecoder>(format.nChannels, format.nBlockAlign, ExtraField(format, 0),
                                       Coefficients(format));
  }
};

}  // namespace

uint32_t MsAdpcmSamplesPerBlock(uint32_t block_align, uint16_t channels) {
  if (channels == 0 || block_align < 7u * channels) return 0;
  return 2 * (block_align - 7 * channels) / channels + 2;
}

uint32_t MsAdpcmFramesIn(uint32_t bytes, uint16_t channels, uint32_t samples_per_block) {
  if (channels == 0 || bytes < 7u * channels) return 0;
  return std::min(samples_per_block, 2 * (bytes - 7 * channels) / channels + 2);
}

void MsAdpcmEncodeBlock(const int16_t* frames, uint16_t channels, uint32_t samples_per_block,
                        std::span<const ADPCMCOEFSET> coefficients, int32_t* deltas, uint8_t* out) {
  Scratch scratch(samples_per_block);
  std::memset(out, 0, 7 * channels + ((samples_per_block - 2) * channels + 1) / 2);
  for (uint16_t c = 0; c < channels; ++c)
    EncodeChannel(frames, channels, c, samples_per_block, coefficients, deltas[c], scratch.x,
                  scratch.trials, out);
}

namespace {

// One channel's decoder state.
struct Decoder {
  int64_t c1, c2;
  int64_t delta;
  int s1, s2;

  int Next(int nibble) {
    const int64_t predictor = (s1 * c1 + s2 * c2) >> 8;
    const int64_t value = predictor + (nibble - ((nibble & 8) << 1)) * delta;
    s2 = s1;
    s1 = static_cast<int>(std::clamp<int64_t>(value, -32768, 32767));
    delta = std::clamp<int64_t>((kAdaptation[nibble] * delta) >> 8, kMinDelta, kDecoderDeltaLimit);
    return s1;
  }
};

}  // namespace

uint32_t MsAdpcmDecodeBlock(const uint8_t* in, uint32_t bytes, uint16_t channels,
                            uint32_t samples_per_block, std::span<const ADPCMCOEFSET> coefficients,
                            int16_t* out) {
  const uint32_t frames = MsAdpcmFramesIn(bytes, channels, samples_per_block);
  if (frames == 0 || channels > 2 || coefficients.empty()) return 0;
  Decoder d[2];
  for (uint16_t ch = 0; ch < channels; ++ch) {
    const ADPCMCOEFSET& c = coefficients[in[ch] < coefficients.size() ? in[ch] : 0];
    d[ch] = {c.iCoef1, c.iCoef2, ReadInt16(in + channels + 2 * ch),
             ReadInt16(in + 3 * channels + 2 * ch), ReadInt16(in + 5 * channels + 2 * ch)};
    out[ch] = static_cast<int16_t>(d[ch].s2);
    out[channels + ch] = static_cast<int16_t>(d[ch].s1);
  }
  const uint8_t* nibbles = in + 7 * channels;
  int16_t* sample = out + 2 * channels;
  const uint32_t count = (frames - 2) * channels;  // nibbles, high first
  if (channels == 2) {
    for (uint32_t k = 0; k < count / 2; ++k) {
      sample[2 * k] = static_cast<int16_t>(d[0].Next(nibbles[k] >> 4));
      sample[2 * k + 1] = static_cast<int16_t>(d[1].Next(nibbles[k] & 0x0F));
    }
  } else {
    for (uint32_t k = 0; k < count / 2; ++k) {
      sample[2 * k] = static_cast<int16_t>(d[0].Next(nibbles[k] >> 4));
      sample[2 * k + 1] = static_cast<int16_t>(d[0].Next(nibbles[k] & 0x0F));
    }
    if (count & 1) sample[count - 1] = static_cast<int16_t>(d[0].Next(nibbles[count / 2] >> 4));
  }
  return frames;
}

std::shared_ptr<Driver> MakeMsAdpcmDriver() {
  return std::make_shared<MsDriver>();
}

}  // namespace acm
