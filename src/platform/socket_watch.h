#pragma once

#include <sys/epoll.h>

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace qelm::platform {

class Wakeup;

/// What the last look at a watched socket found.
enum class Readiness : int32_t {
  kUnknown = 0,  ///< not watched in this round, or the look failed: ask the socket itself
  kIdle = 1,     ///< nothing to do: a call would only answer "not yet"
  kReady = 2,    ///< something to do (data, a peer's close, an error, room to write)
};

/// The main loop's sockets, looked at together in the same system call as the loop's pause,
/// instead of one call per socket that mostly answers "nothing". A round: `clear`, `add` every
/// socket whose answer the next pass will want, then `check` or `wait`; the answers hold until
/// the next `clear`. The sockets stay registered with the system between rounds (an epoll set),
/// so a look costs the same however many sockets there are; only changes are told to it.
/// Sockets are level-triggered: one found ready stays ready until served.
class SocketWatch {
 public:
  /// Names one socket of one round. A default ticket, or one of an earlier round, is unknown.
  struct Ticket {
    uint32_t round = 0;
    uint32_t slot = 0;
  };

  SocketWatch();
  ~SocketWatch();
  SocketWatch(const SocketWatch&) = delete;
  SocketWatch& operator=(const SocketWatch&) = delete;

  /// Starts a new round: forgets every answer; earlier tickets become unknown.
  void clear();
  /// Watches descriptor `fd` for reading (incoming data, a connection to accept) and/or writing
  /// (room to write, a connect finishing); errors and hang-ups count as ready. `previous` is
  /// the ticket the owner got for this same socket in an earlier round, or a default ticket
  /// when the socket is new (a descriptor number may have been reused since).
  Ticket add(int fd, bool read, bool write, Ticket previous);
  /// Number of sockets added in this round.
  size_t size() const { return entries_.size(); }

  /// Looks at every added socket without waiting.
  void check();
  /// Sleeps `ms` milliseconds, ending early only when `wakeup` is notified (the notification
  /// is taken), and looks at every added socket in the same system call. A socket becoming
  /// ready does not end the sleep: the loop keeps its pace under traffic. Returns true when
  /// woken.
  bool wait(uint32_t ms, Wakeup& wakeup);

  /// Whether reading (or accepting) the socket would find something.
  Readiness reading(Ticket ticket) const;
  /// Whether the socket can be written, or its connect has finished either way.
  Readiness writing(Ticket ticket) const;

 private:
  struct Entry {
    int fd;
    uint32_t events;
    uint32_t ready;
    bool fresh;       // a new socket: its number's old registration cannot be trusted
    bool registered;  // the system watches it with `events`
  };
  struct Registration {
    uint32_t events;
    uint32_t round;
  };

  // Brings the system's set in line with this round's sockets and `wakeFd`.
  void synchronize(int wakeFd);
  // One epoll_wait of up to `timeoutMs` (-1 for none, never used); records the answers and
  // returns whether `wakeFd` was among them, or -1 when the call failed.
  int collect(int timeoutMs, int wakeFd);
  Readiness answer(Ticket ticket, uint32_t wanted) const;

  int epoll_ = -1;
  int wakeFd_ = -1;
  std::vector<Entry> entries_;
  std::unordered_map<int, Registration> registered_;
  std::vector<epoll_event> events_;
  uint32_t round_ = 1;
  // Whether the entries' `ready` bits hold the answers of this round.
  bool looked_ = false;
};

}  // namespace qelm::platform
