#include "wire.hpp"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace emu::wire {

Writer& Writer::put_bytes(std::span<const std::uint8_t> data) {
  put<std::uint32_t>(static_cast<std::uint32_t>(data.size()));
  bytes_.insert(bytes_.end(), data.begin(), data.end());
  return *this;
}

Writer& Writer::put_text(std::string_view text) {
  return put_bytes({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

Writer& Writer::put_view(std::span<const std::uint8_t> data, std::shared_ptr<const void> keep) {
  put<std::uint32_t>(static_cast<std::uint32_t>(data.size()));
  if (!data.empty()) views_.push_back({bytes_.size(), data});
  if (keep) keep_.push_back(std::move(keep));
  return *this;
}

std::size_t Writer::size() const {
  std::size_t size = bytes_.size();
  for (const auto& v : views_) size += v.data.size();
  return size;
}

void Writer::clear() {
  bytes_.clear();
  views_.clear();
  keep_.clear();
}

std::span<const std::uint8_t> Reader::get_bytes(std::uint32_t max_length) {
  auto length = get<std::uint32_t>();
  if (!ok_ || length > max_length || data_.size() - pos_ < length) {
    ok_ = false;
    return {};
  }
  auto out = data_.subspan(pos_, length);
  pos_ += length;
  return out;
}

std::string Reader::get_text(std::uint32_t max_length) {
  auto bytes = get_bytes(max_length);
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

namespace {

bool send_iov(int socket, iovec* iov, int count, int pass_fd) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  while (count > 0) {
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<std::size_t>(count);
    if (pass_fd >= 0) {
      msg.msg_control = control;
      msg.msg_controllen = sizeof(control);
      cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
      cmsg->cmsg_level = SOL_SOCKET;
      cmsg->cmsg_type = SCM_RIGHTS;
      cmsg->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(cmsg), &pass_fd, sizeof(int));
    }
    ssize_t sent = ::sendmsg(socket, &msg, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    pass_fd = -1;  // the descriptor went with the first byte
    auto left = static_cast<std::size_t>(sent);
    while (count > 0 && left >= iov->iov_len) {
      left -= iov->iov_len;
      ++iov;
      --count;
    }
    if (count > 0) {
      iov->iov_base = static_cast<char*>(iov->iov_base) + left;
      iov->iov_len -= left;
    }
  }
  return true;
}

bool recv_exact(int socket, void* data, std::size_t size) {
  auto* at = static_cast<char*>(data);
  while (size > 0) {
    ssize_t got = ::recv(socket, at, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    at += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

bool send_frame(int socket, std::uint32_t code, std::span<const std::uint8_t> payload,
                int pass_fd) {
  FrameHeader header{kMagic, code, static_cast<std::uint32_t>(payload.size())};
  iovec iov[2] = {{&header, sizeof(header)},
                  {const_cast<std::uint8_t*>(payload.data()), payload.size()}};
  return send_iov(socket, iov, payload.empty() ? 1 : 2, pass_fd);
}

bool send_frame(int socket, std::uint32_t code, const Writer& payload, int pass_fd) {
  if (payload.views_.empty()) return send_frame(socket, code, payload.bytes_, pass_fd);
  FrameHeader header{kMagic, code, static_cast<std::uint32_t>(payload.size())};
  std::vector<iovec> iov{{&header, sizeof(header)}};
  auto* bytes = const_cast<std::uint8_t*>(payload.bytes_.data());
  std::size_t copied = 0;  // bytes_ sent up to here
  for (const auto& v : payload.views_) {
    if (v.at > copied) iov.push_back({bytes + copied, v.at - copied});
    iov.push_back({const_cast<std::uint8_t*>(v.data.data()), v.data.size()});
    copied = v.at;
  }
  if (payload.bytes_.size() > copied) iov.push_back({bytes + copied, payload.bytes_.size() - copied});
  return send_iov(socket, iov.data(), static_cast<int>(iov.size()), pass_fd);
}

RecvResult recv_header(int socket, FrameHeader& header, int* received_fd) {
  if (received_fd) *received_fd = -1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)] = {};
  iovec iov{&header, sizeof(header)};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof(control);
  ssize_t got;
  do {
    got = ::recvmsg(socket, &msg, MSG_CMSG_CLOEXEC);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return RecvResult::Closed;
  for (cmsghdr* cmsg = CMSG_FIRSTHDR(&msg); cmsg; cmsg = CMSG_NXTHDR(&msg, cmsg)) {
    if (cmsg->cmsg_level != SOL_SOCKET || cmsg->cmsg_type != SCM_RIGHTS) continue;
    std::size_t n = (cmsg->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < n; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(cmsg) + i * sizeof(int), sizeof(int));
      if (received_fd && *received_fd < 0) {
        *received_fd = fd;
      } else {
        ::close(fd);
      }
    }
  }
  auto fail = [&](RecvResult result) {
    if (received_fd && *received_fd >= 0) {
      ::close(*received_fd);
      *received_fd = -1;
    }
    return result;
  };
  auto have = static_cast<std::size_t>(got);
  if (have < sizeof(header) &&
      !recv_exact(socket, reinterpret_cast<char*>(&header) + have, sizeof(header) - have)) {
    return fail(RecvResult::Malformed);
  }
  if (header.magic != kMagic || header.length > kMaxPayload) return fail(RecvResult::Malformed);
  return RecvResult::Ok;
}

bool BodyReader::read(void* into, std::size_t size) {
  if (broken_ || size > left_) return false;
  auto* out = static_cast<std::uint8_t*>(into);
  auto buffered = std::min(size, end_ - start_);
  if (buffered) std::memcpy(out, buffer_ + start_, buffered);
  start_ += buffered;
  left_ -= buffered;
  size -= buffered;
  if (size == 0) return true;
  // The buffer is empty: everything left is still in the socket.
  if (size >= sizeof(buffer_)) {
    broken_ = !recv_exact(socket_, out + buffered, size);
  } else {
    start_ = end_ = 0;
    auto wanted = std::min(left_, sizeof(buffer_));
    while (!broken_ && end_ < size) {
      ssize_t got = ::recv(socket_, buffer_ + end_, wanted - end_, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) broken_ = true;
      else end_ += static_cast<std::size_t>(got);
    }
    if (!broken_) std::memcpy(out + buffered, buffer_, size);
    start_ = size;
  }
  if (broken_) return false;
  left_ -= size;
  return true;
}

bool BodyReader::skip(std::size_t size) {
  char sink[16384];
  while (size > 0) {
    auto n = std::min(size, sizeof(sink));
    if (!read(sink, n)) return false;
    size -= n;
  }
  return true;
}

RecvResult recv_frame(int socket, FrameHeader& header, std::vector<std::uint8_t>& payload,
                      int* received_fd) {
  auto got = recv_header(socket, header, received_fd);
  if (got != RecvResult::Ok) return got;
  payload.resize(header.length);
  if (!BodyReader(socket, header.length).read(payload.data(), payload.size())) {
    if (received_fd && *received_fd >= 0) {
      ::close(*received_fd);
      *received_fd = -1;
    }
    return RecvResult::Malformed;
  }
  return RecvResult::Ok;
}

}  // namespace emu::wire
