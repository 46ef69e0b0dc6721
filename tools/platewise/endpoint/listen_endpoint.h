// The listener's side of the service's endpoint, behind a seam of its own:
// plain functions over integer handles, no platform types. Linux implements
// it in listen_endpoint_linux.cpp (a Unix-domain stream socket); a Windows
// build adds listen_endpoint_win32.cpp (a named-pipe server).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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
