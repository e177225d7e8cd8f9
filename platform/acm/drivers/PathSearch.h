#pragma once

// The search over nibble paths behind the ADPCM encoders' high-quality mode. Each sample extends
// every living coder state by the nibbles its codec proposes, scored by the summed squared error
// of the decoded samples. Children are grouped by what most shapes their future (the step index,
// the delta's size); each group keeps its kPerGroup best distinct states. Of these the best state
// of each of the best groups lives on, and the best of the rest fill up to the survivors; so a
// path whose step stays large through a quiet stretch lives on for the jump after it.
//
// Children are ranked by their cost so far plus what the next two samples will cost from them
// coded greedily (each the error of its nearest level): a look ahead tells the paths that lead
// somewhere from those that only start well, so that a few survivors find what many find
// without it.
//
// A child costs a few branch-free instructions: its key (rank above its number) enters its
// group's sorted keys through a compare-exchange chain. Only the groups' keys are sorted out.
//
// A Codec supplies
//   using State = ...;  // trivially copyable, equality-comparable
//   static constexpr int kGroups, kChildren;
//   template <class Put>
//   void Extend(const State&, int sample, int next, int after, Put&& put) const;
// where Extend calls put(valid, child, group, squared_error, nibble, ahead) the same number of
// times for every state (an invalid child is not kept), so that the loop has no branches to
// miss; ahead is the look ahead's cost of next and after (either may be kNoSample).

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

namespace acm {

// The next and the following sample where the block has ended.
constexpr int kNoSample = INT32_MIN;

template <class Codec, int kPerGroup>
class PathSearch {
 public:
  using State = typename Codec::State;
  static_assert(Codec::kGroups <= 256);

  PathSearch() { std::fill(&slots_[0][0], &slots_[0][0] + Codec::kGroups * kPerGroup, kEmpty); }

  // Codes x[stride], x[2 · stride], … (count samples) from the roots (at most kMaxSurvivors)
  // into nibbles (one a byte); answers the index of the root the cheapest path starts from.
  int Run(const Codec& codec, std::span<const State> roots, const int16_t* x, int stride,
          uint32_t count, int group_survivors, int survivors, uint8_t* nibbles) {
    if (count == 0 || roots.empty()) return 0;
    roots = roots.first(std::min<size_t>(roots.size(), kMaxSurvivors));
    // The ways back take count × survivors entries: long blocks keep fewer survivors.
    survivors = std::clamp(survivors, 1, kMaxSurvivors);
    survivors = std::min(survivors, std::max(8, static_cast<int>(kTraceEntries / count)));
    group_survivors = std::clamp(group_survivors, 1, survivors);
    trace_.resize(size_t{count} * survivors);
    states_.assign(roots.begin(), roots.end());
    costs_.assign(roots.size(), 0);
    for (uint32_t j = 0; j < count; ++j) {
      const int sample = x[size_t{j + 1} * stride];
      const int next = j + 1 < count ? x[size_t{j + 2} * stride] : kNoSample;
      const int after = j + 2 < count ? x[size_t{j + 3} * stride] : kNoSample;
      uint32_t id = 0;
      for (size_t k = 0; k < states_.size(); ++k) {
        const uint64_t cost = costs_[k];
        codec.Extend(states_[k], sample, next, after,
                     [&](bool valid, const State& child, int group, uint64_t error, int nibble,
                         uint64_t ahead) {
                       children_[id] = child;
                       links_[id] = static_cast<uint16_t>(k << 4 | nibble);
                       child_costs_[id] = cost + error;
                       Insert(group, valid ? (cost + error + ahead) << kIdBits | id : kEmpty);
                       ++id;
                     });
      }
      Take(group_survivors, survivors, &trace_[size_t{j} * survivors]);
    }
    size_t best = std::min_element(costs_.begin(), costs_.end()) - costs_.begin();
    for (uint32_t j = count; j-- > 0;) {
      const uint16_t link = trace_[size_t{j} * survivors + best];
      nibbles[j] = static_cast<uint8_t>(link & 15);
      best = link >> 4;
    }
    return static_cast<int>(best);
  }

  // Children a sample makes, at most: survivors × the codec's children a state.
  static constexpr int kIdBits = 10;
  static constexpr int kMaxSurvivors = 128;
  static constexpr uint32_t kTraceEntries = 512 * 1024;  // 1 MiB
  static_assert(kMaxSurvivors * Codec::kChildren <= 1 << kIdBits);

 private:
  static constexpr uint64_t kEmpty = UINT64_MAX;
  static constexpr uint64_t kIdMask = (uint64_t{1} << kIdBits) - 1;

