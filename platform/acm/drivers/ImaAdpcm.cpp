#include "platform/acm/drivers/ImaAdpcm.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/acm/AcmCodec.h"
#include "platform/acm/drivers/PathSearch.h"

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

// What one nibble does at one step index in the reference decoder: the signed change of the
// prediction and the next step index.
struct Transition {
  int32_t change;
  int32_t next;
};

using TransitionTable = std::array<Transition, (kMaxStepIndex + 1) * 16>;

constexpr int ReferenceChange(int step, int magnitude) {
  return (step >> 3) + (magnitude & 4 ? step : 0) + (magnitude & 2 ? step >> 1 : 0) +
         (magnitude & 1 ? step >> 2 : 0);
}

// Decoders compute a nibble's change in two ways: the reference sums shifted steps, others
// multiply, (2 × magnitude + 1) × step / 8. The two differ by up to 2 per sample.
constexpr int ProductChange(int step, int magnitude) {
  return ((2 * magnitude + 1) * step) >> 3;
}

constexpr TransitionTable MakeTransitions() {
  TransitionTable table{};
  for (int index = 0; index <= kMaxStepIndex; ++index)
    for (int nibble = 0; nibble < 16; ++nibble) {
      const int change = ReferenceChange(kSteps[index], nibble & 7);
      table[index * 16 + nibble] = {nibble & 8 ? -change : change,
                                    std::clamp(index + kIndexChange[nibble], 0, kMaxStepIndex)};
    }
  return table;
}

constexpr TransitionTable kTransitions = MakeTransitions();

