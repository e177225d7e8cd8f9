#include "platform/acm/drivers/MsAdpcm.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/acm/AcmCodec.h"
#include "platform/acm/drivers/PathSearch.h"

namespace acm {

const ADPCMCOEFSET kMsAdpcmCoefficients[7] = {{256, 0}, {512, -256}, {0, 0},     {192, 64},
                                              {240, 0}, {460, -208}, {392, -232}};

namespace {

constexpr int kAdaptation[16] = {230, 230, 230, 230, 307, 409, 512, 614,
                                 768, 614, 512, 409, 307, 230, 230, 230};
constexpr int kMinDelta = 16;
constexpr int kMaxDelta = 32767;
// The first deltas the winning predictor codes its whole block from, in eighths of the matched
// one: a first delta's mark stays on the whole block (the delta's rounding keeps paths apart),
// so each is judged by the block's decoded error, not by its first samples. And how far a
// predictor's residual may lie above the least for the predictor still to be tried.
constexpr int kDeltaEighths[] = {2, 3, 4, 5, 6, 7, 9, 10, 11, 12, 14, 16, 20, 24, 32, 48};
constexpr double kCandidateResidual = 3;
// The decoder's delta never grows past what its next multiplication keeps in 32 bits.
constexpr int64_t kDecoderDeltaLimit = INT32_MAX / 768;

int16_t ReadInt16(const uint8_t* p) {
  int16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

void WriteInt16(uint8_t* p, int v) {
  const auto s = static_cast<int16_t>(v);
  std::memcpy(p, &s, 2);
}

inline int Clamp16(int64_t v) {
  return static_cast<int>(std::clamp<int64_t>(v, -32768, 32767));
}

// ---- The encoder
//
// Decoders compute the prediction in two ways: the reference shifts (rounding down), others
// divide by 256 (rounding toward zero). For coefficients that are not multiples of 256 the two
// part within a block, so the encoder then follows both predictions and codes against their
// mean: each decoder strays by half their distance.

// The coder state of one channel of a block.
struct Lane {
  int64_t c1, c2;
  int64_t s1, s2;  // the reference decoder's last two samples
  int64_t t1, t2;  // and a truncating one's
  int delta;
  int64_t error;  // squared, of both decoders
};

Lane StartLane(const int16_t* x, int stride, const ADPCMCOEFSET& c, int delta) {
  return {c.iCoef1, c.iCoef2, x[stride], x[0], x[stride], x[0], delta, 0};
}

bool Tracks(const Lane& l) {
  return l.c1 % 256 != 0 || l.c2 % 256 != 0;
}

// One sample; answers its nibble. The nibble rounds the difference to the mean prediction in
// steps of delta, within what keeps delta at most 32,767. kTrack: the predictions may part.
template <bool kTrack>
[[gnu::always_inline]] inline uint8_t Code(int64_t sample, Lane& l) {
  const int64_t predictor = (l.s1 * l.c1 + l.s2 * l.c2) >> 8;
  const int64_t shadow = kTrack ? (l.t1 * l.c1 + l.t2 * l.c2) / 256 : predictor;
  const int difference = static_cast<int>(sample - ((predictor + shadow) >> 1));
  const int magnitude = difference < 0 ? -difference : difference;
  // In single precision: below 2^18 the quotient of two integers never rounds up to the next
  // whole number, so it truncates as the integer division does, at a fraction of its latency.
  const int q = std::min(static_cast<int>(static_cast<float>(2 * magnitude + l.delta) /
                                          static_cast<float>(2 * l.delta)),
                         difference < 0 ? 8 : 7);
  int nibble = difference < 0 ? -q : q;
  while (((kAdaptation[nibble & 15] * l.delta) >> 8) > kMaxDelta)
    nibble += nibble < 0 ? 1 : -1;
  l.s2 = l.s1;
  l.s1 = Clamp16(predictor + int64_t{nibble} * l.delta);
  if constexpr (kTrack) {
    l.t2 = l.t1;
    l.t1 = Clamp16(shadow + int64_t{nibble} * l.delta);
    l.error += (sample - l.s1) * (sample - l.s1) + (sample - l.t1) * (sample - l.t1);
  } else {
    l.error += 2 * (sample - l.s1) * (sample - l.s1);
  }
  l.delta = std::max(kMinDelta, (kAdaptation[nibble & 15] * l.delta) >> 8);
  return static_cast<uint8_t>(nibble & 15);
}

// Codes samples 2..count-1 of a channel (kStride apart) into one nibble a byte.
// Two channels side by side: their chains are independent, so the processor overlaps them.
template <int kStride, bool kTrack0, bool kTrack1>
void CodeLanes(const int16_t* x0, const int16_t* x1, uint32_t count, Lane& lane0, Lane& lane1,
               uint8_t* n0, uint8_t* n1) {
  Lane a = lane0, b = lane1;  // locals stay in registers: the nibble stores could alias them
  for (uint32_t j = 2; j < count; ++j) {
    n0[j - 2] = Code<kTrack0>(x0[j * kStride], a);
    n1[j - 2] = Code<kTrack1>(x1[j * kStride], b);
  }
  lane0 = a;
  lane1 = b;
}

template <int kStride>
void CodeLanes(const int16_t* x0, const int16_t* x1, uint32_t count, Lane& lane0, Lane& lane1,
               uint8_t* n0, uint8_t* n1) {
  const bool track0 = Tracks(lane0), track1 = Tracks(lane1);
  if (track0 && track1)
    CodeLanes<kStride, true, true>(x0, x1, count, lane0, lane1, n0, n1);
  else if (track0)
    CodeLanes<kStride, true, false>(x0, x1, count, lane0, lane1, n0, n1);
  else if (track1)
    CodeLanes<kStride, false, true>(x0, x1, count, lane0, lane1, n0, n1);
  else
    CodeLanes<kStride, false, false>(x0, x1, count, lane0, lane1, n0, n1);
}

// The block's energies and correlations at lags 1 and 2: sums over j = 2..n-1 of x[j]², x[j-1]²,
// x[j-2]², x[j]x[j-1], x[j-1]x[j-2] and x[j]x[j-2].
struct Correlations {
  double e0, e1, e2, r01, r12, r02;
};

template <int kStride>
Correlations Correlate(const int16_t* x, uint32_t n) {
  int64_t energy = 0, lag1 = 0, lag2 = 0;
  for (uint32_t j = 2; j < n; ++j) {
    const int64_t v = x[j * kStride];
    energy += v * v;
    lag1 += v * x[(j - 1) * kStride];
    lag2 += v * x[(j - 2) * kStride];
  }
  const auto at = [&](uint32_t j) { return static_cast<double>(x[j * kStride]); };
  const double e0 = static_cast<double>(energy), r01 = static_cast<double>(lag1);
  return {e0,
          e0 + at(1) * at(1) - at(n - 1) * at(n - 1),
          e0 + at(0) * at(0) + at(1) * at(1) - at(n - 2) * at(n - 2) - at(n - 1) * at(n - 1),
          r01,
          r01 + at(1) * at(0) - at(n - 1) * at(n - 2),
          static_cast<double>(lag2)};
}

// The energy of the residual under a predictor, a quadratic form in the coefficients.
double Residual(const Correlations& k, const ADPCMCOEFSET& c) {
  const double a = c.iCoef1 / 256.0, b = c.iCoef2 / 256.0;
  return k.e0 - 2 * (a * k.r01 + b * k.r02) + a * a * k.e1 + 2 * a * b * k.r12 + b * b * k.e2;
}

// The predictor whose residual has the least energy.
size_t LeastResidual(const Correlations& k, std::span<const ADPCMCOEFSET> coefficients) {
  size_t best = 0;
  double least = 0;
  for (size_t p = 0; p < coefficients.size(); ++p) {
    const double residual = Residual(k, coefficients[p]);
    if (p == 0 || residual < least) {
      least = residual;
      best = p;
    }
  }
  return best;
}

// The delta matched to the first residuals of the block under a predictor.
int MatchedDelta(const int16_t* x, int stride, uint32_t count, const ADPCMCOEFSET& c) {
  const uint32_t end = std::min<uint32_t>(count, 6);
  if (end <= 2) return kMinDelta;
  int64_t sum = 0;
  for (uint32_t j = 2; j < end; ++j)
    sum += std::abs(
        x[j * stride] -
        ((int64_t{x[(j - 1) * stride]} * c.iCoef1 + int64_t{x[(j - 2) * stride]} * c.iCoef2) >> 8));
  return static_cast<int>(std::clamp<int64_t>(sum / (2 * (end - 2)), kMinDelta, kMaxDelta));
}

// One channel of one block on its way through the encoder.
struct Job {
  const int16_t* x;  // its first sample
  uint8_t* nibbles;  // one a byte
  Correlations sums;
  size_t predictor;
  int first_delta;
  Lane lane;
};

// Chooses the predictor with the least residual and a first delta matched to the block's start.
template <int kStride>
Job Plan(const int16_t* x, uint32_t count, std::span<const ADPCMCOEFSET> coefficients,
         uint8_t* nibbles) {
  const Correlations sums = Correlate<kStride>(x, count);
  const size_t predictor = LeastResidual(sums, coefficients);
  const int delta = MatchedDelta(x, kStride, count, coefficients[predictor]);
  return {x,         nibbles, sums,
          predictor, delta,   StartLane(x, kStride, coefficients[predictor], delta)};
}

// The predictor chosen by least residual is only a guess at the one whose decoded signal comes
// closest: the decoders round differently on pairs that are not multiples of 256, and a clipped
// or square wave's jumps follow no prediction. So other predictors code the block too, and the
// least decoded error of both decoder families wins: those whose residual is within
// kCandidateResidual of the least, and every one where the block codes badly (under 9 dB).
// Two candidates side by side (their chains are independent, so the processor overlaps them),
// samples from..count-1, given up together once both have reached bound, checked every kChunk
// samples; one given up answers the largest error.
constexpr uint32_t kChunk = 32;

template <int kStride, bool kTrack0, bool kTrack1>
void CodePairWithin(const int16_t* x, uint32_t count, Lane& a, Lane& b, uint8_t* na, uint8_t* nb,
                    int64_t bound, uint32_t from) {
  Lane l0 = a, l1 = b;
  for (uint32_t j = from; j < count;) {
    for (const uint32_t end = std::min(count, j + kChunk); j < end; ++j) {
      na[j - 2] = Code<kTrack0>(x[j * kStride], l0);
      nb[j - 2] = Code<kTrack1>(x[j * kStride], l1);
    }
    if (l0.error >= bound && l1.error >= bound) break;
  }
  if (l0.error >= bound) l0.error = INT64_MAX;
  if (l1.error >= bound) l1.error = INT64_MAX;
  a = l0;
  b = l1;
}

// Samples from..count-1 (2 unless candidates go on from their first samples).
template <int kStride>
void CodePairWithin(const int16_t* x, uint32_t count, Lane& a, Lane& b, uint8_t* na, uint8_t* nb,
                    int64_t bound, uint32_t from = 2) {
  if (Tracks(a) && Tracks(b))
    CodePairWithin<kStride, true, true>(x, count, a, b, na, nb, bound, from);
  else if (Tracks(a))
    CodePairWithin<kStride, true, false>(x, count, a, b, na, nb, bound, from);
  else if (Tracks(b))
    CodePairWithin<kStride, false, true>(x, count, a, b, na, nb, bound, from);
  else
    CodePairWithin<kStride, false, false>(x, count, a, b, na, nb, bound, from);
}

// Samples j..end-1 of up to four candidates side by side.
template <int kStride, bool kTrack>
[[gnu::always_inline]] inline void CodeSide(const int16_t* x, uint32_t j, uint32_t end, Lane* l,
                                            uint8_t* const* rooms, int alive) {
  uint8_t *n0 = rooms[0], *n1 = rooms[1], *n2 = rooms[2], *n3 = rooms[3];
  switch (alive) {
    case 4: {
      Lane a = l[0], b = l[1], c = l[2], d = l[3];
      for (; j < end; ++j) {
        const int64_t v = x[j * kStride];
        n0[j - 2] = Code<kTrack>(v, a);
        n1[j - 2] = Code<kTrack>(v, b);
        n2[j - 2] = Code<kTrack>(v, c);
        n3[j - 2] = Code<kTrack>(v, d);
      }
      l[0] = a, l[1] = b, l[2] = c, l[3] = d;
      break;
    }
    case 3: {
      Lane a = l[0], b = l[1], c = l[2];
      for (; j < end; ++j) {
        const int64_t v = x[j * kStride];
        n0[j - 2] = Code<kTrack>(v, a);
        n1[j - 2] = Code<kTrack>(v, b);
        n2[j - 2] = Code<kTrack>(v, c);
      }
      l[0] = a, l[1] = b, l[2] = c;
      break;
    }
    case 2: {
      Lane a = l[0], b = l[1];
      for (; j < end; ++j) {
        const int64_t v = x[j * kStride];
        n0[j - 2] = Code<kTrack>(v, a);
        n1[j - 2] = Code<kTrack>(v, b);
      }
      l[0] = a, l[1] = b;
      break;
    }
    default: {
      Lane a = l[0];
      for (; j < end; ++j)
        n0[j - 2] = Code<kTrack>(x[j * kStride], a);
      l[0] = a;
    }
  }
}

// Takes a coded candidate whose error is the least so far; its nibbles are in spare.
void Accept(Job& job, const Lane& lane, size_t p, int delta, uint8_t*& spare) {
  if (lane.error >= job.lane.error) return;
  job.lane = lane;
  job.predictor = p;
  job.first_delta = delta;
  std::swap(job.nibbles, spare);
}

// The first deltas are judged by the block's first samples, where they differ most: each codes
// them, and the one of least decoded error codes on to the end (given up once it cannot come out
// closer than the whole block from the matched delta). Past those samples the paths stay apart by
// rounding alone and which comes out closer is chance: worth trying out for every first delta
// where the block codes poorly (its error then dominates a file's), below this signal-to-error
// ratio (both decoders' errors).
constexpr uint32_t kDeltaSamples = 32;
constexpr int kDeltaTrials = std::size(kDeltaEighths) + 1;
constexpr int64_t kPoorRatio = 1000;  // 30 dB

// Codes the first kDeltaSamples samples from each first delta around the one matched to the
// block's start under predictor c, the given one first, four side by side, their nibbles into
// prefixes. Answers how many: trial[k] is each delta, starts[k] its lane after those samples,
// order the trials by least error there (on a tie the earlier).
template <int kStride>
int TryDeltas(const int16_t* x, uint32_t count, const ADPCMCOEFSET& c, int given, uint8_t* prefixes,
              Lane* starts, int* trial, int* order) {
  const int matched = MatchedDelta(x, kStride, count, c);
  int m = 0;
  trial[m++] = given;
  for (const int eighths : kDeltaEighths) {
    const int delta = std::clamp(matched * eighths / 8, kMinDelta, kMaxDelta);
    if (std::find(trial, trial + m, delta) == trial + m) trial[m++] = delta;
  }
  const uint32_t end = std::min(count, 2 + kDeltaSamples);
  for (int k = 0; k < m; k += 4) {
    const int side = std::min(4, m - k);
    uint8_t* rooms[4];
    for (int i = 0; i < side; ++i) {
      starts[k + i] = StartLane(x, kStride, c, trial[k + i]);
      rooms[i] = prefixes + (k + i) * kDeltaSamples;
    }
    if (Tracks(starts[k]))
      CodeSide<kStride, true>(x, 2, end, starts + k, rooms, side);
    else
      CodeSide<kStride, false>(x, 2, end, starts + k, rooms, side);
  }
  for (int k = 0; k < m; ++k)
    order[k] = k;
  std::stable_sort(order, order + m,
                   [&](int a, int b) { return starts[a].error < starts[b].error; });
  return m;
}

// Gives a planned job the first delta whose first samples code closest.
template <int kStride>
void ChooseDelta(Job& job, uint32_t count, std::span<const ADPCMCOEFSET> coefficients,
                 uint8_t* prefixes) {
  Lane starts[kDeltaTrials];
  int trial[kDeltaTrials], order[kDeltaTrials];
  const ADPCMCOEFSET& c = coefficients[job.predictor];
  TryDeltas<kStride>(job.x, count, c, job.first_delta, prefixes, starts, trial, order);
  job.first_delta = trial[order[0]];
  job.lane = StartLane(job.x, kStride, c, job.first_delta);
}

// spares: two rooms, swapped with the job's as candidates win; prefixes: room for kDeltaSamples
// nibbles of each first delta.
template <int kStride>
void Retry(Job& job, uint32_t count, std::span<const ADPCMCOEFSET> coefficients,
           uint8_t* (&spares)[2], uint8_t* prefixes) {
  const size_t planned = job.predictor;
  const size_t first = planned;
  const bool poor = 4 * static_cast<double>(job.lane.error) > job.sums.e0;
  const double least = Residual(job.sums, coefficients[first]);
  size_t tried[2];
  int deltas[2];
  Lane lanes[2];
  int n = 0;
  auto flush = [&] {
    if (n == 0) return;
    if (n == 1) lanes[1] = lanes[0];  // codes alongside, and is not taken
    CodePairWithin<kStride>(job.x, count, lanes[0], lanes[1], spares[0], spares[1], job.lane.error);
    for (int k = 0; k < n; ++k)
      Accept(job, lanes[k], tried[k], deltas[k], spares[k]);
    n = 0;
  };
  for (size_t p = 0; p < coefficients.size(); ++p) {
    if (p == first) continue;
    if (!poor && Residual(job.sums, coefficients[p]) > kCandidateResidual * least) continue;
    tried[n] = p;
    deltas[n] = MatchedDelta(job.x, kStride, count, coefficients[p]);
    lanes[n] = StartLane(job.x, kStride, coefficients[p], deltas[n]);
    if (++n == 2) flush();
  }
  flush();

  // The winner's first deltas: where it is the predictor planned, the one chosen then stands,
  // unless the block codes poorly.
  const bool poorly = job.lane.error > 0 && job.lane.error * kPoorRatio > 2 * job.sums.e0;
  if (job.predictor == planned && !poorly) return;
  const size_t winner = job.predictor;
  Lane starts[kDeltaTrials];
  int trial[kDeltaTrials], order[kDeltaTrials];
  const int m = TryDeltas<kStride>(job.x, count, coefficients[winner], job.first_delta, prefixes,
                                   starts, trial, order);
  const uint32_t end = std::min(count, 2 + kDeltaSamples);
  int go[kDeltaTrials], gone = 0;  // the trials that code on, the job's own delta aside
  for (int k = 0; k < (poorly ? m : 1); ++k)
    if (order[k] != 0 && starts[order[k]].error < job.lane.error) go[gone++] = order[k];
  for (int k = 0; k < gone; k += 2) {
    const int a = go[k], b = go[k + 1 < gone ? k + 1 : k];
    std::copy(prefixes + a * kDeltaSamples, prefixes + a * kDeltaSamples + (end - 2), spares[0]);
    std::copy(prefixes + b * kDeltaSamples, prefixes + b * kDeltaSamples + (end - 2), spares[1]);
    Lane la = starts[a], lb = starts[b];
    CodePairWithin<kStride>(job.x, count, la, lb, spares[0], spares[1], job.lane.error, end);
    Accept(job, la, winner, trial[a], spares[0]);
    if (b != a) Accept(job, lb, winner, trial[b], spares[1]);
  }
}

// The header fields of channel c of n: predictor index, delta, sample 1, sample 2.
void WriteHeader(const Job& job, int stride, uint8_t* block, int c, int n) {
  block[c] = static_cast<uint8_t>(job.predictor);
  WriteInt16(block + n + 2 * c, job.first_delta);
  WriteInt16(block + 3 * n + 2 * c, job.x[stride]);
  WriteInt16(block + 5 * n + 2 * c, job.x[0]);
}

// Mono nibbles, high first.
void PackMono(const uint8_t* nibbles, uint32_t count, uint8_t* out) {
  uint32_t k = 0;
  for (; k + 1 < count; k += 2)
    out[k / 2] = static_cast<uint8_t>(nibbles[k] << 4 | nibbles[k + 1]);
  if (k < count) out[k / 2] = static_cast<uint8_t>(nibbles[k] << 4);
}

// Rooms the quick encoder keeps between calls: nibbles, and the first deltas' first nibbles.
struct Scratch {
  std::vector<uint8_t> nibbles;
  std::vector<uint8_t> prefixes;
};

void EncodeBlocks(const int16_t* frames, uint16_t channels, uint32_t samples_per_block,
                  std::span<const ADPCMCOEFSET> coefficients, size_t blocks, uint8_t* out,
                  Scratch& rooms) {
  const uint32_t spb = samples_per_block, nibbles = spb - 2;
  rooms.nibbles.resize(4 * size_t{spb});
  rooms.prefixes.resize(kDeltaTrials * kDeltaSamples);
  uint8_t* const prefixes = rooms.prefixes.data();
  // A retry that wins swaps its job's room with a spare, so each block hands the four out again:
  // a spare left pointing into a later block's room would overwrite it.
  auto room = [&](int k) { return rooms.nibbles.data() + k * spb; };
  auto plan = [&](auto stride, const int16_t* x, int k) {
    Job job = Plan<decltype(stride)::value>(x, spb, coefficients, room(k));
    ChooseDelta<decltype(stride)::value>(job, spb, coefficients, prefixes);
    return job;
  };
  using Stereo = std::integral_constant<int, 2>;
  using Mono = std::integral_constant<int, 1>;

  if (channels == 2) {  // the two channels of a block side by side
    const size_t block_bytes = 14 + nibbles;
    for (size_t b = 0; b < blocks; ++b, frames += 2 * spb, out += block_bytes) {
      Job left = plan(Stereo(), frames, 0), right = plan(Stereo(), frames + 1, 1);
      uint8_t* spare[2] = {room(2), room(3)};
      CodeLanes<2>(left.x, right.x, spb, left.lane, right.lane, left.nibbles, right.nibbles);
      Retry<2>(left, spb, coefficients, spare, prefixes);
      Retry<2>(right, spb, coefficients, spare, prefixes);
      WriteHeader(left, 2, out, 0, 2);
      WriteHeader(right, 2, out, 1, 2);
      for (uint32_t k = 0; k < nibbles; ++k)  // the left channel's nibble high, the right's low
        out[14 + k] = static_cast<uint8_t>(left.nibbles[k] << 4 | right.nibbles[k]);
    }
    return;
  }
  const size_t block_bytes = 7 + (nibbles + 1) / 2;
  size_t b = 0;
  for (; b + 1 < blocks; b += 2, frames += 2 * spb, out += 2 * block_bytes) {  // mono: two blocks
    Job first = plan(Mono(), frames, 0), second = plan(Mono(), frames + spb, 1);
    uint8_t* spare[2] = {room(2), room(3)};
    CodeLanes<1>(first.x, second.x, spb, first.lane, second.lane, first.nibbles, second.nibbles);
    Retry<1>(first, spb, coefficients, spare, prefixes);
    Retry<1>(second, spb, coefficients, spare, prefixes);
    WriteHeader(first, 1, out, 0, 1);
    WriteHeader(second, 1, out + block_bytes, 0, 1);
    PackMono(first.nibbles, nibbles, out + 7);
    PackMono(second.nibbles, nibbles, out + block_bytes + 7);
  }
  if (b < blocks) {
    Job job = plan(Mono(), frames, 0);
    uint8_t* spare[2] = {room(2), room(3)};
    Lane twin = job.lane;  // codes alongside, into a spare, and is not taken
    CodeLanes<1>(job.x, job.x, spb, job.lane, twin, job.nibbles, spare[0]);
    Retry<1>(job, spb, coefficients, spare, prefixes);
    WriteHeader(job, 1, out, 0, 1);
    PackMono(job.nibbles, nibbles, out + 7);
  }
}

// ---- The search (the high-quality mode)
//
// A PathSearch over coder states (both decoders' last two samples and the delta) under the
// predictor the quick encoder chose by its decoded error over the whole block: a search that
// tried every predictor over a block's first samples kept the one that started best, and lost a
// decibel on music to a search under one predictor. States are grouped by their delta's size
// (a quarter octave). The header's first delta is part of the search: the first states start
// from a quarter to four times the one matched to the block's start.

constexpr int kSizes = 44;         // of deltas 16 to 32,767
constexpr int kPerSize = 6;        // distinct states a size keeps
constexpr int kSizeSurvivors = 8;  // the cheapest state of each of the cheapest sizes
constexpr int kSurvivors = 12;     // and the cheapest of the others as well
constexpr int kFirstDeltas = 5;
struct MsSearchCodec;
using MsSearch = PathSearch<MsSearchCodec, kPerSize>;

int SizeOf(int delta) {
  const int bits = std::bit_width(static_cast<unsigned>(delta));  // 5 to 15
  return (bits - 5) * 4 + ((delta >> (bits - 3)) & 3);
}

// The children of a state: the nibbles around its rounded quotient q0, and where q0 is 0, the
// one that grows the delta (its sign the difference's).
struct MsSearchCodec {
  struct State {
    uint64_t samples;  // s1, s2, t1, t2, 16 bits each, offset by 32,768
    int32_t delta;
    bool operator==(const State&) const = default;
    int Sample(int k) const { return static_cast<int>(samples >> 16 * k & 0xFFFF) - 32768; }
  };
  static constexpr int kGroups = kSizes;
  static constexpr int kChildren = 4;

  static uint64_t SamplesOf(int s1, int s2, int t1, int t2) {
    return static_cast<uint64_t>(s1 + 32768) | static_cast<uint64_t>(s2 + 32768) << 16 |
           static_cast<uint64_t>(t1 + 32768) << 32 | static_cast<uint64_t>(t2 + 32768) << 48;
  }

  ADPCMCOEFSET c;

  // The look ahead: the next two samples coded greedily from the child (each to its nearest
  // level), their squared errors in both decoders.
  uint64_t Ahead(int s1, int s2, int delta, int next, int after) const {
    if (next == kNoSample) return 0;
    int q;
    const int64_t e = Residue(next, s1, s2, delta, q);
    if (after == kNoSample) return static_cast<uint64_t>(2 * e * e);
    const int grown = std::max(kMinDelta, (kAdaptation[q & 15] * delta) >> 8);
    const int64_t e2 = Residue(after, Clamp16(next - e), s1, grown, q);
    return static_cast<uint64_t>(2 * (e * e + e2 * e2));
  }

  int64_t Predict(int s1, int s2) const {
    return (int64_t{s1} * c.iCoef1 + int64_t{s2} * c.iCoef2) >> 8;
  }

  // What is left of a sample after its nearest level q from s1, s2 and delta.
  int64_t Residue(int sample, int s1, int s2, int delta, int& q) const {
    const int64_t difference = sample - Predict(s1, s2);
    q = static_cast<int>(std::clamp<int64_t>(
        (2 * difference + (difference < 0 ? -delta : delta)) / (2 * delta), -8, 7));
    return difference - int64_t{q} * delta;
  }

  template <class Put>
  void Extend(const State& n, int sample, int next, int after, Put&& put) const {
    const int s1 = n.Sample(0), s2 = n.Sample(1), t1 = n.Sample(2), t2 = n.Sample(3);
    const int64_t predictor = Predict(s1, s2);
    const int64_t shadow = (int64_t{t1} * c.iCoef1 + int64_t{t2} * c.iCoef2) / 256;
    const int64_t difference = sample - ((predictor + shadow) >> 1);
    // The rounded quotient; near a half either way is as good, as both neighbours are tried.
    const int rounded = static_cast<int>(std::min(
        8.0f, static_cast<float>(std::abs(difference)) / static_cast<float>(n.delta) + 0.5f));
    const int q0 = difference < 0 ? -rounded : rounded;
    const int grow = difference < 0 ? -4 : 4;
    const int tried[kChildren] = {q0 - 1, q0, q0 + 1, grow};
    const bool valid[kChildren] = {q0 > -8, true, q0 < 7, q0 == 0};
    for (int i = 0; i < kChildren; ++i) {
      int q = std::clamp(tried[i], -8, 7);
      // Within what keeps the delta at most 32,767, as the quick coder.
      while (((kAdaptation[q & 15] * n.delta) >> 8) > kMaxDelta)
        q += q < 0 ? 1 : -1;
      const int delta = std::max(kMinDelta, (kAdaptation[q & 15] * n.delta) >> 8);
      const int s = Clamp16(predictor + int64_t{q} * n.delta);
      const int t = Clamp16(shadow + int64_t{q} * n.delta);
      const int64_t es = sample - s, et = sample - t;
      put(valid[i], State{SamplesOf(s, s1, t, t1), delta}, SizeOf(delta),
          static_cast<uint64_t>(es * es + et * et), q & 15, Ahead(s, s1, delta, next, after));
    }
  }
};

// Codes samples 2..count-1 of one channel (stride apart) into nibbles under one predictor;
// answers the first delta.
int SearchChannel(const int16_t* x, int stride, uint32_t count, const ADPCMCOEFSET& c,
                  uint8_t* nibbles, MsSearch& search) {
  // The first delta is searched too: from a quarter to four times the matched one.
  const int matched = MatchedDelta(x, stride, count, c);
  MsSearchCodec::State roots[kFirstDeltas];
  int deltas[kFirstDeltas];
  const uint64_t first = MsSearchCodec::SamplesOf(x[stride], x[0], x[stride], x[0]);
  for (int d = 0; d < kFirstDeltas; ++d) {
    deltas[d] = std::clamp(matched * (1 << d) / 4, kMinDelta, kMaxDelta);
    roots[d] = {first, deltas[d]};
  }
  const int root = search.Run(MsSearchCodec{c}, roots, x + stride, stride, count - 2,
                              kSizeSurvivors, kSurvivors, nibbles);
  return deltas[root];
}

// The squared error of channel c of n in a coded block, in both decoder families.
int64_t ChannelError(const uint8_t* block, uint16_t n, uint16_t c, uint32_t count,
                     std::span<const ADPCMCOEFSET> coefficients, const int16_t* x) {
  const ADPCMCOEFSET& co = coefficients[block[c] < coefficients.size() ? block[c] : 0];
  int64_t delta = ReadInt16(block + n + 2 * c);
  int64_t s1 = ReadInt16(block + 3 * n + 2 * c), s2 = ReadInt16(block + 5 * n + 2 * c);
  int64_t t1 = s1, t2 = s2, error = 0;
  for (uint32_t j = 2; j < count; ++j) {
    const uint32_t k = n == 2 ? j - 2 : (j - 2) / 2;
    const bool high = n == 2 ? c == 0 : (j - 2) % 2 == 0;
    const int nibble = high ? block[7 * n + k] >> 4 : block[7 * n + k] & 15;
    const int value = nibble - ((nibble & 8) << 1);
    const int64_t s = Clamp16(((s1 * co.iCoef1 + s2 * co.iCoef2) >> 8) + value * delta);
    const int64_t t = Clamp16((t1 * co.iCoef1 + t2 * co.iCoef2) / 256 + value * delta);
    s2 = s1, s1 = s, t2 = t1, t1 = t;
    delta = std::max<int64_t>(kMinDelta, (kAdaptation[nibble] * delta) >> 8);
    const int64_t sample = x[j * n], es = sample - s, et = sample - t;
    error += es * es + et * et;
  }
  return error;
}

// Whole blocks by the search; a channel of the quick encoder's that comes out closer stays.
void SearchBlocks(const int16_t* frames, uint16_t channels, uint32_t samples_per_block,
                  std::span<const ADPCMCOEFSET> coefficients, size_t blocks, uint8_t* out,
                  Scratch& scratch, SearchPair<MsSearch>& searches) {
  const uint32_t spb = samples_per_block, count = spb - 2;
  const size_t block_bytes = channels == 2 ? 14 + count : 7 + (count + 1) / 2;
  EncodeBlocks(frames, channels, spb, coefficients, blocks, out, scratch);
  std::vector<uint8_t> nibbles(blocks * channels * count), saved(block_bytes);
  const auto find = [&](size_t b, uint16_t c, MsSearch& search) {
    return SearchChannel(frames + b * spb * channels + c, channels, spb,
                         coefficients[out[b * block_bytes + c]],
                         &nibbles[(b * channels + c) * count], search);
  };
  searches.EachChannel(blocks, channels, find, [&](size_t b, uint16_t c, int first_delta) {
    uint8_t* const block = out + b * block_bytes;
    const int16_t* const x = frames + b * spb * channels + c;
    const uint8_t* const found = &nibbles[(b * channels + c) * count];
    const int64_t quick = ChannelError(block, channels, c, spb, coefficients, x);
    std::copy(block, block + block_bytes, saved.begin());
    WriteInt16(block + channels + 2 * c, first_delta);
    if (channels == 2) {
      for (uint32_t k = 0; k < count; ++k)
        block[14 + k] = static_cast<uint8_t>(c == 0 ? (block[14 + k] & 0x0F) | found[k] << 4
                                                    : (block[14 + k] & 0xF0) | found[k]);
    } else {
      PackMono(found, count, block + 7);
    }
    if (ChannelError(block, channels, c, spb, coefficients, x) > quick)
      std::copy(saved.begin(), saved.end(), block);
  });
}

class MsEncoder final : public BlockEncoder {
 public:
  MsEncoder(uint16_t channels, uint16_t block_align, uint32_t samples_per_block,
            std::vector<ADPCMCOEFSET> coefficients, bool search)
      : channels_(channels),
        block_align_(block_align),
        samples_per_block_(samples_per_block),
        coefficients_(std::move(coefficients)),
        searches_(search ? std::make_unique<SearchPair<MsSearch>>() : nullptr) {}
  uint32_t FramesPerBlock() const override { return samples_per_block_; }
  uint32_t MaxBytesPerBlock() const override { return block_align_; }
  size_t Encode(const int16_t* frames, size_t blocks, uint8_t* out) override {
    if (searches_)
      SearchBlocks(frames, channels_, samples_per_block_, coefficients_, blocks, out, scratch_,
                   *searches_);
    else
      EncodeBlocks(frames, channels_, samples_per_block_, coefficients_, blocks, out, scratch_);
    return blocks * block_align_;
  }

 private:
  uint16_t channels_;
  uint16_t block_align_;
  uint32_t samples_per_block_;
  std::vector<ADPCMCOEFSET> coefficients_;
  Scratch scratch_;
  std::unique_ptr<SearchPair<MsSearch>> searches_;  // the high mode's; none for the quick one
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
    MsAdpcmDecodeBlocks(in, block_align_, channels_, samples_per_block_, coefficients_, blocks,
                        out);
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

// The coefficient pairs of a record whose fields CheckFormat accepted.
std::vector<ADPCMCOEFSET> Coefficients(const WAVEFORMATEX& format) {
  return ReadRecordItems<ADPCMCOEFSET>(format, offsetof(ADPCMWAVEFORMAT, aCoef),
                                       ReadRecord<ADPCMWAVEFORMAT>(format).value().wNumCoef)
      .value();
}

class MsDriver final : public CodecDriver {
 public:
  using CodecDriver::CodecDriver;

  FormatRecord MakeFormat(uint16_t channels, uint32_t rate) const override {
    auto record =
        AdpcmRecord<ADPCMWAVEFORMAT>(WAVE_FORMAT_ADPCM, channels, rate, MsAdpcmSamplesPerBlock);
    record.wNumCoef = 7;
    std::copy(std::begin(kMsAdpcmCoefficients), std::end(kMsAdpcmCoefficients), record.aCoef);
    return WriteRecord(record);
  }

  // The seven standard pairs at least; a record may carry up to 256.
  bool CheckFormat(const WAVEFORMATEX& format) const override {
    const auto record = ReadRecord<ADPCMWAVEFORMAT>(format);
    if (!CheckCommonFields(format) || !record) return false;
    const uint16_t count = record->wNumCoef;
    if (count < 7 || count > 256 ||
        !ReadRecordItems<ADPCMCOEFSET>(format, offsetof(ADPCMWAVEFORMAT, aCoef), count))
      return false;
    const uint32_t samples = MsAdpcmSamplesPerBlock(format.nBlockAlign, format.nChannels);
    return samples > 2 && samples == record->wSamplesPerBlock;
  }

 protected:
  std::unique_ptr<BlockEncoder> MakeEncoder(const WAVEFORMATEX& format) const override {
    return std::make_unique<MsEncoder>(format.nChannels, format.nBlockAlign,
                                       ReadRecord<ADPCMWAVEFORMAT>(format)->wSamplesPerBlock,
                                       Coefficients(format), CurrentEncoderOptions().high_quality);
  }
  std::unique_ptr<BlockDecoder> MakeDecoder(const WAVEFORMATEX& format) const override {
    return std::make_unique<MsDecoder>(format.nChannels, format.nBlockAlign,
                                       ReadRecord<ADPCMWAVEFORMAT>(format)->wSamplesPerBlock,
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

void MsAdpcmEncodeBlocks(const int16_t* frames, uint16_t channels, uint32_t samples_per_block,
                         std::span<const ADPCMCOEFSET> coefficients, size_t blocks, uint8_t* out) {
  Scratch scratch;
  EncodeBlocks(frames, channels, samples_per_block, coefficients, blocks, out, scratch);
}

void MsAdpcmSearchBlocks(const int16_t* frames, uint16_t channels, uint32_t samples_per_block,
                         std::span<const ADPCMCOEFSET> coefficients, size_t blocks, uint8_t* out) {
  Scratch scratch;
  auto searches = std::make_unique<SearchPair<MsSearch>>();
  SearchBlocks(frames, channels, samples_per_block, coefficients, blocks, out, scratch, *searches);
}

namespace {

// One channel's decoder state.
struct Nibble {
  int32_t value;       // -8..7
  int32_t adaptation;  // of the delta, in 256ths
};

constexpr std::array<Nibble, 16> MakeNibbles() {
  std::array<Nibble, 16> table{};
  for (int n = 0; n < 16; ++n)
    table[n] = {n - ((n & 8) << 1), kAdaptation[n]};
  return table;
}

constexpr std::array<Nibble, 16> kNibbles = MakeNibbles();

// One channel's decoder state.
struct Decoder {
  int64_t c1, c2;
  int64_t delta;
  int64_t s1, s2;

  [[gnu::always_inline]] int16_t Next(uint32_t nibble) {
    const Nibble& n = kNibbles[nibble];
    const int64_t value = ((s1 * c1 + s2 * c2) >> 8) + n.value * delta;
    s2 = s1;
    s1 = std::clamp<int64_t>(value, -32768, 32767);
    delta = std::clamp<int64_t>((n.adaptation * delta) >> 8, kMinDelta, kDecoderDeltaLimit);
    return static_cast<int16_t>(s1);
  }
};

// Reads a channel's header and writes its first two samples.
Decoder StartDecoder(const uint8_t* in, uint16_t channels, uint16_t ch,
                     std::span<const ADPCMCOEFSET> coefficients, int16_t* out) {
  const ADPCMCOEFSET& c = coefficients[in[ch] < coefficients.size() ? in[ch] : 0];
  const Decoder d{c.iCoef1, c.iCoef2, ReadInt16(in + channels + 2 * ch),
                  ReadInt16(in + 3 * channels + 2 * ch), ReadInt16(in + 5 * channels + 2 * ch)};
  out[ch] = static_cast<int16_t>(d.s2);
  out[channels + ch] = static_cast<int16_t>(d.s1);
  return d;
}

// Two whole mono blocks side by side: their chains are independent, so the processor overlaps
// them.
void DecodeMonoPair(const uint8_t* in0, const uint8_t* in1, uint32_t frames,
                    std::span<const ADPCMCOEFSET> coefficients, int16_t* out0, int16_t* out1) {
  Decoder a = StartDecoder(in0, 1, 0, coefficients, out0);
  Decoder b = StartDecoder(in1, 1, 0, coefficients, out1);
  const uint32_t count = frames - 2;
  for (uint32_t k = 0; k + 1 < count; k += 2) {
    const uint32_t x = in0[7 + k / 2], y = in1[7 + k / 2];
    out0[2 + k] = a.Next(x >> 4);
    out1[2 + k] = b.Next(y >> 4);
    out0[3 + k] = a.Next(x & 0x0F);
    out1[3 + k] = b.Next(y & 0x0F);
  }
  if (count & 1) {
    out0[frames - 1] = a.Next(in0[7 + count / 2] >> 4);
    out1[frames - 1] = b.Next(in1[7 + count / 2] >> 4);
  }
}

}  // namespace

uint32_t MsAdpcmDecodeBlock(const uint8_t* in, uint32_t bytes, uint16_t channels,
                            uint32_t samples_per_block, std::span<const ADPCMCOEFSET> coefficients,
                            int16_t* out) {
  const uint32_t frames = MsAdpcmFramesIn(bytes, channels, samples_per_block);
  if (frames == 0 || channels > 2 || coefficients.empty()) return 0;
  Decoder d[2];
  for (uint16_t ch = 0; ch < channels; ++ch)
    d[ch] = StartDecoder(in, channels, ch, coefficients, out);
  const uint8_t* nibbles = in + 7 * channels;
  int16_t* sample = out + 2 * channels;
  const uint32_t count = (frames - 2) * channels;  // nibbles, high first
  if (channels == 2) {
    for (uint32_t k = 0; k < count / 2; ++k) {
      sample[2 * k] = d[0].Next(nibbles[k] >> 4u);
      sample[2 * k + 1] = d[1].Next(nibbles[k] & 0x0Fu);
    }
  } else {
    for (uint32_t k = 0; k < count / 2; ++k) {
      sample[2 * k] = d[0].Next(nibbles[k] >> 4u);
      sample[2 * k + 1] = d[0].Next(nibbles[k] & 0x0Fu);
    }
    if (count & 1) sample[count - 1] = d[0].Next(nibbles[count / 2] >> 4u);
  }
  return frames;
}

uint32_t MsAdpcmDecodeBlocks(const uint8_t* in, uint32_t block_align, uint16_t channels,
                             uint32_t samples_per_block, std::span<const ADPCMCOEFSET> coefficients,
                             size_t blocks, int16_t* out) {
  const uint32_t frames = MsAdpcmFramesIn(block_align, channels, samples_per_block);
  size_t b = 0;
  if (channels == 1 && frames == samples_per_block && !coefficients.empty())
    for (; b + 1 < blocks; b += 2)
      DecodeMonoPair(in + b * block_align, in + (b + 1) * block_align, frames, coefficients,
                     out + b * samples_per_block, out + (b + 1) * samples_per_block);
  for (; b < blocks; ++b)
    MsAdpcmDecodeBlock(in + b * block_align, block_align, channels, samples_per_block, coefficients,
                       out + b * samples_per_block * channels);
  return frames;
}

std::shared_ptr<Driver> MakeMsAdpcmDriver() {
  return std::make_shared<MsDriver>(TagCaps{.tag = WAVE_FORMAT_ADPCM,
                                            .name = "MS ADPCM",
                                            .bits = {4},
                                            .format_size = sizeof(ADPCMWAVEFORMAT)});
}

}  // namespace acm