  // The key into its group's keys, kept sorted, the dearest falling out.
  void Insert(int group, uint64_t key) {
    uint64_t* const slots = slots_[group];
    if (key >= slots[kPerGroup - 1]) return;
    touched_[reached_] = static_cast<uint8_t>(group);
    reached_ += slots[0] == kEmpty;  // the group's first key this sample
#pragma GCC unroll 8
    for (int i = 0; i < kPerGroup; ++i) {
      const uint64_t here = slots[i];
      const uint64_t lower = -static_cast<uint64_t>(key < here);  // by mask: a branch would miss
      slots[i] = (key & lower) | (here & ~lower);
      key = (here & lower) | (key & ~lower);
    }
  }

  // The survivors into states_ and costs_, their ways back into row.
  void Take(int group_survivors, int survivors, uint16_t* row) {
    uint64_t firsts[Codec::kGroups], others[Codec::kGroups * kPerGroup];
    int n_firsts = 0, n_others = 0;
    for (int t = 0; t < reached_; ++t) {
      uint64_t* const slots = slots_[touched_[t]];
      firsts[n_firsts++] = slots[0];
      for (int i = 1; i < kPerGroup && slots[i] != kEmpty; ++i) {
        bool seen = false;  // a state reached again by a dearer way
        for (int e = 0; e < i; ++e)
          seen |= children_[slots[i] & kIdMask] == children_[slots[e] & kIdMask];
        if (!seen) others[n_others++] = slots[i];
      }
      std::fill(slots, slots + kPerGroup, kEmpty);  // empty for the next sample
    }
    reached_ = 0;
    const int alive = std::min(n_firsts, group_survivors);
    if (n_firsts > alive) {
      Cheapest(firsts, n_firsts, alive);
      std::copy(firsts + alive, firsts + n_firsts, others + n_others);  // they compete on
      n_others += n_firsts - alive;
    }
    const int more = std::min(survivors - alive, n_others);
    Cheapest(others, n_others, more);
    states_.resize(alive + more);
    costs_.resize(alive + more);
    for (int k = 0; k < alive + more; ++k) {
      const uint64_t key = k < alive ? firsts[k] : others[k - alive];
      states_[k] = children_[key & kIdMask];
      costs_[k] = child_costs_[key & kIdMask];
      row[k] = links_[key & kIdMask];
    }
  }

  // The k smallest of keys[0..n) to its front. k or n - k is a few, so a scan for each of them
  // beats a general selection.
  static void Cheapest(uint64_t* keys, int n, int k) {
    if (k <= 0 || k >= n) return;
    if (k <= n - k) {
      for (int i = 0; i < k; ++i)
        std::iter_swap(keys + i, std::min_element(keys + i, keys + n));
    } else {
      for (int end = n; end > k; --end)
        std::iter_swap(keys + end - 1, std::max_element(keys, keys + end));
    }
  }

  uint64_t slots_[Codec::kGroups][kPerGroup];
  uint8_t touched_[Codec::kGroups + 1];  // the groups holding keys, reached_ of them
  int reached_ = 0;
  State children_[1 << kIdBits];
  uint16_t links_[1 << kIdBits];  // the parent above the nibble
  uint64_t child_costs_[1 << kIdBits];
  std::vector<State> states_;
  std::vector<uint64_t> costs_;
  std::vector<uint16_t> trace_;
};

// The searches of one call to an encoder. A block's channels and a call's blocks code
// independently, and the searches are what the high mode costs: where the processor has two
// cores or more, they run on the calling thread and one more.
template <class Search>
class SearchPair {
 public:
  // Calls task(item, search) for items 0..n-1, each with a search of its own thread.
  template <class Task>
  void ForEach(size_t n, Task&& task) {
    std::atomic<size_t> next{0};
    std::exception_ptr failures[2];
    const auto work = [&](int worker) {
      try {
        for (size_t i; (i = next.fetch_add(1)) < n;)
          task(i, searches_[worker]);
      } catch (...) {
        failures[worker] = std::current_exception();
        next = n;  // the other stops after its item
      }
    };
    std::thread helper;
    if (n > 1 && std::thread::hardware_concurrency() > 1) {
      try {
        helper = std::thread(work, 1);
      } catch (const std::system_error&) {  // no thread to be had: all on this one
      }
    }
    work(0);
    if (helper.joinable()) helper.join();
    for (const auto& failure : failures)
      if (failure) std::rethrow_exception(failure);
  }

  // For every channel c of every block b: find(b, c, search) on either thread, then
  // apply(b, c, what find answered) on the calling thread, in order.
  template <class Find, class Apply>
  void EachChannel(size_t blocks, uint16_t channels, Find&& find, Apply&& apply) {
    std::vector<int> answers(blocks * channels);
    ForEach(answers.size(), [&](size_t item, Search& search) {
      answers[item] = find(item / channels, static_cast<uint16_t>(item % channels), search);
    });
    for (size_t item = 0; item < answers.size(); ++item)
      apply(item / channels, static_cast<uint16_t>(item % channels), answers[item]);
  }

 private:
  Search searches_[2];
};

}  // namespace acm
