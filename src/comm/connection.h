#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "comm/protocol.h"
#include "comm/tcp_link.h"
#include "model/link_status.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace qelm {

/// What a host owns to talk to one peer: candidate links (one per port tried, or one accepted
/// link), one message parser and one send queue shared by the candidates. Engine thread only.
class Connection {
 public:
  /// Bytes of queued messages one connection holds at most. Past it a client connection drops
  /// its oldest unsent messages and an accepted one drops the peer, so a peer that stops
  /// reading cannot grow the queue without bound.
  static constexpr size_t kMaxQueuedBytes = 256 * 1024;
  /// Bytes queued for an accepted peer above which its requests are left unread: a peer that
  /// asks faster than it reads the answers is slowed to its own pace instead of growing them.
  static constexpr size_t kReadPauseBytes = 64 * 1024;

  /// A client connection to the frame at `address` (first octet most significant): candidates
  /// port 6666 (only while the legacy port switch is on) then 5253; status 7; the parser in
  /// client mode hands complete messages to `deliver`.
  Connection(platform::Clock& clock, uint32_t address, MessageParser::Deliver deliver);
  /// A client connection whose candidates are `ports` of `address`, tried in that order.
  Connection(platform::Clock& clock, uint32_t address, const std::vector<uint16_t>& ports,
             MessageParser::Deliver deliver);
  /// A connection over a socket a listener accepted at loop time `acceptedAt` (ms tick): one
  /// link named "Client", the parser in server mode handing requests to `deliver`.
  Connection(platform::Clock& clock, platform::Socket accepted, MessageParser::Deliver deliver,
             uint32_t acceptedAt = 0);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  /// Polls the candidates in order at loop time `loopTime` (ms tick). The first that reports 1
  /// wins and every other candidate is destroyed; otherwise the status is 7 when a candidate
  /// reported 7, else 8, and the queue is emptied. Returns the status (1, 7 or 8).
  /// With a watch, sockets it found idle are not asked (see `TcpLink::poll`).
  LinkStatus poll(uint32_t loopTime);
  /// Watches the candidates' sockets with `watch` from now on, naming `owner` when one is
  /// ready (see `TcpLink::attach`).
  void attach(platform::SocketWatch* watch, void* owner);
  /// How long after loop time `now` a poll may first have work that no socket announces: 0
  /// while messages wait to be written or a candidate needs it (see `TcpLink::msUntilDue`).
  uint32_t msUntilDue(uint32_t now) const;
  /// Queues `message` for sending; the connection owns it from then on (null is ignored).
  void enqueue(std::unique_ptr<Message> message);
  /// Writes the queued messages now through the established candidates, as their next poll
  /// would (the winner alone once the connection is up); nothing when the queue is empty.
  /// Receives nothing and changes no status.
  void flush();

  /// The status of the last poll: 1, 7 (first connect in progress) or 8; 7 before any poll.
  LinkStatus status() const { return status_; }
  /// Whether a candidate's socket is established (states 3 and 4), so that what is queued now
  /// is written: also while the status waits for a reconnected peer's first data.
  bool connected() const;
  /// True for a connection over an accepted socket.
  bool accepted() const { return accepted_; }
  /// "a.b.c.d:port" of the peer of the first candidate's socket; "unknown" without one.
  std::string peerText() const;
  /// Loop time at which the peer last sent data, else at which it was accepted (ms tick).
  uint32_t lastHeard() const;
  /// Whether the peer has sent any data on this connection.
  bool heardFrom() const;
  /// The candidate links in poll order (one once a candidate has won).
  const std::vector<std::unique_ptr<TcpLink>>& candidates() const { return links_; }
  /// The messages waiting to be sent.
  const SendQueue& queue() const { return queue_; }
  /// Messages dropped because the queue was full (client side) or the peer was dropped for it
  /// (accepted side), since creation.
  size_t droppedMessages() const { return dropped_; }

 private:
  void resetParser();

  std::vector<std::unique_ptr<TcpLink>> links_;
  bool accepted_;
  MessageParser::Deliver deliver_;
  MessageParser parser_;
  SendQueue queue_;
  LinkStatus status_ = LinkStatus::kConnecting;
  uint32_t acceptedAt_ = 0;
  // Set when an accepted peer let the queue overflow; the next poll fails its link.
  bool overflowed_ = false;
  size_t dropped_ = 0;
};

}  // namespace qelm
