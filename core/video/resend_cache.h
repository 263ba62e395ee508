#pragma once
// The host's copy of the fragments of its most recent frames, kept so that fragments a phone
// reports missing can be sent again, with a token bucket that limits how many are resent per
// second so that a phone on a bad network cannot make the host flood it. Fragments are kept
// as plaintext, exactly as the fragmenter made them; the caller seals each resend anew.
//
// A request names each fragment at most once however often it lists it: a phone asking for one
// index thousands of times gets it once, so one request never costs more than the frame's own
// fragment count.
//
// A plain value used from one place at a time. Time is the caller's: seconds on a clock it
// keeps steady.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "core/util/bytes.h"

namespace lumenbrook {

class ResendCache {
 public:
  // 120 frames are two seconds of video at 60 frames per second.
  static constexpr std::size_t defaultCapacity = 120;
  static constexpr double defaultBudgetPerSecond = 2000;

  // `budgetPerSecond` is both the refill rate and the size of the bucket.
  explicit ResendCache(std::size_t capacity = defaultCapacity, double budgetPerSecond = defaultBudgetPerSecond);

  // Remembers the fragments of one frame, in index order; once more than `capacity` frames
  // are held, the oldest goes. Storing an id again replaces its fragments and makes it the
  // newest, so the fresh copy is not evicted on behalf of the old one.
  void store(std::uint32_t frameID, std::vector<Bytes> datagrams);

  // The stored fragments at the given indexes, in the order each was first asked, once each;
  // indexes out of range and unknown frames give nothing. No budget applies.
  std::vector<Bytes> datagrams(std::uint32_t frameID, std::span<const std::uint16_t> missing) const;

  // Like datagrams(), cut to the first fragments the bucket allows at `now`; only those are
  // copied, so the work of a request is bounded by the budget, not its length. The bucket
  // starts full, refills at budgetPerSecond for the time since the previous budgeted request
  // and never holds more than budgetPerSecond; a fractional balance carries over. A request
  // for a frame not held still refills the bucket and costs nothing. When `now` is earlier
  // than the previous request (the caller's clock stepped back) no time has passed, so the
  // balance never goes negative; a `now` that is not finite counts as no time either.
  std::vector<Bytes> budgetedDatagrams(std::uint32_t frameID, std::span<const std::uint16_t> missing, double now);

  bool contains(std::uint32_t frameID) const { return frames_.contains(frameID); }
  // Stored frame ids, oldest first.
  const std::deque<std::uint32_t>& order() const { return order_; }
  std::size_t capacity() const { return capacity_; }
  double budgetPerSecond() const { return budgetPerSecond_; }
  // Balance after the last budgeted request; absent before the first one.
  std::optional<double> tokens() const { return tokens_; }
  // Time of the last budgeted request; absent before the first one.
  std::optional<double> lastRefill() const { return lastRefill_; }
  // Requested fragments that were held but not resent for lack of budget, in all (each
  // counted once per request).
  std::uint64_t refused() const { return refused_; }

  friend bool operator==(const ResendCache&, const ResendCache&) = default;

 private:
  // The distinct indexes of `missing` below `count`, in the order first asked.
  static std::vector<std::uint16_t> wanted(std::size_t count, std::span<const std::uint16_t> missing);

  std::unordered_map<std::uint32_t, std::vector<Bytes>> frames_;
  std::deque<std::uint32_t> order_;
  std::size_t capacity_;
  double budgetPerSecond_;
  std::optional<double> tokens_;
  std::optional<double> lastRefill_;
  std::uint64_t refused_ = 0;
};

}  // namespace lumenbrook