int16_t ReadInt16(const uint8_t* p) {
  int16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

// ---- The encoder
//
// The encoder follows both decoders' predictions and codes every sample against their mean. It
// chooses the magnitude (the sign is the difference's) that minimises
//   (2 × difference − both changes)² + e² + kDriftWeight × (drift after the nibble)²
// in units of half a sample value, where e estimates the error of the following sample from
// where the nibble leads: the distance of its difference to the nearest level of the next step.
// Looking one sample ahead this way codes a good deal better than truncating alone (it picks
// the nibble whose step suits the next sample), and the drift term keeps the decoders together.
//
// Above kSearchBelow both decoders' levels are nearly proportional to the step, so the choice
// depends on the step-scaled difference and next difference alone: a table built once from the
// cost answers it with one load. The drift, a few units per sample at most, does not matter
// against steps that large. Below it the encoder evaluates the cost of all eight magnitudes
// with the exact levels of the step (four at a time where the processor has SSE2).

constexpr int kCellsPerStep = 16;  // of the next difference; twice that of the difference
constexpr int kDifferenceCells = 4 * kCellsPerStep;  // up to two steps: beyond, always 7
constexpr int kNextCells = 16 * kCellsPerStep;       // eight steps either way
constexpr int kNextZero = kNextCells / 2;
constexpr int kSearchBelow = 30;  // step 118
constexpr int kTableIndex = 60;   // whose levels the table is built from
constexpr float kDriftWeight = 65;

// Per step index: what both the table and the search read.
struct alignas(64) EncoderRow {
  int64_t difference_scale;  // 2^16 × 2 × kCellsPerStep / step
  int64_t next_scale;        // 2^16 × kCellsPerStep / step
  uint16_t reference[8];     // the change of each magnitude in the reference decoder
  uint16_t product[8];       // and in a multiplying one
  uint16_t next[8];          // the byte offset of the next step index's row
  int32_t index;
  // The cost's terms per magnitude.
  alignas(16) float level[8];  // both changes summed
  float inverse[8];            // 2 / the next step
  float half[8];               // the next step / 2
  float drift[8];              // the product change less the reference one
};

struct EncoderTables {
  EncoderRow rows[kMaxStepIndex + 1];
  // The magnitude for each pair of cells, by next difference: the difference's cell, which comes
  // later, is then the last thing added to the address.
  uint8_t choice[kNextCells * kDifferenceCells];
};

// The cost of a magnitude: a is twice the difference, d twice the next one (both with the sign of
// the difference taken away), drift the multiplying decoder's lead over the reference.
float Cost(float a, float d, float drift, const EncoderRow& row, int m) {
  const float e1 = a - row.level[m];
  const float t = std::fabs(d - row.level[m]) * row.inverse[m] - 0.5f;
  const float nearest = std::nearbyint(std::min(t, 7.0f));  // to even on a tie, as below
  const float e2 = (t - nearest) * row.half[m];
  const float f = drift + row.drift[m];
  return e1 * e1 + e2 * e2 + f * f * kDriftWeight + 1.0f;
}

EncoderTables MakeEncoderTables() {
  EncoderTables t{};
  for (int index = 0; index <= kMaxStepIndex; ++index) {
    const int step = kSteps[index];
    EncoderRow& row = t.rows[index];
    row.difference_scale = (int64_t{2 * kCellsPerStep} << 16) / step;
    row.next_scale = (int64_t{kCellsPerStep} << 16) / step;
    row.index = index;
    for (int m = 0; m < 8; ++m) {
      const int next = std::clamp(index + kIndexChange[m], 0, kMaxStepIndex);
      const int reference = ReferenceChange(step, m), product = ProductChange(step, m);
      row.reference[m] = static_cast<uint16_t>(reference);
      row.product[m] = static_cast<uint16_t>(product);
      row.next[m] = static_cast<uint16_t>(next * sizeof(EncoderRow));
      row.level[m] = static_cast<float>(reference + product);
      row.inverse[m] = 2.0f / static_cast<float>(kSteps[next]);
      row.half[m] = static_cast<float>(kSteps[next]) / 2.0f;
      row.drift[m] = static_cast<float>(product - reference);
    }
  }
  // The cells' centres; the outermost stand for far away, and the first next-difference cell
  // answers as the last, so that an index wrapping below the first may take the last.
  const EncoderRow& row = t.rows[kTableIndex];
  const float step = kSteps[kTableIndex];
  for (int i = 0; i < kDifferenceCells; ++i)
    for (int j = 0; j < kNextCells; ++j) {
      float difference = (static_cast<float>(i) + 0.5f) / (2 * kCellsPerStep);
      float next = (static_cast<float>(j - kNextZero) + 0.5f) / kCellsPerStep;
      if (i == kDifferenceCells - 1) difference = 30;
      if (j == 0 || j == kNextCells - 1) next = 30;
      int best = 0;
      float least = Cost(2 * difference * step, 2 * next * step, 0, row, 0);
      for (int m = 1; m < 8; ++m) {
        const float cost = Cost(2 * difference * step, 2 * next * step, 0, row, m);
        if (cost < least) {
          least = cost;
          best = m;
        }
      }
      t.choice[j * kDifferenceCells + i] = static_cast<uint8_t>(best);
    }
  return t;
}

const EncoderTables& Tables() {
  static const EncoderTables tables = MakeEncoderTables();
  return tables;
}

#if defined(__SSE2__)
// Cost for four magnitudes from the row's arrays at offset.
[[gnu::always_inline]] inline __m128 Cost4(__m128 a, __m128 d, __m128 drift, const EncoderRow& row,
                                           int offset) {
  const __m128 level = _mm_load_ps(row.level + offset);
  const __m128 e1 = _mm_sub_ps(a, level);
  const __m128 distance = _mm_andnot_ps(_mm_set1_ps(-0.0f), _mm_sub_ps(d, level));
  const __m128 t =
      _mm_sub_ps(_mm_mul_ps(distance, _mm_load_ps(row.inverse + offset)), _mm_set1_ps(0.5f));
  const __m128 magic = _mm_set1_ps(12582912.0f);
  const __m128 nearest = _mm_sub_ps(_mm_add_ps(_mm_min_ps(t, _mm_set1_ps(7.0f)), magic), magic);
  const __m128 e2 = _mm_mul_ps(_mm_sub_ps(t, nearest), _mm_load_ps(row.half + offset));
  const __m128 f = _mm_add_ps(drift, _mm_load_ps(row.drift + offset));
  const __m128 sum = _mm_add_ps(_mm_mul_ps(e1, e1), _mm_mul_ps(e2, e2));
  return _mm_add_ps(_mm_add_ps(sum, _mm_mul_ps(_mm_mul_ps(f, f), _mm_set1_ps(kDriftWeight))),
                    _mm_set1_ps(1.0f));
}
#endif

// The magnitude of least cost; on a tie the smallest.
[[gnu::always_inline]] inline uint32_t Search(int a, int d, int drift, const EncoderRow& row) {
#if defined(__SSE2__)
  const __m128 av = _mm_set1_ps(static_cast<float>(a)), dv = _mm_set1_ps(static_cast<float>(d)),
               fv = _mm_set1_ps(static_cast<float>(drift));
  // The costs are positive, so their bits order as they do; the low three bits are given to the
  // magnitude, and the least of the eight carries its own.
  const __m128i keep = _mm_set1_epi32(~7);
  const __m128 low = _mm_castsi128_ps(
      _mm_or_si128(_mm_and_si128(_mm_castps_si128(Cost4(av, dv, fv, row, 0)), keep),
                   _mm_setr_epi32(0, 1, 2, 3)));
  const __m128 high = _mm_castsi128_ps(
      _mm_or_si128(_mm_and_si128(_mm_castps_si128(Cost4(av, dv, fv, row, 4)), keep),
                   _mm_setr_epi32(4, 5, 6, 7)));
  __m128 least = _mm_min_ps(low, high);
  least = _mm_min_ps(least, _mm_shuffle_ps(least, least, 0x4E));
  least = _mm_min_ps(least, _mm_shuffle_ps(least, least, 0xB1));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_castps_si128(least))) & 7;
#else
  uint32_t best = 0;
  float least =
      Cost(static_cast<float>(a), static_cast<float>(d), static_cast<float>(drift), row, 0);
  for (int m = 1; m < 8; ++m) {
    const float cost =
        Cost(static_cast<float>(a), static_cast<float>(d), static_cast<float>(drift), row, m);
    if (cost < least) {
      least = cost;
      best = static_cast<uint32_t>(m);
    }
  }
  return best;
#endif
}

// The coder state of one channel of a block: both decoders' predictions and the step's row.
struct Lane {
  int64_t reference;
  int64_t product;
  const EncoderRow* row;
  int64_t error;  // squared, of both decoders, so far
};

