#include "platform/acm/drivers/G711.h"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "platform/acm/AcmCodec.h"

namespace acm {

namespace {

// The reference quantisers: segment search on the magnitude, then four mantissa bits.
int Segment(int magnitude, const int* ends) {
  int segment = 0;
  while (segment < 8 && magnitude > ends[segment])
    ++segment;
  return segment;
}

uint8_t ReferenceAlaw(int sample) {
  static constexpr int kEnds[8] = {0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF};
  int value = sample >> 3;
  int mask = 0xD5;
  if (value < 0) {
    mask = 0x55;
    value = -value - 1;
  }
  const int segment = Segment(value, kEnds);
  if (segment >= 8) return static_cast<uint8_t>(0x7F ^ mask);
  const int mantissa = (segment < 2 ? value >> 1 : value >> segment) & 0x0F;
  return static_cast<uint8_t>(((segment << 4) | mantissa) ^ mask);
}

int16_t ReferenceAlawToLinear(uint8_t code) {
  code ^= 0x55;
  int value = (code & 0x0F) << 4;
  const int segment = (code & 0x70) >> 4;
  if (segment == 0)
    value += 8;
  else
    value = (value + 0x108) << (segment - 1);
  return static_cast<int16_t>(code & 0x80 ? value : -value);
}

uint8_t ReferenceMulaw(int sample) {
  static constexpr int kEnds[8] = {0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF};
  constexpr int kBias = 0x84 >> 2;
  constexpr int kClip = 8159;
  int value = sample >> 2;
  int mask = 0xFF;
  if (value < 0) {
    value = -value;
    mask = 0x7F;
  }
  if (value > kClip) value = kClip;
  value += kBias;
  const int segment = Segment(value, kEnds);
  if (segment >= 8) return static_cast<uint8_t>(0x7F ^ mask);
  return static_cast<uint8_t>(((segment << 4) | ((value >> (segment + 1)) & 0x0F)) ^ mask);
}

int16_t ReferenceMulawToLinear(uint8_t code) {
  constexpr int kBias = 0x84;
  code = static_cast<uint8_t>(~code);
  const int value = (((code & 0x0F) << 3) + kBias) << ((code & 0x70) >> 4);
  return static_cast<int16_t>(code & 0x80 ? kBias - value : value - kBias);
}

// The code whose decoded value is nearest each 16-bit sample; on a tie, the reference's code
// (truncation alone loses up to a whole level's width, and 3 dB on quiet signals). The decoding
// table, and so every decoder's reading of the codes, stays the standard's.
void NearestCodes(const int16_t* linear, uint8_t (*reference)(int), uint8_t* codes) {
  std::array<uint8_t, 256> order;
  for (int i = 0; i < 256; ++i)
    order[i] = static_cast<uint8_t>(i);
  std::stable_sort(order.begin(), order.end(),
                   [&](uint8_t a, uint8_t b) { return linear[a] < linear[b]; });
  size_t above = 0;  // the first level at or above the sample
  for (int sample = -32768; sample < 32768; ++sample) {
    while (above < 256 && linear[order[above]] < sample)
      ++above;
    const uint8_t truncated = reference(sample);
    const int own = std::abs(linear[truncated] - sample);
    uint8_t best = truncated;
    int least = own;
    for (const size_t k : {above - 1, above})  // the levels either side
      if (k < 256 && std::abs(linear[order[k]] - sample) < least) {
        least = std::abs(linear[order[k]] - sample);
        best = order[k];
      }
    codes[static_cast<uint16_t>(sample)] = best;
  }
}

struct Tables {
  uint8_t alaw[65536];
  uint8_t mulaw[65536];
  int16_t alaw_linear[256];
  int16_t mulaw_linear[256];
};

const Tables& G711Tables() {
  static const std::unique_ptr<const Tables> tables = [] {
    auto t = std::make_unique<Tables>();
    for (int i = 0; i < 256; ++i) {
      t->alaw_linear[i] = ReferenceAlawToLinear(static_cast<uint8_t>(i));
      t->mulaw_linear[i] = ReferenceMulawToLinear(static_cast<uint8_t>(i));
    }
    NearestCodes(t->alaw_linear, ReferenceAlaw, t->alaw);
    NearestCodes(t->mulaw_linear, ReferenceMulaw, t->mulaw);
    return t;
  }();
  return *tables;
}

void Encode(const uint8_t* table, const int16_t* in, size_t count, uint8_t* out) {
  for (size_t i = 0; i < count; ++i)
    out[i] = table[static_cast<uint16_t>(in[i])];
}

void Decode(const int16_t* table, const uint8_t* in, size_t count, int16_t* out) {
  for (size_t i = 0; i < count; ++i)
    out[i] = table[in[i]];
}

class G711Encoder final : public BlockEncoder {
 public:
  G711Encoder(const uint8_t* table, uint16_t channels) : table_(table), channels_(channels) {}
  uint32_t FramesPerBlock() const override { return 1; }
  uint32_t MaxBytesPerBlock() const override { return channels_; }
  size_t Encode(const int16_t* frames, size_t blocks, uint8_t* out) override {
    acm::Encode(table_, frames, blocks * channels_, out);
    return blocks * channels_;
  }

