#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qelm::platform {

/// An IPv4 address a.b.c.d as one number, first octet in the most significant byte.
constexpr uint32_t ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return (static_cast<uint32_t>(a) << 24) | (static_cast<uint32_t>(b) << 16) |
         (static_cast<uint32_t>(c) << 8) | static_cast<uint32_t>(d);
}

/// Dotted text of an IPv4 address (first octet in the most significant byte): "10.0.0.5".
std::string addressText(uint32_t address);

/// How far one non-blocking socket call got.
enum class IoStatus : int32_t {
  kDone = 0,    ///< did what was asked (a send or receive may have moved fewer bytes)
  kNotYet = 1,  ///< would block or still in progress: no progress yet, try on a later poll
  kClosed = 2,  ///< the peer closed the connection (receive only)
  kFailed = 3,  ///< the call failed; `error` holds the errno value
};

/// Outcome of one socket call: the status, the bytes moved (kDone) and the errno (kFailed).
struct IoResult {
  IoStatus status = IoStatus::kDone;
  /// Bytes sent or received; 0 unless the status is kDone.
  size_t bytes = 0;
  /// errno value for kFailed; 0 otherwise.
  int error = 0;
};

struct NewSocket;

/// Owns one IPv4 stream socket descriptor, always non-blocking and close-on-exec; closed on
/// destruction. Move-only. Every call returns at once; errors come back as values and no call
/// raises SIGPIPE.
class Socket {
 public:
  /// No socket.
  Socket() = default;
  /// Takes ownership of `fd` (-1 = none).
  explicit Socket(int fd) noexcept : fd_(fd) {}
  ~Socket() { close(); }
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  /// Makes a socket. `noDelay` false keeps Nagle's algorithm on.
  static NewSocket createStream(bool noDelay);

  /// Whether a descriptor is owned.
  bool isOpen() const { return fd_ >= 0; }
  /// The descriptor; -1 when closed.
  int fd() const { return fd_; }
  /// Closes the descriptor now (nothing when already closed).
  void close() noexcept;

  /// Starts connecting to `address`:`port`: kDone connected at once, kNotYet in progress,
  /// kFailed refused or unusable.
  IoResult startConnect(uint32_t address, uint16_t port);
  /// Whether the socket can be written without waiting (zero time-out). Also true when an
  /// error or hang-up is pending, so that a finished connect of either kind is seen; the caller
  /// tells them apart with `pendingError`.
  bool writable() const;
  /// The socket's pending error (SO_ERROR, cleared by reading it), or the errno of the query
  /// itself when that fails; 0 = healthy.
  int pendingError() const;
  /// Receives up to `capacity` bytes: kDone with bytes > 0, kNotYet when nothing is waiting,
  /// kClosed when the peer closed, kFailed on error.
  IoResult receive(uint8_t* buffer, size_t capacity);
  /// Sends up to `count` bytes: kDone with the bytes the system took (maybe fewer), kNotYet
  /// when its buffer is full, kFailed on error (a vanished peer included).
  IoResult send(const uint8_t* bytes, size_t count);
  /// SO_REUSEADDR, bind to `address`:`port` (0 = any free port) and listen with the system's
  /// largest backlog. Returns 0 or the errno of the step that failed.
  int listenOn(uint32_t address, uint16_t port);
  /// Takes one waiting connection: kDone with the socket, kNotYet when none is waiting, kFailed
  /// on error. `noDelay` as for `createStream`.
  NewSocket accept(bool noDelay);
  /// Local port the socket is bound to; 0 when unbound or unknown.
  uint16_t localPort() const;
  /// "a.b.c.d:port" of the connected peer; "unknown" when not connected or unknown.
  std::string peerText() const;

 private:
  int fd_ = -1;
};

/// A socket just made or accepted: open exactly when the status is kDone.
struct NewSocket {
  Socket socket;
  IoStatus status = IoStatus::kFailed;
  /// errno value for kFailed; 0 otherwise.
  int error = 0;
};

}  // namespace qelm::platform
