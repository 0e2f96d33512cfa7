#include "platform/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace qelm::platform {

namespace {

sockaddr_in socketAddress(uint32_t address, uint16_t port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_addr.s_addr = htonl(address);
  result.sin_port = htons(port);
  return result;
}

bool wouldBlock(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}

// 0 or the errno of setsockopt.
int setFlag(int fd, int level, int option, bool on) {
  const int value = on ? 1 : 0;
  return setsockopt(fd, level, option, &value, sizeof value) == 0 ? 0 : errno;
}

NewSocket failed(int error) {
  NewSocket result;
  result.error = error;
  return result;
}

}  // namespace

std::string addressText(uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xFFu, (address >> 16) & 0xFFu,
                (address >> 8) & 0xFFu, address & 0xFFu);
  return text;
}

Socket::Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void Socket::close() noexcept {
  if (fd_ >= 0) {
    // Not retried on EINTR: Linux has released the descriptor whatever close reports, and a
    // second close could hit a descriptor another thread has just been given.
    ::close(fd_);
    fd_ = -1;
  }
}

NewSocket Socket::createStream(bool noDelay) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return failed(errno);
  NewSocket result;
  result.socket = Socket(fd);
  if (const int error = setFlag(fd, IPPROTO_TCP, TCP_NODELAY, noDelay); error != 0) {
    return failed(error);  // result's socket closes here
  }
  result.status = IoStatus::kDone;
  return result;
}

IoResult Socket::startConnect(uint32_t address, uint16_t port) {
  const sockaddr_in peer = socketAddress(address, port);
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) return {};
  const int error = errno;
  // An interrupted connect goes on in the background, exactly like one in progress. EAGAIN from
  // a TCP connect means no local port is free: that is a failure, not a wait.
  if (error == EINPROGRESS || error == EALREADY || error == EINTR) {
    return {IoStatus::kNotYet, 0, 0};
  }
  if (error == EISCONN) return {};
  return {IoStatus::kFailed, 0, error};
}

bool Socket::writable() const {
  if (fd_ < 0) return false;
  pollfd entry{fd_, POLLOUT, 0};
  int ready = 0;
  do {
    ready = ::poll(&entry, 1, 0);
  } while (ready < 0 && errno == EINTR);
  return ready > 0 && (entry.revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
}

int Socket::pendingError() const {
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
  return error;
}

IoResult Socket::receive(uint8_t* buffer, size_t capacity) {
  // recv of 0 bytes returns 0, which would read as the peer closing.
  if (capacity == 0) return {};
  for (;;) {
    const ssize_t got = ::recv(fd_, buffer, capacity, 0);
    if (got > 0) return {IoStatus::kDone, static_cast<size_t>(got), 0};
    if (got == 0) return {IoStatus::kClosed, 0, 0};
    const int error = errno;
    if (error == EINTR) continue;
    if (wouldBlock(error)) return {IoStatus::kNotYet, 0, 0};
    return {IoStatus::kFailed, 0, error};
  }
}

IoResult Socket::send(const uint8_t* bytes, size_t count) {
  if (count == 0) return {};
  for (;;) {
    const ssize_t put = ::send(fd_, bytes, count, MSG_NOSIGNAL);
    if (put >= 0) return {IoStatus::kDone, static_cast<size_t>(put), 0};
    const int error = errno;
    if (error == EINTR) continue;
    if (wouldBlock(error)) return {IoStatus::kNotYet, 0, 0};
    return {IoStatus::kFailed, 0, error};
  }
}

int Socket::listenOn(uint32_t address, uint16_t port) {
  if (const int error = setFlag(fd_, SOL_SOCKET, SO_REUSEADDR, true); error != 0) return error;
  const sockaddr_in local = socketAddress(address, port);
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return errno;
  if (::listen(fd_, SOMAXCONN) != 0) return errno;
  return 0;
}

NewSocket Socket::accept(bool noDelay) {
  for (;;) {
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      NewSocket result;
      result.socket = Socket(fd);
      if (const int error = setFlag(fd, IPPROTO_TCP, TCP_NODELAY, noDelay); error != 0) {
        return failed(error);
      }
      result.status = IoStatus::kDone;
      return result;
    }
    const int error = errno;
    if (error == EINTR) continue;
    if (wouldBlock(error)) {
      NewSocket none;
      none.status = IoStatus::kNotYet;
      return none;
    }
    return failed(error);
  }
}

uint16_t Socket::localPort() const {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size) != 0) return 0;
  return ntohs(local.sin_port);
}

std::string Socket::peerText() const {
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  if (fd_ < 0 || getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &size) != 0 ||
      peer.sin_family != AF_INET) {
    return "unknown";
  }
  return addressText(ntohl(peer.sin_addr.s_addr)) + ":" + std::to_string(ntohs(peer.sin_port));
}

}  // namespace qelm::platform