// One sample (and the one after it); answers the nibble. kSearch: below kSearchBelow.
template <bool kSearch>
[[gnu::always_inline]] inline uint32_t Code(int64_t sample, int64_t following, Lane& lane,
                                            const EncoderTables& t) {
  const int64_t predictor = (lane.reference + lane.product) >> 1;
  const int64_t difference = sample - predictor;
  const int64_t negative = difference >> 63;  // 0 or -1: the sign is taken away by flipping bits
  const int64_t magnitude = (difference ^ negative) - negative;
  const int64_t next = (following ^ negative) - (predictor ^ negative);
  const EncoderRow& row = *lane.row;
  uint32_t m;
  if constexpr (kSearch) {
    m = Search(static_cast<int>(2 * magnitude), static_cast<int>(2 * next),
               static_cast<int>((lane.product ^ negative) - (lane.reference ^ negative)), row);
  } else {
    const uint64_t i = std::min<uint64_t>(
        static_cast<uint64_t>(magnitude * row.difference_scale) >> 16, kDifferenceCells - 1);
    // Below the first cell the index wraps to a huge one and takes the last, which answers alike.
    const uint64_t j = std::min<uint64_t>(
        static_cast<uint64_t>(((next * row.next_scale) >> 16) + kNextZero), kNextCells - 1);
    m = t.choice[j * kDifferenceCells + i];
  }
  lane.reference =
      std::min<int64_t>((lane.reference ^ negative) + row.reference[m], 32767) ^ negative;
  lane.product = std::min<int64_t>((lane.product ^ negative) + row.product[m], 32767) ^ negative;
  const int64_t er = sample - lane.reference, ep = sample - lane.product;
  lane.error += er * er + ep * ep;
  lane.row =
      reinterpret_cast<const EncoderRow*>(reinterpret_cast<const char*>(t.rows) + row.next[m]);
  return m | (static_cast<uint32_t>(negative) & 8);
}

// Whether a group is coded by the search is decided at its start, the same way whichever way the
// lanes are grouped, so that a block codes alike alone or beside another.
bool Searches(const Lane& lane) {
  return lane.row->index < kSearchBelow;
}

// One group of two lanes side by side (their chains are independent, so the processor overlaps
// them): samples kStride apart, the following sample always inside the block.
template <int kStride, bool kSearch0, bool kSearch1>
[[gnu::always_inline]] inline void CodeGroups(const int16_t* s0, const int16_t* s1, uint8_t* o0,
                                              uint8_t* o1, Lane& lane0, Lane& lane1,
                                              const EncoderTables& t) {
#pragma GCC unroll 4
  for (int j = 0; j < 8; j += 2) {
    const uint32_t a0 = Code<kSearch0>(s0[j * kStride], s0[(j + 1) * kStride], lane0, t);
    const uint32_t a1 = Code<kSearch1>(s1[j * kStride], s1[(j + 1) * kStride], lane1, t);
    const uint32_t b0 = Code<kSearch0>(s0[(j + 1) * kStride], s0[(j + 2) * kStride], lane0, t);
    const uint32_t b1 = Code<kSearch1>(s1[(j + 1) * kStride], s1[(j + 2) * kStride], lane1, t);
    o0[j / 2] = static_cast<uint8_t>(a0 | b0 << 4);
    o1[j / 2] = static_cast<uint8_t>(a1 | b1 << 4);
  }
}

// One group of one lane; in the block's last group the last sample looks ahead at itself.
template <int kStride, bool kSearch>
void CodeGroup(const int16_t* s, uint8_t* out, bool last, Lane& lane, const EncoderTables& t) {
  for (int j = 0; j < 8; j += 2) {
    const uint32_t a = Code<kSearch>(s[j * kStride], s[(j + 1) * kStride], lane, t);
    const int16_t following = last && j == 6 ? s[7 * kStride] : s[(j + 2) * kStride];
    const uint32_t b = Code<kSearch>(s[(j + 1) * kStride], following, lane, t);
    out[j / 2] = static_cast<uint8_t>(a | b << 4);
  }
}

template <int kStride>
void CodeGroup(const int16_t* s, uint8_t* out, bool last, Lane& lane, const EncoderTables& t) {
  if (Searches(lane))
    CodeGroup<kStride, true>(s, out, last, lane, t);
  else
    CodeGroup<kStride, false>(s, out, last, lane, t);
}

