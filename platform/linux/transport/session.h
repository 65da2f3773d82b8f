// What a process holds in its session, in one object: the checked session directory and its
// watch, the message table's ids, the mappings, the send lock, the endpoint with its inbound
// connections, the broadcast's peers and acknowledgement page, and the window table. Each
// unit of the backend keeps its state in its own part and reaches it through session(), so a
// test can make a session, break it and destroy it inside one process.
//
// Process-wide state outside the session is limited to what cannot belong to one: the
// records that exit and signal handlers read (they must not touch a session being
// destroyed), the SIGBUS guard table, the calling thread's last error and its check cache,
// and the process's pid and uid.
#pragma once

#include <memory>

namespace mmfcast::platform::os {

struct Attached;        // session_dir.cpp: the checked directory and its watch
struct TimedOut;        // session_files.cpp: the last session-wide lock whose wait ran out
struct MappingTable;    // mapping.cpp: handles and views
struct Ids;             // message_ids.cpp: the names this process registered
struct LockState;       // send_lock.cpp: the send lock's page and this process's token
struct BroadcastState;  // broadcast.cpp: peers, the acknowledgement page, the sender's ring
struct Endpoint;        // endpoint.cpp: the receiving endpoint and its connections
struct WindowTable;     // windows.cpp: the top-level windows and their procedures

// One part of a session, destroyed by the unit that defines it (where T is complete).
template <typename T>
using Part = std::unique_ptr<T, void (*)(T*)>;

// A new part, for the unit that defines T: its destructor closes what it holds.
template <typename T>
Part<T> new_part() {
  return {new T, [](T* part) { delete part; }};
}

// Made by the unit that defines each part.
Part<Attached> make_attached();
Part<TimedOut> make_timed_out();
Part<MappingTable> make_mapping_table();
Part<Ids> make_ids();
Part<LockState> make_lock_state();
Part<BroadcastState> make_broadcast_state();
Part<Endpoint> make_endpoint();
Part<WindowTable> make_window_table();

class Session {
 public:
  Session();
  // Closes the endpoint and the connections, lets go of the send lock and removes the token,
  // and forgets the mappings (their memory stays mapped: addresses handed out stay valid).
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  Attached& attached() { return *attached_; }
  TimedOut& timed_out() { return *timed_out_; }
  MappingTable& mappings() { return *mappings_; }
  Ids& ids() { return *ids_; }
  LockState& lock() { return *lock_; }
  BroadcastState& broadcast() { return *broadcast_; }
  Endpoint& endpoint() { return *endpoint_; }
  WindowTable& windows() { return *windows_; }

 private:
  // Declared in the order they are made; destroyed in reverse, so the endpoint and the
  // peers go before the lock, the mappings and the directory they live in.
  Part<Attached> attached_;
  Part<TimedOut> timed_out_;
  Part<MappingTable> mappings_;
  Part<Ids> ids_;
  Part<LockState> lock_;
  Part<BroadcastState> broadcast_;
  Part<Endpoint> endpoint_;
  Part<WindowTable> windows_;
};

// The process's current session, made on first use. It is never destroyed at exit: exit
// handlers and threads still running while static objects go may use it.
Session& session();

// The current session, or null before the first use: for exit and signal paths, which must
// not make one.
Session* session_if_made();

// Destroys the current session, as a process that leaves its session would: the next use
// makes a new one. For tests; call only while no other thread uses the backend.
void end_session();

}  // namespace mmfcast::platform::os
