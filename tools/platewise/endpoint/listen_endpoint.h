// The listener's side of the service's endpoint, behind a seam of its own:
// plain functions over integer handles, no platform types. Linux implements
// it in listen_endpoint_linux.cpp (a Unix-domain stream socket); a Windows
// build adds listen_endpoint_win32.cpp (a named-pipe server).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platewise::endpoint {

// A listening endpoint or one accepted connection: a file descriptor or a
// HANDLE, carried as an integer. -1 is "none".
using Handle = std::intptr_t;
inline constexpr Handle invalid_handle = -1;

// Where the service sends its snapshots on this platform
// (Linux: /run/platewise/PlatewisePipe; Windows: \\.\pipe\PlatewisePipe).
const char* default_name();

// Who may connect. On Linux the permission bits of the socket file (the
// directory it lives in is made with 0755 when missing); 0600 lets only its
// owner (root, when root runs the listener) connect. Unused on Windows.
inline constexpr std::uint32_t default_mode = 0600;

// Creates the endpoint `name` and starts listening. When `name` exists
// already: a live endpoint (something accepts on it) is refused, a stale one
// is replaced, anything else is refused. invalid_handle with the reason in
// `error` on failure.
Handle create_endpoint(const std::string& name, std::uint32_t mode, std::string& error);

// SIGINT and SIGTERM (console control events on Windows) become a stop
// request while installed; restore_stop_signals puts the previous handling
// back. request_stop asks for the same from any thread; clear_stop forgets
// an earlier request.
void install_stop_signals();
void restore_stop_signals();
void request_stop();
bool stop_requested();
void clear_stop();

enum class AcceptStatus {
    accepted,  // `connection` holds the new connection
    stopped,   // a stop request arrived while waiting
    failed,    // `error` says why
};

// Waits without limit for the next connection or a stop request.
AcceptStatus accept_connection(Handle endpoint, Handle& connection, std::string& error);

// Who may deliver snapshots. The system itself always may: root (uid 0) on
// Linux, LocalSystem or an administrator on Windows. On Linux so may the uid
// the listener runs as (it controls the listener anyway), and `extra_uids`
// admits further user ids (listen --peer-uid); Windows ignores extra_uids.
struct PeerPolicy {
    std::vector<std::uint32_t> extra_uids;
};

struct PeerCheck {
    bool admitted = false;
    // Who the peer is, for the listener's report, e.g. "uid 1000, pid 4242"
    // on Linux or "pid 4242, user NAME" on Windows; when the peer cannot be
    // identified, why not. Printable text, no line breaks.
    std::string peer;
    // The peer's user id where the system has them (Linux); -1 elsewhere.
    std::int64_t uid = -1;
    bool privileged = false;  // root or the listener's own user
};

// Asks the operating system who is on the other end of `connection` (just
// accepted, nothing read yet) and whether `policy` admits it. A peer that
// cannot be identified is refused. The listener closes a refused connection
// unread, reports it with `peer` and counts it as refused.
PeerCheck check_peer(Handle connection, const PeerPolicy& policy);

// The listener accepts and checks peers on one thread and reads each
// admitted connection on a thread of its own (several at once):
// read_message, read_tail and close_connection on different connections may
// run at the same time, and a stop request ends every wait.

enum class ReadStatus {
    full,       // `wanted` bytes arrived
    closed,     // the peer closed first; `received` says how many came
    timed_out,  // the time-out ran out first
    stopped,    // a stop request arrived first
    failed,     // a read error; `error` says which
};

struct ReadResult {
    ReadStatus status = ReadStatus::failed;
    std::size_t received = 0;
    std::string error;
};

// Reads into `buffer` until `wanted` bytes have come, the peer closes, a stop
// is requested or `timeout_ms` have passed since the call began (a total
// time, however the peer trickles its bytes).
ReadResult read_message(Handle connection, std::uint8_t* buffer, std::size_t wanted,
                        std::uint32_t timeout_ms);

enum class TailStatus {
    closed,     // the peer closed: nothing followed
    more_data,  // at least one more byte followed
    silent,     // neither within the wait, or a stop request
};

// After a whole message: waits up to `wait_ms` for the peer to close, or to
// send more than it should have.
TailStatus read_tail(Handle connection, std::uint32_t wait_ms);

void close_connection(Handle connection);

// Stops listening and removes the endpoint's name (Linux: the socket file).
void close_endpoint(Handle endpoint, const std::string& name);

}  // namespace platewise::endpoint
