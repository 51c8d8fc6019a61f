// Payload memory the daemon holds for its clients: frames being received,
// tensor bytes of requests, and spare buffers kept for reuse. Every such
// buffer is charged to its client's account and to the daemon's total, both
// capped, so that no client can make the daemon allocate without bound.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace emu::proxy {

class Account;
class Buffer;
class Charge;

class Budget {
 public:
  Budget(std::uint64_t per_client, std::uint64_t total) : per_client_(per_client), total_(total) {}
  Budget(const Budget&) = delete;
  Budget& operator=(const Budget&) = delete;
  /// A new client's account; the budget must outlive it.
  std::shared_ptr<Account> open();
  std::uint64_t used() const;

 private:
  friend class Account;
  void drop_all_spares();  // mutex held

  mutable std::mutex mutex_;  // guards used_ and every account
  std::uint64_t per_client_, total_;
  std::uint64_t used_ = 0;
  std::vector<Account*> accounts_;
};

/// One client's share of the budget. Buffers it gives back are kept (a few,
/// up to a byte bound) and handed out again, so steady traffic neither
/// allocates nor faults pages in. Kept buffers are only a cache: they are the
/// first thing freed when any client needs room.
class Account : public std::enable_shared_from_this<Account> {
 public:
  explicit Account(Budget& budget);
  ~Account();
  Account(const Account&) = delete;
  Account& operator=(const Account&) = delete;

  /// A buffer of at least `size` (> 0) bytes, or nothing when a cap does not
  /// allow it. New memory reads as zeros; reused memory holds this client's
  /// earlier bytes, never another's.
  std::optional<Buffer> take(std::size_t size);
  /// A kept buffer of at least `size` bytes, if there is one; never allocates.
  std::optional<Buffer> reuse(std::size_t size);
  /// Makes `buffer` (empty, or of this account) hold `size` bytes, keeping
  /// its contents and charging only the difference; false when a cap does
  /// not allow it.
  bool grow(Buffer& buffer, std::size_t size);
  /// Charges `bytes` of memory held in some other form (a loaded model) until
  /// the charge is destroyed; nothing when a cap does not allow it.
  std::optional<Charge> hold(std::uint64_t bytes);
  std::uint64_t held() const;

 private:
  friend class Budget;
  friend class Buffer;
  friend class Charge;
  struct Spare {
    std::uint8_t* data;
    std::size_t capacity;
  };
  std::optional<Buffer> reuse_locked(std::size_t size);
  bool charge(std::size_t size);  // mutex held; frees kept buffers to make room
  void give_back(std::uint8_t* data, std::size_t capacity);
  void drop(std::size_t capacity);  // mutex held
  void release(std::uint64_t bytes);  // of a charge
  void drop_spares();               // mutex held

  Budget& budget_;
  std::uint64_t held_ = 0;  // spares included
  std::vector<Spare> spares_;
};

/// A block of payload memory charged to an account until it is destroyed.
class Buffer {
 public:
  Buffer() = default;
  Buffer(Buffer&& other) noexcept { *this = std::move(other); }
  Buffer& operator=(Buffer&& other) noexcept;
  ~Buffer() { reset(); }
  std::uint8_t* data() const { return data_; }
  std::size_t capacity() const { return capacity_; }
  void reset();

 private:
  friend class Account;
  Buffer(std::shared_ptr<Account> account, std::uint8_t* data, std::size_t capacity)
      : account_(std::move(account)), data_(data), capacity_(capacity) {}
  std::shared_ptr<Account> account_;
  std::uint8_t* data_ = nullptr;
  std::size_t capacity_ = 0;
};

/// Bytes charged to an account without a buffer, until it is destroyed.
class Charge {
 public:
  Charge() = default;
  Charge(Charge&& other) noexcept { *this = std::move(other); }
  Charge& operator=(Charge&& other) noexcept;
  ~Charge() { reset(); }
  void reset();

 private:
  friend class Account;
  Charge(std::shared_ptr<Account> account, std::uint64_t bytes) : account_(std::move(account)), bytes_(bytes) {}
  std::shared_ptr<Account> account_;
  std::uint64_t bytes_ = 0;
};

}  // namespace emu::proxy