// Codes groups [first, end) of a block's groups of two lanes: s0 and s1 at their first coded
// samples, o0 and o1 at their first groups, each group 4 × kStride bytes after the one before.
template <int kStride>
void CodeSpans(const int16_t* s0, const int16_t* s1, uint8_t* o0, uint8_t* o1, uint32_t first,
               uint32_t end, uint32_t groups, Lane& lane0, Lane& lane1) {
  const EncoderTables& t = Tables();
  Lane a = lane0, b = lane1;  // locals stay in registers: the stores could alias the callers'
  const uint32_t inner = std::min(end, groups - 1);  // the last group looks ahead at itself
  for (uint32_t g = first; g < inner; ++g) {
    const int16_t *x0 = s0 + 8 * kStride * g, *x1 = s1 + 8 * kStride * g;
    uint8_t *p0 = o0 + 4 * kStride * g, *p1 = o1 + 4 * kStride * g;
    const bool search0 = Searches(a), search1 = Searches(b);
    if (!search0 && !search1)
      CodeGroups<kStride, false, false>(x0, x1, p0, p1, a, b, t);
    else if (!search1)
      CodeGroups<kStride, true, false>(x0, x1, p0, p1, a, b, t);
    else if (!search0)
      CodeGroups<kStride, false, true>(x0, x1, p0, p1, a, b, t);
    else
      CodeGroups<kStride, true, true>(x0, x1, p0, p1, a, b, t);
  }
  for (uint32_t g = std::max(first, inner); g < end; ++g) {
    CodeGroup<kStride>(s0 + 8 * kStride * g, o0 + 4 * kStride * g, true, a, t);
    CodeGroup<kStride>(s1 + 8 * kStride * g, o1 + 4 * kStride * g, true, b, t);
  }
  lane0 = a;
  lane1 = b;
}

// The same for one lane.
template <int kStride>
void CodeSpan(const int16_t* s, uint8_t* out, uint32_t first, uint32_t end, uint32_t groups,
              Lane& lane) {
  const EncoderTables& t = Tables();
  Lane a = lane;
  for (uint32_t g = first; g < end; ++g)
    CodeGroup<kStride>(s + 8 * kStride * g, out + 4 * kStride * g, g + 1 == groups, a, t);
  lane = a;
}

// The step index whose step is nearest the mean difference between the block's first samples:
// each block starts afresh, so blocks code independently (and side by side).
int MatchedIndex(const int16_t* x, uint16_t channels, uint32_t count) {
  const uint32_t n = std::min<uint32_t>(count, 8);
  int sum = 0;
  for (uint32_t j = 1; j <= n; ++j)
    sum += std::abs(x[j * channels] - x[(j - 1) * channels]);
  const int mean = n ? sum / static_cast<int>(n) : 0;
  const auto it = std::lower_bound(std::begin(kSteps), std::end(kSteps), mean);
  return static_cast<int>(std::min<ptrdiff_t>(it - std::begin(kSteps), kMaxStepIndex));
}

// ---- The search (the high-quality mode)
//
// A PathSearch over coder states (both decoders' predictions and the step index), grouped by
// step index. The header's step index is part of the search: the first states start from every
// index within kStartIndexes of the matched one.

constexpr int kPerIndex = 3;         // distinct states a step index keeps
constexpr int kIndexSurvivors = 10;  // the cheapest state of each of the cheapest indexes
constexpr int kSurvivors = 12;       // and the cheapest of the others as well
constexpr int kStartIndexes = 10;
struct ImaSearchCodec;
using ImaSearch = PathSearch<ImaSearchCodec, kPerIndex>;

// The signed change of the prediction in a multiplying decoder, per step index and nibble.
struct ProductTable {
  int32_t product[(kMaxStepIndex + 1) * 16];
};

constexpr ProductTable MakeProductTable() {
  ProductTable t{};
  for (int index = 0; index <= kMaxStepIndex; ++index)
    for (int nibble = 0; nibble < 16; ++nibble) {
      const int change = ProductChange(kSteps[index], nibble & 7);
      t.product[index * 16 + nibble] = nibble & 8 ? -change : change;
    }
  return t;
}

constexpr ProductTable kProductChanges = MakeProductTable();

// 2^32 × 4 / step, rounded up: 4 × difference / step by a multiplication.
struct QuotientTable {
  uint64_t scale[kMaxStepIndex + 1];
};

constexpr QuotientTable MakeQuotients() {
  QuotientTable t{};
  for (int index = 0; index <= kMaxStepIndex; ++index)
    t.scale[index] = ((uint64_t{4} << 32) + kSteps[index] - 1) / kSteps[index];
  return t;
}

constexpr QuotientTable kQuotients = MakeQuotients();

// The children of a state, per quantised magnitude m0 (its sign the difference's): the nibbles
// tried, as (other sign, magnitude), and whether each is tried at all. They are the magnitudes
// around m0, the smallest of the other sign, and below 3 one that grows the step.
struct Proposal {
  uint8_t flip[5], magnitude[5];
  bool valid[5];
};

constexpr Proposal kProposals[8] = {
    {{0, 0, 1, 0, 1}, {0, 1, 0, 4, 1}, {true, true, true, true, true}},
    {{0, 0, 0, 1, 0}, {1, 0, 2, 0, 4}, {true, true, true, true, true}},
    {{0, 0, 0, 1, 0}, {2, 1, 3, 0, 4}, {true, true, true, true, true}},
    {{0, 0, 0, 1, 0}, {3, 2, 4, 0, 0}, {true, true, true, true, false}},
    {{0, 0, 0, 1, 0}, {4, 3, 5, 0, 0}, {true, true, true, true, false}},
    {{0, 0, 0, 1, 0}, {5, 4, 6, 0, 0}, {true, true, true, true, false}},
    {{0, 0, 0, 1, 0}, {6, 5, 7, 0, 0}, {true, true, true, true, false}},
    {{0, 0, 1, 0, 0}, {7, 6, 0, 0, 0}, {true, true, true, false, false}},
};

