#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "comm/protocol.h"
#include "model/link_status.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/socket_watch.h"

namespace qelm {

/// Outgoing messages of one connection, oldest first, owned, with their total size. The head
/// may be partly sent (its `sent` counter above 0); its rest must follow on the same socket.
class SendQueue {
 public:
  /// Appends a message; the queue owns it from then on. Null is ignored.
  void push(std::unique_ptr<Message> message);
  /// Whether nothing is queued.
  bool empty() const { return messages_.empty(); }
  /// Number of queued messages.
  size_t count() const { return messages_.size(); }
  /// Total size of the queued messages in bytes, sent parts of the head included.
  size_t bytes() const { return bytes_; }
  /// The oldest message. The queue must not be empty.
  Message& front() { return *messages_.front(); }
  const Message& front() const { return *messages_.front(); }
  /// The newest message. The queue must not be empty.
  const Message& back() const { return *messages_.back(); }
  /// Deletes the oldest message. The queue must not be empty.
  void popFront();
  /// Deletes whole unsent messages, oldest first, until `incoming` more bytes fit within `cap`
  /// bytes; a partly sent head always stays. Returns how many were deleted.
  size_t makeRoom(size_t incoming, size_t cap);
  /// Deletes every message, except a partly sent head when `keepPartialHead`.
  void clear(bool keepPartialHead);

 private:
  std::deque<std::unique_ptr<Message>> messages_;
  size_t bytes_ = 0;
};

/// The states of a link, numbered as the system reports them.
enum class LinkState : int32_t {
  kToConnect = 1,   ///< no socket; connect on the next poll
  kConnecting = 2,  ///< connect in progress
  kConnected = 3,   ///< connected, nothing received on this socket yet
  kReceiving = 4,   ///< connected and data has arrived
  kFailed = 5,      ///< socket closed after a failure; an outgoing link retries after 1000 ms
};

/// The status a link reports in `state` after `failures` failures: 1 → 7; 2 → 7, or 9 after a
/// failure; 3 → 1, or 10 after a failure; 4 → 1; 5 → 11.
LinkStatus linkResult(LinkState state, int32_t failures);

/// One non-blocking TCP socket with its connect, receive, send and recovery state machine,
/// driven only by `poll` from the engine thread. Stored times are the loop time passed to
/// `poll`; elapsed times are measured against the clock's tick when they are compared.
class TcpLink {
 public:
  /// Longest wait for a connect to complete, in ms.
  static constexpr uint32_t kConnectTimeoutMs = 1000;
  /// Pause between a failure and the next connect attempt of an outgoing link, in ms.
  static constexpr uint32_t kRetryDelayMs = 1000;
  /// Longest silence of an outgoing link once data has arrived, in ms.
  static constexpr uint32_t kReceiveTimeoutMs = 5000;
  /// Bytes received at most per poll: one receive per link per pass bounds a flooding peer.
  static constexpr size_t kReceiveChunk = 1024;

  /// An outgoing link to `address` (first octet most significant) and `port`, in state 1
  /// without a socket; named "Host [a.b.c.d:port]".
  TcpLink(platform::Clock& clock, uint32_t address, uint16_t port);
  /// A link over a socket accepted by a listener, in state 3 with no receive time-out; named
  /// "Client"; it never reconnects.
  TcpLink(platform::Clock& clock, platform::Socket accepted);
  TcpLink(const TcpLink&) = delete;
  TcpLink& operator=(const TcpLink&) = delete;

  /// Watches the link's sockets with `watch` from now on, naming `owner` when one is ready;
  /// `watch` must outlive the link. Without a watch every poll asks the socket itself.
  void attach(platform::SocketWatch* watch, void* owner);
  /// One step of the state machine at loop time `loopTime` (ms tick): connects, receives once
  /// into `parser` (complete messages are delivered during the call) and sends from `queue`.
  /// Returns the status of the state reached (see `linkResult`). With a watch, a socket it
  /// found idle is not asked again: no receive without data, no connect check before the
  /// socket is writable.
  LinkStatus poll(MessageParser& parser, SendQueue& queue, uint32_t loopTime);
  /// How long after loop time `now` a poll may first have something to do that no socket
  /// will announce (a retry, a time-out, a state to move on); 0 when the next pass should poll,
  /// and always 0 without a watch. A socket found ready calls for a poll on its own.
  uint32_t msUntilDue(uint32_t now) const;
  /// The failure step: counts a failure, closes the socket, drops a message it had partly
  /// sent from `queue` (its rest can never follow) and goes to state 5 at `loopTime`.
  void fail(SendQueue& queue, uint32_t loopTime);
  /// While `on`, polls send but receive nothing (the peer's bytes wait in the system's buffer).
  void holdReceiving(bool on);
  /// Writes what `queue` holds now, when connected, without receiving or changing state: what a
  /// pass queued leaves before the pass sleeps. A failed write is left to the next `poll`,
  /// which takes the failure step.
  void flush(SendQueue& queue);

  /// "Host [a.b.c.d:port]" or "Client".
  const std::string& name() const { return name_; }
  /// True for a link accepted by a listener.
  bool accepted() const { return accepted_; }
  /// Peer address to connect to; 0 for an accepted link.
  uint32_t address() const { return address_; }
  /// Peer port to connect to; 0 for an accepted link.
  uint16_t port() const { return port_; }
  /// Current state.
  LinkState state() const { return state_; }
  /// Failures since the link was made; never reset.
  int32_t failures() const { return failures_; }
  /// Loop time at which data last arrived; 0 = none on this socket.
  uint32_t lastReceived() const { return lastReceived_; }
  /// Loop time of the last state change; 0 = none yet.
  uint32_t stateTime() const { return stateTime_; }
  /// Silence allowed after data has arrived, in ms; 0 = no limit.
  uint32_t receiveTimeout() const { return receiveTimeout_; }
  /// "a.b.c.d:port" of the peer of the current socket; "unknown" without one.
  std::string peerText() const { return socket_.peerText(); }
  /// Whether the queue's head is a message this link has partly sent on its current socket.
  bool holdsPartialMessage() const { return holdsPartial_; }

 private:
  void setState(LinkState state, uint32_t loopTime);
  // Each returns false when the failure step is due.
  bool startConnecting(uint32_t loopTime);
  bool checkConnect(uint32_t loopTime);
  bool exchange(MessageParser& parser, SendQueue& queue, uint32_t loopTime);
  // Tells the watch what the next poll will ask of the socket (data while connected and
  // reading, the end of a connect).
  void updateWatch();
  // Closes the socket, gone from the watch first.
  void closeSocket();
  bool sendFrom(SendQueue& queue);
  uint32_t since(uint32_t time) const;

  platform::Clock& clock_;
  std::string name_;
  platform::Socket socket_;
  bool accepted_;
  uint32_t address_ = 0;
  uint16_t port_ = 0;
  LinkState state_;
  int32_t failures_ = 0;
  uint32_t lastReceived_ = 0;
  uint32_t stateTime_ = 0;
  uint32_t receiveTimeout_;
  bool holdsPartial_ = false;
  bool receiveHeld_ = false;
  // A write of `flush` failed; the next poll takes the failure step.
  bool flushFailed_ = false;
  bool socketFailureLogged_ = false;
  // After the socket: forgotten before it closes.
  platform::WatchedSocket watched_;
};

}  // namespace qelm
