#include "memory.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <utility>

namespace emu::proxy {

namespace {

// What an idle client keeps for its next requests: enough for the tensors of
// a few inferences, little against the caps.
constexpr std::size_t kSpareCount = 8;
constexpr std::size_t kSpareBytes = 64u << 20;

}  // namespace

std::shared_ptr<Account> Budget::open() { return std::make_shared<Account>(*this); }

std::uint64_t Budget::used() const {
  std::lock_guard lock(mutex_);
  return used_;
}

void Budget::drop_all_spares() {
  for (auto* account : accounts_) account->drop_spares();
}

Account::Account(Budget& budget) : budget_(budget) {
  std::lock_guard lock(budget_.mutex_);
  budget_.accounts_.push_back(this);
}

Account::~Account() {
  std::lock_guard lock(budget_.mutex_);
  drop_spares();
  std::erase(budget_.accounts_, this);
}

std::uint64_t Account::held() const {
  std::lock_guard lock(budget_.mutex_);
  return held_;
}

void Account::drop(std::size_t capacity) {
  held_ -= capacity;
  budget_.used_ -= capacity;
}

void Account::drop_spares() {
  for (const auto& spare : spares_) {
    std::free(spare.data);
    drop(spare.capacity);
  }
  spares_.clear();
}

std::optional<Buffer> Account::reuse(std::size_t size) {
  std::lock_guard lock(budget_.mutex_);
  return reuse_locked(size);
}

std::optional<Buffer> Account::reuse_locked(std::size_t size) {
  auto best = spares_.end();
  for (auto it = spares_.begin(); it != spares_.end(); ++it) {
    if (it->capacity >= size && (best == spares_.end() || it->capacity < best->capacity)) best = it;
  }
  if (best == spares_.end()) return std::nullopt;
  Spare spare = *best;
  spares_.erase(best);
  return Buffer(shared_from_this(), spare.data, spare.capacity);
}

bool Account::charge(std::size_t size) {
  // held_ and used_ never pass their caps, so the subtractions cannot wrap.
  auto fits = [&] {
    return size <= budget_.per_client_ - held_ && size <= budget_.total_ - budget_.used_;
  };
  if (!fits()) drop_spares();
  if (!fits()) budget_.drop_all_spares();
  if (!fits()) return false;
  held_ += size;
  budget_.used_ += size;
  return true;
}

std::optional<Buffer> Account::take(std::size_t size) {
  {
    std::lock_guard lock(budget_.mutex_);
    if (auto spare = reuse_locked(size)) return spare;
  }
  Buffer buffer;
  if (!grow(buffer, size)) return std::nullopt;
  return buffer;
}

bool Account::grow(Buffer& buffer, std::size_t size) {
  auto old = buffer.capacity_;
  if (size <= old) return true;
  {
    std::lock_guard lock(budget_.mutex_);
    if (!charge(size - old)) return false;
  }
  // Fresh memory is zeroed: it may come from another client's freed buffers.
  // (calloc does not write pages fresh from the kernel, so untouched pages
  // stay out of the daemon's resident set.)
  auto* data = static_cast<std::uint8_t*>(old ? std::realloc(buffer.data_, size) : std::calloc(size, 1));
  if (!data) {
    std::lock_guard lock(budget_.mutex_);
    drop(size - old);
    return false;
  }
  if (old) std::memset(data + old, 0, size - old);
  if (!buffer.account_) buffer.account_ = shared_from_this();
  buffer.data_ = data;
  buffer.capacity_ = size;
  return true;
}

std::optional<Charge> Account::hold(std::uint64_t bytes) {
  std::lock_guard lock(budget_.mutex_);
  if (!charge(bytes)) return std::nullopt;
  return Charge(shared_from_this(), bytes);
}

void Account::release(std::uint64_t bytes) {
  std::lock_guard lock(budget_.mutex_);
  drop(bytes);
}

void Account::give_back(std::uint8_t* data, std::size_t capacity) {
  {
    std::lock_guard lock(budget_.mutex_);
    auto kept = std::accumulate(spares_.begin(), spares_.end(), std::size_t{0},
                                [](std::size_t sum, const Spare& s) { return sum + s.capacity; });
    if (spares_.size() < kSpareCount && capacity <= kSpareBytes - kept) {
      spares_.push_back({data, capacity});
      return;
    }
    drop(capacity);
  }
  std::free(data);
}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
  if (this != &other) {
    reset();
    account_ = std::move(other.account_);
    data_ = std::exchange(other.data_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

void Buffer::reset() {
  if (data_) account_->give_back(data_, capacity_);
  data_ = nullptr;
  capacity_ = 0;
  account_.reset();
}

Charge& Charge::operator=(Charge&& other) noexcept {
  if (this != &other) {
    reset();
    account_ = std::move(other.account_);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

void Charge::reset() {
  if (account_) account_->release(bytes_);
  account_.reset();
  bytes_ = 0;
}

}  // namespace emu::proxy