struct ImaSearchCodec {
  // The look ahead: the next two samples coded greedily from the child (each to its nearest
  // level), their squared errors in both decoders.
  static uint64_t Ahead(int index, int prediction, int next, int after) {
    if (next == kNoSample) return 0;
    const int difference = next - prediction;
    const int m = Magnitude(std::abs(difference), index);
    const Transition& t = kTransitions[index * 16 + m];
    const int64_t e = std::abs(difference) - t.change;
    if (after == kNoSample) return static_cast<uint64_t>(2 * e * e);
    const int decoded = prediction + (difference < 0 ? -t.change : t.change);
    const int distance = std::abs(after - decoded);
    const int64_t e2 = distance - kTransitions[t.next * 16 + Magnitude(distance, t.next)].change;
    return static_cast<uint64_t>(2 * (e * e + e2 * e2));
  }

  // The truncating quantiser's magnitude of a distance at a step index.
  static int Magnitude(int distance, int index) {
    return static_cast<int>(
        std::min<uint64_t>(7, static_cast<uint64_t>(distance) * kQuotients.scale[index] >> 32));
  }

  struct State {
    int16_t reference, product;
    int32_t index;
    bool operator==(const State&) const = default;
  };
  static constexpr int kGroups = kMaxStepIndex + 1;  // by step index
  static constexpr int kChildren = 5;

  template <class Put>
  void Extend(const State& n, int sample, int next, int after, Put&& put) const {
    const int difference = sample - ((n.reference + n.product) >> 1);
    const int sign = difference < 0 ? 8 : 0;
    const int m0 = Magnitude(std::abs(difference), n.index);
    const Proposal& p = kProposals[m0];
    const Transition* row = &kTransitions[n.index * 16];
    const int32_t* product_row = &kProductChanges.product[n.index * 16];
    for (int i = 0; i < kChildren; ++i) {
      const int nibble = (sign ^ p.flip[i] << 3) | p.magnitude[i];
      const int reference = std::clamp(n.reference + row[nibble].change, -32768, 32767);
      const int product = std::clamp(n.product + product_row[nibble], -32768, 32767);
      const int64_t er = sample - reference, ep = sample - product;
      put(p.valid[i],
          State{static_cast<int16_t>(reference), static_cast<int16_t>(product), row[nibble].next},
          row[nibble].next, static_cast<uint64_t>(er * er + ep * ep), nibble,
          Ahead(row[nibble].next, (reference + product) >> 1, next, after));
    }
  }
};

// Codes samples 1..count-1 of one channel (stride apart) into nibbles; answers the header's
// step index.
int SearchChannel(const int16_t* x, int stride, uint32_t count, uint8_t* nibbles,
                  ImaSearch& search) {
  const int matched = MatchedIndex(x, static_cast<uint16_t>(stride), count - 1);
  ImaSearchCodec::State roots[kMaxStepIndex + 1];
  int n_roots = 0;
  const int first = std::max(0, matched - kStartIndexes);
  for (int index = first; index <= std::min(kMaxStepIndex, matched + kStartIndexes); ++index)
    roots[n_roots++] = {x[0], x[0], index};
  return first + search.Run({}, std::span(roots, n_roots), x, stride, count - 1, kIndexSurvivors,
                            kSurvivors, nibbles);
}

// The squared error of channel c of a coded block against its samples (count of them, the
// header's included), in both decoders.
int64_t ChannelError(const uint8_t* block, uint16_t channels, uint16_t c, uint32_t count,
                     const int16_t* x) {
  int reference = ReadInt16(block + 4 * c), product = reference;
  int index = std::min<int>(block[4 * c + 2], kMaxStepIndex);
  const int64_t first = x[0] - reference;
  int64_t error = 2 * first * first;
  const int16_t* sample = x + channels;
  const uint8_t* group = block + 4 * channels + 4 * c;
  for (uint32_t g = 0; g < (count - 1) / 8; ++g, group += 4 * channels)
    for (int b = 0; b < 4; ++b)
      for (const uint32_t nibble : {group[b] & 0x0Fu, uint32_t{group[b]} >> 4}) {
        const Transition& t = kTransitions[index * 16 + nibble];
        reference = std::clamp(reference + t.change, -32768, 32767);
        product = std::clamp(product + kProductChanges.product[index * 16 + nibble], -32768, 32767);
        index = t.next;
        const int64_t er = *sample - reference, ep = *sample - product;
        error += er * er + ep * ep;
        sample += channels;
      }
  return error;
}

// The quick encoder, its start indexes tried; trials: room kept between calls.
void EncodeBlocks(const int16_t* frames, uint16_t channels, uint32_t samples_per_block,
                  size_t blocks, uint8_t* out, std::vector<uint8_t>& trials);

