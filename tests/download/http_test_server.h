// A small HTTP server on 127.0.0.1 for the download tests: answers each GET from a handler, one
// connection at a time, and can also misbehave as broken servers do (close in the middle of the
// body, never answer at all, or send the body a few bytes at a time).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace qelm {

class HttpTestServer {
 public:
  enum class Behaviour { kAnswer, kCloseMidBody, kNeverAnswer, kDrip };
  struct Reply {
    int status = 200;
    std::string body;
    Behaviour behaviour = Behaviour::kAnswer;
    /// Further header lines, each ending "\r\n".
    std::string headers = {};
    /// kDrip: the body goes out `dripBytes` at a time, each piece after `dripPause`.
    size_t dripBytes = 1;
    std::chrono::milliseconds dripPause{500};
  };
  /// Gets the request target ("/cgi-bin/qelm.pl?..."), returns what to send.
  using Handler = std::function<Reply(const std::string& target)>;

  explicit HttpTestServer(Handler handler) : handler_(std::move(handler)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("test server cannot listen");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }

  ~HttpTestServer() {
    stop_ = true;
    thread_.join();
    for (const int fd : held_)
      ::close(fd);
    ::close(listener_);
  }

  /// "127.0.0.1:PORT", as an instance's host.
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

  /// The request targets received so far, in order.
  std::vector<std::string> targets() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return targets_;
  }

 private:
  // Waits until `fd` is readable or the server stops; false when stopping.
  bool waitReadable(int fd) {
    while (!stop_) {
      pollfd entry{fd, POLLIN, 0};
      if (::poll(&entry, 1, 20) > 0) return true;
    }
    return false;
  }

  bool sendAll(int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // Sends the body piece by piece until it is all out, the client has gone or the server stops.
  void drip(int fd, const Reply& reply) {
    for (size_t at = 0; at < reply.body.size(); at += reply.dripBytes) {
      const auto due = std::chrono::steady_clock::now() + reply.dripPause;
      while (!stop_ && std::chrono::steady_clock::now() < due)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (stop_ || !sendAll(fd, reply.body.substr(at, reply.dripBytes))) return;
    }
  }

  void serve() {
    while (waitReadable(listener_)) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536 &&
             waitReadable(fd)) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
      }
      const size_t start = request.find(' ');
      const size_t end = request.find(' ', start + 1);
      if (start == std::string::npos || end == std::string::npos) {
        ::close(fd);
        continue;
      }
      const std::string target = request.substr(start + 1, end - start - 1);
      {
        std::lock_guard<std::mutex> guard(mutex_);
        targets_.push_back(target);
      }
      const Reply reply = handler_(target);
      if (reply.behaviour == Behaviour::kNeverAnswer) {
        held_.push_back(fd);
        continue;
      }
      // Closing early announces twice the body it sends.
      const size_t announced =
          reply.body.size() * (reply.behaviour == Behaviour::kCloseMidBody ? 2 : 1);
      const std::string head = "HTTP/1.1 " + std::to_string(reply.status) +
                               " Test\r\nContent-Length: " + std::to_string(announced) +
                               "\r\nContent-Type: text/plain\r\nConnection: close\r\n" +
                               reply.headers + "\r\n";
      if (reply.behaviour == Behaviour::kDrip) {
        if (sendAll(fd, head)) drip(fd, reply);
      } else {
        sendAll(fd, head + reply.body);
      }
      ::close(fd);
    }
  }

  Handler handler_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> targets_;
  std::vector<int> held_;  // serving thread only, until it ends
  std::thread thread_;
};

}  // namespace qelm
