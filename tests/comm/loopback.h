#pragma once

// Loopback peers for the transport tests: listening and connecting sockets made with the
// platform helper, and waits bounded in real time (the transport's own time-outs run on a
// ManualClock; only the kernel's loopback delivery is waited for here).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "comm/protocol.h"
#include "platform/socket.h"

namespace qelm::loopback {

/// 127.0.0.1.
inline constexpr uint32_t kLocalhost = platform::ipv4(127, 0, 0, 1);

/// Calls `done` until it returns true, 1 ms apart, for at most `limitMs` real ms.
template <typename Done>
bool waitFor(Done done, int limitMs = 3000) {
  for (int waited = 0; waited < limitMs; ++waited) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

/// Makes `socket` (before it listens or connects) a slow reader: a 2 KiB receive buffer and
/// 536-byte segments, so that a sender to it fills up at once and stops part-way through
/// messages.
inline void makeSlowReader(platform::Socket& socket) {
  const int buffer = 2048;
  setsockopt(socket.fd(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  const int segment = 536;
  setsockopt(socket.fd(), IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
}

/// A listening socket on `address`:`port` (0 = any free port); `error` is 0 when listening.
struct TestServer {
  explicit TestServer(uint32_t address = kLocalhost, uint16_t port = 0, bool slowReader = false) {
    socket = platform::Socket::createStream(false).socket;
    // Accepted sockets inherit the listener's settings.
    if (slowReader) makeSlowReader(socket);
    error = socket.listenOn(address, port);
  }
  /// The next connection, waited for at most `limitMs` real ms; closed when none came.
  platform::Socket acceptOne(int limitMs = 3000) {
    platform::Socket taken;
    waitFor(
        [&] {
          taken = socket.accept(false).socket;
          return taken.isOpen();
        },
        limitMs);
    return taken;
  }
  uint16_t port() const { return socket.localPort(); }

  platform::Socket socket;
  int error = 0;
};

/// A port on `address` that refuses connections: bound, never listening, held while it lives.
struct RefusingPort {
  explicit RefusingPort(uint32_t address = kLocalhost) {
    socket = platform::Socket::createStream(false).socket;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address);
    bind(socket.fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local);
  }
  uint16_t port() const { return socket.localPort(); }
  platform::Socket socket;
};

/// Sends all of `bytes` within `limitMs` real ms; false when the peer did not take them.
inline bool sendAll(platform::Socket& socket, const std::vector<uint8_t>& bytes,
                    int limitMs = 3000) {
  size_t done = 0;
  return waitFor(
             [&] {
               const platform::IoResult put = socket.send(bytes.data() + done, bytes.size() - done);
               done += put.bytes;
               return done == bytes.size() || put.status == platform::IoStatus::kFailed;
             },
             limitMs) &&
         done == bytes.size();
}

/// Everything that arrives on `socket` until `count` bytes, the peer closes, or `limitMs`.
inline std::vector<uint8_t> receiveBytes(platform::Socket& socket, size_t count,
                                         int limitMs = 3000) {
  std::vector<uint8_t> bytes;
  uint8_t buffer[4096];
  waitFor(
      [&] {
        const platform::IoResult got = socket.receive(buffer, sizeof buffer);
        bytes.insert(bytes.end(), buffer, buffer + got.bytes);
        return bytes.size() >= count || got.status == platform::IoStatus::kClosed ||
               got.status == platform::IoStatus::kFailed;
      },
      limitMs);
  return bytes;
}

/// The bytes of `message`.
inline std::vector<uint8_t> bytesOf(const Message& message) {
  return std::vector<uint8_t>(message.data(), message.data() + message.size());
}

/// A client set request of 254 bytes (a long text) for `oid` of slot 1.
inline std::unique_ptr<Message> longRequest(uint16_t oid) {
  auto message = std::make_unique<Message>(Side::kClient, Command::kSet, 1, oid);
  message->appendValue(Value::ofText(std::string(240, 'x')), ValueType::kString);
  return message;
}

/// A 15-byte server get response for `oid` of slot 1 carrying the Int `value`.
inline Message intResponse(uint16_t oid, int32_t value) {
  Message message(Side::kServer, Command::kGetResponse, 1, oid);
  message.appendValue(Value::ofInt(value), ValueType::kInt);
  return message;
}

}  // namespace qelm::loopback