// Whole blocks by the search, packed as ImaEncodeBlocks packs them. Where the quick encoder's
// channel comes out closer after all (its look-ahead sees what a short beam may drop), it stays.
void SearchBlocks(const int16_t* frames, uint16_t channels, uint32_t samples_per_block,
                  size_t blocks, uint8_t* out, SearchPair<ImaSearch>& searches,
                  std::vector<uint8_t>& nibbles, std::vector<uint8_t>& trials) {
  const uint32_t groups = (samples_per_block - 1) / 8;
  const size_t block_bytes = 4 * channels * (groups + 1);
  const size_t spb = samples_per_block;
  nibbles.resize(blocks * channels * spb);  // a channel's after the one before
  std::vector<uint8_t> words(4 * groups);   // the quick encoder's, kept for a comeback
  EncodeBlocks(frames, channels, samples_per_block, blocks, out, trials);
  const auto find = [&](size_t b, uint16_t c, ImaSearch& search) {
    return SearchChannel(frames + b * spb * channels + c, channels, samples_per_block,
                         &nibbles[(b * channels + c) * spb], search);
  };
  searches.EachChannel(blocks, channels, find, [&](size_t b, uint16_t c, int index) {
    uint8_t* const block = out + b * block_bytes;
    const int16_t* const x = frames + b * spb * channels + c;
    const uint8_t* const found = &nibbles[(b * channels + c) * spb];
    const int64_t quick = ChannelError(block, channels, c, samples_per_block, x);
    uint8_t coded[4];
    std::memcpy(coded, block + 4 * c, 4);
    for (uint32_t g = 0; g < groups; ++g)
      std::memcpy(&words[4 * g], block + 4 * channels * (g + 1) + 4 * c, 4);
    std::memcpy(block + 4 * c, x, 2);
    block[4 * c + 2] = static_cast<uint8_t>(index);
    for (uint32_t g = 0; g < groups; ++g)
      for (int i = 0; i < 4; ++i)
        block[4 * channels * (g + 1) + 4 * c + i] =
            static_cast<uint8_t>(found[8 * g + 2 * i] | found[8 * g + 2 * i + 1] << 4);
    if (ChannelError(block, channels, c, samples_per_block, x) <= quick) return;
    std::memcpy(block + 4 * c, coded, 4);  // the quick encoder's channel back
    for (uint32_t g = 0; g < groups; ++g)
      std::memcpy(block + 4 * channels * (g + 1) + 4 * c, &words[4 * g], 4);
  });
}

class ImaEncoder final : public BlockEncoder {
 public:
  ImaEncoder(uint16_t channels, uint16_t block_align, uint32_t samples_per_block, bool search)
      : channels_(channels),
        block_align_(block_align),
        samples_per_block_(samples_per_block),
        searches_(search ? std::make_unique<SearchPair<ImaSearch>>() : nullptr) {}
  uint32_t FramesPerBlock() const override { return samples_per_block_; }
  uint32_t MaxBytesPerBlock() const override { return block_align_; }
  size_t Encode(const int16_t* frames, size_t blocks, uint8_t* out) override {
    if (searches_)
      SearchBlocks(frames, channels_, samples_per_block_, blocks, out, *searches_, nibbles_,
                   trials_);
    else
      EncodeBlocks(frames, channels_, samples_per_block_, blocks, out, trials_);
    return blocks * block_align_;
  }

 private:
  uint16_t channels_;
  uint16_t block_align_;
  uint32_t samples_per_block_;
  std::unique_ptr<SearchPair<ImaSearch>> searches_;  // the high mode's; none for the quick one
  std::vector<uint8_t> nibbles_;
  std::vector<uint8_t> trials_;
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

class ImaDriver final : public CodecDriver {
 public:
  using CodecDriver::CodecDriver;

  FormatRecord MakeFormat(uint16_t channels, uint32_t rate) const override {
    return WriteRecord(
        AdpcmRecord<IMAADPCMWAVEFORMAT>(WAVE_FORMAT_IMA_ADPCM, channels, rate, ImaSamplesPerBlock));
  }

  bool CheckFormat(const WAVEFORMATEX& format) const override {
    const auto record = ReadRecord<IMAADPCMWAVEFORMAT>(format);
    if (!CheckCommonFields(format) || !record) return false;
    const uint32_t samples = ImaSamplesPerBlock(format.nBlockAlign, format.nChannels);
    return samples > 1 && samples == record->wSamplesPerBlock;
  }

