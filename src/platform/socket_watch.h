#pragma once

#include <sys/epoll.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qelm::platform {

class Wakeup;

/// What the last look at a watched socket found.
enum class Readiness : int32_t {
  kUnknown = 0,  ///< not watched at the last look, or no look yet: ask the socket itself
  kIdle = 1,     ///< nothing to do: a call would only answer "not yet"
  kReady = 2,    ///< something to do (data, a peer's close, an error, room to write)
};

/// The main loop's sockets, looked at together once a pass instead of one call per socket that
/// mostly answers "nothing". A socket is registered once (`watch`) and stays watched until its
/// owner `forget`s it, which the owner does before it closes the socket; only changes are told
/// to the system (an epoll set), so a look costs the same however many sockets are quiet, and
/// it names the sockets that have something to do (`readyOwners`). Sockets are
/// level-triggered: one found ready is found again at each look until served. Engine thread
/// only.
class SocketWatch {
 public:
  /// Names one registration. A default ticket names none; a forgotten one names none again.
  struct Ticket {
    uint32_t slot = 0;
    uint32_t generation = 0;
  };

  SocketWatch();
  ~SocketWatch();
  SocketWatch(const SocketWatch&) = delete;
  SocketWatch& operator=(const SocketWatch&) = delete;

  /// Watches descriptor `fd` for reading (incoming data, a connection to accept) and/or
  /// writing (room to write, a connect finishing); errors and hang-ups count as ready.
  /// `ticket` is what the owner holds for this socket (a default one for a new socket); the
  /// returned ticket is the one to keep. Telling the same again costs nothing. `owner` is
  /// named by `readyOwners` when the socket is found ready. Returns a default ticket when the
  /// system refuses, and the owner then asks the socket itself.
  Ticket watch(int fd, bool read, bool write, Ticket ticket, void* owner = nullptr);
  /// Stops watching the socket of `ticket`, which must still be open, and resets the ticket.
  void forget(Ticket& ticket);
  /// Number of sockets watched.
  size_t size() const { return watched_; }

  /// Looks at every watched socket without waiting.
  void check();
  /// Sleeps `ms` milliseconds, ending early only when `wakeup` is notified (the notification
  /// is taken), and looks at every watched socket. A socket becoming ready does not end the
  /// sleep: the loop keeps its pace under traffic. While the sockets are mostly quiet the look
  /// is made in the sleep's own system call; once they often have something at the end of a
  /// pause, the sleep waits on the wakeup alone and the look follows it, so that arrivals do
  /// not wake the loop twice a pause. Returns true when woken.
  bool wait(uint32_t ms, Wakeup& wakeup);
  /// Whether the last look succeeded; until one does, every answer is unknown.
  bool looked() const { return looked_; }

  /// Whether reading (or accepting) the socket would find something.
  Readiness reading(Ticket ticket) const;
  /// Whether the socket can be written, or its connect has finished either way.
  Readiness writing(Ticket ticket) const;
  /// The owners of the sockets the last look found ready, in no particular order; an owner
  /// with several ready sockets is named for each.
  const std::vector<void*>& readyOwners() const { return readyOwners_; }

 private:
  struct Entry {
    int fd = -1;
    uint32_t events = 0;
    uint32_t generation = 0;
    // What the look numbered `readyLook` found; older answers mean "nothing".
    uint32_t ready = 0;
    uint64_t readyLook = 0;
    // The look count when the registration was made or changed: the looks up to it did not
    // ask the system what it asks now.
    uint64_t since = 0;
    void* owner = nullptr;
    bool live = false;
  };

  Entry* find(Ticket ticket);
  const Entry* find(Ticket ticket) const;
  void release(uint32_t slot);
  Readiness answer(Ticket ticket, uint32_t wanted) const;
  // One epoll_wait of up to `timeoutMs`: records the answers, counts the sockets found ready
  // into `busy_`, and returns whether `wakeFd` (in the set) was among them, -1 on failure.
  int look(int timeoutMs, int wakeFd);
  // Puts `wakeFd` in the set; false when the system refuses.
  bool watchWakeup(int wakeFd);

  int epoll_ = -1;
  std::vector<Entry> entries_;
  std::vector<uint32_t> free_;
  size_t watched_ = 0;
  std::vector<epoll_event> events_;
  std::vector<void*> readyOwners_;
  uint64_t looks_ = 0;
  bool looked_ = false;
  // The wakeup descriptor in the set; -1 for none.
  int wakeFd_ = -1;
  // How often a pause ends with sockets ready, averaged over about 64 pauses (0 to 1).
  double busy_ = 0;
};

/// One socket's registration with a watch, kept by the socket's owner beside the socket (after
/// it, so that it is forgotten before the socket closes). Without a watch every answer is
/// unknown and the owner asks the socket itself.
class WatchedSocket {
 public:
  WatchedSocket() = default;
  ~WatchedSocket() { forget(); }
  WatchedSocket(const WatchedSocket&) = delete;
  WatchedSocket& operator=(const WatchedSocket&) = delete;

  /// Uses `watch` (which must outlive this) from now on, naming `owner` when the socket is
  /// ready; a registration with another watch is forgotten. The socket is told with `watch`.
  void attach(SocketWatch* watch, void* owner);
  /// Whether a watch is attached.
  bool attached() const { return watch_ != nullptr; }
  /// Watches `fd` for what the owner's next poll asks of it; the same again costs nothing.
  void watch(int fd, bool read, bool write);
  /// Stops watching the socket; called before the socket closes.
  void forget();
  /// Whether the socket is registered (the system may have refused it).
  bool registered() const { return ticket_.slot != 0; }
  /// See `SocketWatch::reading` and `SocketWatch::writing`.
  Readiness reading() const;
  Readiness writing() const;

 private:
  SocketWatch* watch_ = nullptr;
  void* owner_ = nullptr;
  SocketWatch::Ticket ticket_;
};

}  // namespace qelm::platform
