#include "core/video/resend_cache.h"

#include <algorithm>
#include <cmath>

namespace lumenbrook {

ResendCache::ResendCache(std::size_t capacity, double budgetPerSecond)
    : capacity_(capacity), budgetPerSecond_(budgetPerSecond) {}

void ResendCache::store(std::uint32_t frameID, std::vector<Bytes> datagrams) {
  auto [it, inserted] = frames_.insert_or_assign(frameID, std::move(datagrams));
  (void)it;
  if (!inserted) order_.erase(std::find(order_.begin(), order_.end(), frameID));
  order_.push_back(frameID);
  if (order_.size() > capacity_) {
    frames_.erase(order_.front());
    order_.pop_front();
  }
}

std::vector<std::uint16_t> ResendCache::wanted(std::size_t count, std::span<const std::uint16_t> missing) {
  std::vector<std::uint16_t> out;
  std::vector<bool> seen(count);
  for (auto index : missing) {
    if (index >= count || seen[index]) continue;
    seen[index] = true;
    out.push_back(index);
  }
  return out;
}

std::vector<Bytes> ResendCache::datagrams(std::uint32_t frameID, std::span<const std::uint16_t> missing) const {
  std::vector<Bytes> found;
  auto it = frames_.find(frameID);
  if (it == frames_.end()) return found;
  const auto& stored = it->second;
  for (auto index : wanted(stored.size(), missing)) found.push_back(stored[index]);
  return found;
}

std::vector<Bytes> ResendCache::budgetedDatagrams(std::uint32_t frameID, std::span<const std::uint16_t> missing,
                                                  double now) {
  const double b = budgetPerSecond_;
  double balance = std::min(b, tokens_.value_or(b));
  if (std::isfinite(now)) {
    if (lastRefill_) {
      const double elapsed = now - *lastRefill_;
      if (elapsed > 0) balance = std::min(balance + b * elapsed, b);
    }
    lastRefill_ = now;
  }
  if (!(balance > 0)) balance = 0;  // also catches a NaN budget

  std::vector<Bytes> found;
  auto it = frames_.find(frameID);
  const std::vector<std::uint16_t> indexes =
      it == frames_.end() ? std::vector<std::uint16_t>{} : wanted(it->second.size(), missing);
  // Compared before converting, so that the balance is never cast when it exceeds the count.
  const std::size_t allowed =
      balance >= static_cast<double>(indexes.size()) ? indexes.size() : static_cast<std::size_t>(balance);
  tokens_ = balance - static_cast<double>(allowed);
  refused_ += indexes.size() - allowed;
  found.reserve(allowed);
  for (std::size_t i = 0; i < allowed; ++i) found.push_back(it->second[indexes[i]]);
  return found;
}

}  // namespace lumenbrook