 protected:
  std::unique_ptr<BlockEncoder> MakeEncoder(const WAVEFORMATEX& format) const override {
    return std::make_unique<ImaEncoder>(format.nChannels, format.nBlockAlign,
                                        ReadRecord<IMAADPCMWAVEFORMAT>(format)->wSamplesPerBlock,
                                        CurrentEncoderOptions().high_quality);
  }
  std::unique_ptr<BlockDecoder> MakeDecoder(const WAVEFORMATEX& format) const override {
    return std::make_unique<ImaDecoder>(format.nChannels, format.nBlockAlign,
                                        ReadRecord<IMAADPCMWAVEFORMAT>(format)->wSamplesPerBlock);
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

void ImaSearchBlocks(const int16_t* frames, uint16_t channels, uint32_t samples_per_block,
                     size_t blocks, uint8_t* out) {
  auto searches = std::make_unique<SearchPair<ImaSearch>>();
  std::vector<uint8_t> nibbles, trials;
  SearchBlocks(frames, channels, samples_per_block, blocks, out, *searches, nibbles, trials);
}

namespace {

// Near silence the smallest steps code worse than a held level (their magnitudes part the
// decoder families, and the drift penalty leaves few nibbles): a quiet channel whose coding comes
// out worse is written as its mean in the header with step index 0 and zero nibbles, which
// every decoder reads as that level held.
void HoldQuietChannels(const int16_t* frames, uint16_t channels, uint32_t samples_per_block,
                       size_t blocks, uint8_t* out) {
  constexpr int64_t kQuiet = 16 * 16;  // a mean square around the mean
  const uint32_t groups = (samples_per_block - 1) / 8;
  const size_t block_bytes = 4 * channels * (groups + 1);
  const int64_t n = samples_per_block;
  for (size_t b = 0; b < blocks;
       ++b, frames += size_t{samples_per_block} * channels, out += block_bytes)
    for (uint16_t c = 0; c < channels; ++c) {
      int64_t sum = 0, squares = 0;
      for (uint32_t j = 0; j < samples_per_block; ++j) {
        const int64_t v = frames[j * channels + c];
        sum += v;
        squares += v * v;
      }
      const int64_t level = (2 * sum + (sum < 0 ? -n : n)) / (2 * n);  // rounded
      const int64_t held = squares - 2 * level * sum + n * level * level;
      if (held > kQuiet * n ||
          2 * held >= ChannelError(out, channels, c, samples_per_block, frames + c))
        continue;
      const auto value = static_cast<int16_t>(level);
      std::memcpy(out + 4 * c, &value, 2);
      out[4 * c + 2] = 0;
      for (uint32_t g = 0; g < groups; ++g)
        std::memset(out + 4 * channels * (g + 1) + 4 * c, 0, 4);
    }
}

}  // namespace

namespace {

// The step index matched to a block's first samples is a guess, and the index a block starts
// from marks it (the decoders' rounding keeps paths apart). Which start suits the block shows in
// its first groups, where the paths differ most: each channel codes them from the indexes around
// the matched one, and the one of least decoded error in both decoder families goes on.
constexpr int kStartOffsets[] = {0, -8, -4, -2, -1, 1, 2, 4, 8};  // the matched one wins ties
constexpr int kStarts = std::size(kStartOffsets);
constexpr uint32_t kStartGroups = 8;
// Past the first groups the paths from different starts stay apart by the decoders' rounding
// alone, and which comes out closer is chance: worth trying out where a block codes poorly (its
// error then dominates a file's), below this signal-to-error ratio (both decoders' errors).
constexpr int64_t kPoorRatio = 316;  // 25 dB

// A channel's trial starts: their lanes after the first groups, coded into rooms a block apart.
struct Starts {
  Lane lanes[kStarts];
  int index[kStarts];
  int count;
  int best;
};

// Codes the first min(groups, kStartGroups) groups of a channel from each start into trials (a
// block's room for each), and writes the header and the first groups of the least decoded error
// into block. x: the channel's first sample.
template <int kStride>
void TryStarts(const int16_t* x, uint32_t groups, uint8_t* block, size_t block_bytes,
               uint8_t* trials, Starts& s) {
  const int matched = MatchedIndex(x, kStride, 8 * groups);
  const uint32_t prefix = std::min(groups, kStartGroups);
  const size_t at = 4 * kStride;  // the channel's first group, from its header
  s.count = 0;
  for (const int offset : kStartOffsets)
    if (matched + offset >= 0 && matched + offset <= kMaxStepIndex) {
      s.index[s.count] = matched + offset;
      s.lanes[s.count++] = Lane{x[0], x[0], &Tables().rows[matched + offset], 0};
    }
  for (int k = 0; k < s.count; k += 2) {
    uint8_t* const room = trials + k * block_bytes + at;
    if (k + 1 < s.count)
      CodeSpans<kStride>(x + kStride, x + kStride, room, room + block_bytes, 0, prefix, groups,
                         s.lanes[k], s.lanes[k + 1]);
    else
      CodeSpan<kStride>(x + kStride, room, 0, prefix, groups, s.lanes[k]);
  }
  s.best = 0;
  for (int k = 1; k < s.count; ++k)
    if (s.lanes[k].error < s.lanes[s.best].error) s.best = k;
  std::memcpy(block, x, 2);
  block[2] = static_cast<uint8_t>(s.index[s.best]);
  block[3] = 0;
  const uint8_t* const room = trials + s.best * block_bytes + at;
  for (uint32_t g = 0; g < prefix; ++g)
    std::memcpy(block + at + 4 * kStride * g, room + 4 * kStride * g, 4);
}

// Once the chosen start has coded the whole channel into block, ending at lane: where the block
// codes poorly, the other starts code on from their first groups (each given up once it cannot
// come out closer), and the closest replaces the channel.
template <int kStride>
void FinishStarts(const int16_t* x, uint32_t groups, uint8_t* block, size_t block_bytes,
                  uint8_t* trials, Starts& s, const Lane& lane) {
  int64_t energy = 0;
  for (uint32_t j = 1; j <= 8 * groups; ++j)
    energy += int64_t{x[j * kStride]} * x[j * kStride];
  if (lane.error * kPoorRatio <= 2 * energy) return;
  const uint32_t prefix = std::min(groups, kStartGroups);
  const size_t at = 4 * kStride;
  int64_t least = lane.error;
  int others[kStarts], n = 0;
  for (int k = 0; k < s.count; ++k)
    if (k != s.best) others[n++] = k;
  int best = s.best;
  for (int i = 0; i < n; i += 2) {
    Lane& a = s.lanes[others[i]];
    Lane& b = s.lanes[others[i + 1 < n ? i + 1 : i]];
    uint8_t* const ra = trials + others[i] * block_bytes + at;
    uint8_t* const rb = trials + others[i + 1 < n ? i + 1 : i] * block_bytes + at;
    for (uint32_t g = prefix; g < groups && (a.error < least || b.error < least); g += 8) {
      const uint32_t end = std::min(groups, g + 8);
      if (i + 1 < n)
        CodeSpans<kStride>(x + kStride, x + kStride, ra, rb, g, end, groups, a, b);
      else
        CodeSpan<kStride>(x + kStride, ra, g, end, groups, a);
    }
    for (const int k : {others[i], others[i + 1 < n ? i + 1 : i]})
      if (s.lanes[k].error < least) {  // only a whole coding comes out below it
        least = s.lanes[k].error;
        best = k;
      }
  }
  if (best == s.best) return;
  block[2] = static_cast<uint8_t>(s.index[best]);
  const uint8_t* const room = trials + best * block_bytes + at;
  for (uint32_t g = 0; g < groups; ++g)
    std::memcpy(block + at + 4 * kStride * g, room + 4 * kStride * g, 4);
}

void EncodeQuickly(const int16_t* frames, uint16_t channels, uint32_t samples_per_block,
                   size_t blocks, uint8_t* out, std::vector<uint8_t>& trials) {
  const uint32_t groups = (samples_per_block - 1) / 8;
  const uint32_t prefix = std::min(groups, kStartGroups);
  const size_t block_bytes = 4 * channels * (groups + 1);
  const size_t block_samples = size_t{samples_per_block} * channels;
  trials.resize(2 * kStarts * block_bytes);
  uint8_t* const rooms[2] = {trials.data(), trials.data() + kStarts * block_bytes};
  Starts s[2];
  if (channels == 2) {  // the two channels of a block side by side
    for (size_t b = 0; b < blocks; ++b, frames += block_samples, out += block_bytes) {
      TryStarts<2>(frames, groups, out, block_bytes, rooms[0], s[0]);
      TryStarts<2>(frames + 1, groups, out + 4, block_bytes, rooms[0] + 4, s[1]);
      Lane left = s[0].lanes[s[0].best], right = s[1].lanes[s[1].best];
      CodeSpans<2>(frames + 2, frames + 3, out + 8, out + 12, prefix, groups, groups, left, right);
      FinishStarts<2>(frames, groups, out, block_bytes, rooms[0], s[0], left);
      FinishStarts<2>(frames + 1, groups, out + 4, block_bytes, rooms[0] + 4, s[1], right);
    }
    return;
  }
  size_t b = 0;  // mono: two blocks side by side
  for (; b + 1 < blocks; b += 2, frames += 2 * block_samples, out += 2 * block_bytes) {
    const int16_t* const next = frames + block_samples;
    TryStarts<1>(frames, groups, out, block_bytes, rooms[0], s[0]);
    TryStarts<1>(next, groups, out + block_bytes, block_bytes, rooms[1], s[1]);
    Lane first = s[0].lanes[s[0].best], second = s[1].lanes[s[1].best];
    CodeSpans<1>(frames + 1, next + 1, out + 4, out + block_bytes + 4, prefix, groups, groups,
                 first, second);
    FinishStarts<1>(frames, groups, out, block_bytes, rooms[0], s[0], first);
    FinishStarts<1>(next, groups, out + block_bytes, block_bytes, rooms[1], s[1], second);
  }
  if (b < blocks) {
    TryStarts<1>(frames, groups, out, block_bytes, rooms[0], s[0]);
    Lane lane = s[0].lanes[s[0].best];
    CodeSpan<1>(frames + 1, out + 4, prefix, groups, groups, lane);
    FinishStarts<1>(frames, groups, out, block_bytes, rooms[0], s[0], lane);
  }
}

void EncodeBlocks(const int16_t* frames, uint16_t channels, uint32_t samples_per_block,
                  size_t blocks, uint8_t* out, std::vector<uint8_t>& trials) {
  EncodeQuickly(frames, channels, samples_per_block, blocks, out, trials);
  HoldQuietChannels(frames, channels, samples_per_block, blocks, out);
}

}  // namespace

void ImaEncodeBlocks(const int16_t* frames, uint16_t channels, uint32_t samples_per_block,
                     size_t blocks, uint8_t* out) {
  std::vector<uint8_t> trials;
  EncodeBlocks(frames, channels, samples_per_block, blocks, out, trials);
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
  return std::make_shared<ImaDriver>(TagCaps{.tag = WAVE_FORMAT_IMA_ADPCM,
                                             .name = "IMA ADPCM",
                                             .bits = {4},
                                             .format_size = sizeof(IMAADPCMWAVEFORMAT)});
}

}  // namespace acm
