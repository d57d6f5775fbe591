// How long the transport waits, retries and trusts what it has verified. Values passed on to
// Python keep their type (int or float): test doubles and callers see exactly these numbers.
#pragma once

namespace zqkit::transport::timing {

// aiohttp pings the market socket this often and drops it when no pong comes back within half
// of it, so a connection that died silently (no pushes for minutes is normal off-hours) is
// noticed within about 45 seconds.
inline constexpr int heartbeat_seconds = 30;

// The readiness guard polls this often: it must notice a spent recovery budget and a newly
// acknowledged channel promptly, and while the verification is cached a pass costs one clock
// comparison.
inline constexpr double ready_guard_poll_seconds = 0.1;

// After closing the HTTP session of an "https:" service, the TLS transports need a moment to
// shut down before the event loop may close; without TLS a bare yield (0) does.
inline constexpr double tls_close_pause_seconds = 0.25;

// A successful verification holds for half an hour, counted from when the request was sent so
// that the cache never outlives what the service confirmed.
inline constexpr int verification_valid_seconds = 1800;

// One verification, retries included: at most 3 failed attempts and 120 seconds, so a program
// starting while the service is down fails within two minutes instead of hanging.
inline constexpr int verification_attempts = 3;
inline constexpr int verification_seconds = 120;

// A Retry-After longer than the whole verification may take is cut to it; a 429 without a
// usable number (absent or not a number) waits one second.
inline constexpr double retry_after_cap_seconds = 120;
inline constexpr double retry_after_default_seconds = 1.0;

// An ordinary market query: the same budget as a verification, for the same reason.
inline constexpr int query_attempts = 3;
inline constexpr int query_seconds = 120;

// Pause after the n-th failed exchange of a query or a verification: 0.5 s doubling up to 8 s
// (0.5, 1, 2, 4, 8, 8 ...). Short, since a caller is waiting for the answer.
inline constexpr double exchange_first_pause_seconds = 0.5;
inline constexpr int exchange_max_pause_seconds = 8;

// Pause before reconnecting the stream: 1 s doubling up to 30 s (1, 2, 4, 8, 16, 30, 30 ...),
// back to 1 s once a connection has completed its bootstrap. Doubling spares a struggling
// service; the cap finds a recovered one within half a minute.
inline constexpr int reconnect_first_pause_seconds = 1;
inline constexpr int reconnect_max_pause_seconds = 30;

}  // namespace zqkit::transport::timing