 private:
  const uint8_t* table_;
  uint16_t channels_;
};

class G711Decoder final : public BlockDecoder {
 public:
  G711Decoder(const int16_t* table, uint16_t channels) : table_(table), channels_(channels) {}
  uint32_t BytesPerBlock() const override { return channels_; }
  uint32_t FramesPerBlock() const override { return 1; }
  uint16_t Channels() const override { return channels_; }
  uint32_t PartialFrames(uint32_t) const override { return 0; }
  void Decode(const uint8_t* in, size_t blocks, int16_t* out) override {
    acm::Decode(table_, in, blocks * channels_, out);
  }
  void DecodePartial(const uint8_t*, uint32_t, int16_t*) override {}

 private:
  const int16_t* table_;
  uint16_t channels_;
};

class G711Driver final : public CodecDriver {
 public:
  G711Driver(uint16_t tag, const char* name, const char* command_name, const uint8_t* encode,
             const int16_t* decode)
      : CodecDriver({.tag = tag,
                     .name = name,
                     .max_channels = 8,
                     .bits = {8},
                     .command_name = command_name}),
        encode_(encode),
        decode_(decode) {}

  FormatRecord MakeFormat(uint16_t channels, uint32_t rate) const override {
    WAVEFORMATEX format{Caps().tag, channels, rate, rate * channels, channels, 8, 0};
    return FormatRecord(format);
  }

  bool CheckFormat(const WAVEFORMATEX& format) const override {
    return CheckCommonFields(format) && format.nBlockAlign == format.nChannels;
  }

 protected:
  std::unique_ptr<BlockEncoder> MakeEncoder(const WAVEFORMATEX& format) const override {
    return std::make_unique<G711Encoder>(encode_, format.nChannels);
  }
  std::unique_ptr<BlockDecoder> MakeDecoder(const WAVEFORMATEX& format) const override {
    return std::make_unique<G711Decoder>(decode_, format.nChannels);
  }

 private:
  const uint8_t* encode_;
  const int16_t* decode_;
};

}  // namespace

uint8_t LinearToAlaw(int16_t sample) {
  return G711Tables().alaw[static_cast<uint16_t>(sample)];
}
int16_t AlawToLinear(uint8_t code) {
  return G711Tables().alaw_linear[code];
}
uint8_t LinearToMulaw(int16_t sample) {
  return G711Tables().mulaw[static_cast<uint16_t>(sample)];
}
int16_t MulawToLinear(uint8_t code) {
  return G711Tables().mulaw_linear[code];
}

std::shared_ptr<Driver> MakeAlawDriver() {
  return std::make_shared<G711Driver>(WAVE_FORMAT_ALAW, "A-Law", "alaw", G711Tables().alaw,
                                      G711Tables().alaw_linear);
}

std::shared_ptr<Driver> MakeMulawDriver() {
  return std::make_shared<G711Driver>(WAVE_FORMAT_MULAW, "mu-Law", "mulaw", G711Tables().mulaw,
                                      G711Tables().mulaw_linear);
}

}  // namespace acm
