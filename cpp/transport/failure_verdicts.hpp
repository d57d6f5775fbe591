// What the transport makes of a failure: which HTTP statuses and exceptions are retried, which
// end the operation, and with which text. The texts are what users see and match on, so they are
// kept word for word; everything here is pure, the Python side lives in errors.hpp.
//
// Three exchanges answer with an HTTP status, and they differ on purpose:
//
//   status          verification              market query           stream handshake
//   200             read the answer           read the answer        (upgraded)
//   401, 403        token_rejected,           signature_rejected,    connection_refused,
//                   with status               with status            with status
//   408, 429, 5xx   retry (429: waits for     retry                  reconnect
//                   Retry-After)
//   other 4xx       verification_refused,     query_refused,         connection_refused,
//                   with status               no status              with status
//   anything else   verification_refused,     query_refused,         reconnect
//                   with status               no status
//
// A failure that is not an Exception (cancellation above all) passes through everywhere
// untouched; the verdicts below are only ever asked about Exceptions.
#pragma once

namespace zqkit::transport {

namespace messages {

// ---- account verification ----

// 401/403: the service refused the token itself.
inline constexpr const char* token_rejected = "账户验证失败，请检查 Token 或账户状态。";
// Any other answer that is neither 200 nor retryable.
inline constexpr const char* verification_refused = "账户验证请求未获允许。";
// A 200 answer that is not JSON or not exactly {"ok": true, "d": {}}.
inline constexpr const char* verification_answer_invalid = "账户验证响应无效。";
// The whole verification ran out of time, or failed in a way nobody foresaw.
inline constexpr const char* verification_unavailable = "账户验证暂不可用，请稍后重试。";

// ---- market queries ----

// 401/403: the signature was refused.
inline constexpr const char* query_signature_rejected =
    "行情请求校验失败，请检查 SDK 版本和系统时间。";
// Any other answer that is neither 200 nor retryable.
inline constexpr const char* query_refused = "行情查询未获允许，请检查查询条件。";
// A 200 answer that is not JSON or not {"ok": true, "d": ...}.
inline constexpr const char* query_answer_invalid = "行情数据暂不可用。";
// The query's budget ran out of time while retrying.
inline constexpr const char* query_out_of_time = "行情查询多次恢复失败，请稍后重试。";
// Anything unforeseen.
inline constexpr const char* query_failed = "行情查询无法完成。";

// ---- the stream ----

// The handshake was refused with a status that reconnecting would meet again.
inline constexpr const char* connection_refused = "行情服务拒绝连接";
// The connection's recovery budget refused another reconnect.
inline constexpr const char* reconnect_spent = "行情连接多次恢复失败，请稍后重新连接。";
// A connection ended by an error nobody foresaw.
inline constexpr const char* stream_unexpected = "行情服务异常";
// The HTTP session failed to close.
inline constexpr const char* close_failed = "关闭行情连接失败";

// Protocol faults in what the service sent (ZqError, fatal): the client and the service
// disagree about the protocol, and a new connection would reach the same service.
inline constexpr const char* frame_not_text = "行情 WebSocket 消息不是文本";
inline constexpr const char* frame_json_invalid = "行情 WebSocket 消息的 JSON 无效";
inline constexpr const char* frame_not_object = "行情 WebSocket 消息格式无效";
inline constexpr const char* ack_invalid = "行情订阅确认消息无效";
// The service said no to a subscription; asking again would be refused again.
inline constexpr const char* subscription_refused = "行情订阅失败";
inline constexpr const char* push_not_subscribed = "收到未订阅的行情频道数据";

// Connection faults (aiohttp.ClientConnectionError, retryable): the socket broke, not the
// protocol, so the stream reconnects and restores from fresh snapshots.
inline constexpr const char* socket_receive_failed = "行情 WebSocket 接收失败";
inline constexpr const char* socket_closed = "行情 WebSocket 已关闭";
inline constexpr const char* subscription_send_failed = "行情订阅发送失败";

// ---- names of the retry budgets ----
// Recovery begins its own refusals with them ("行情查询连续失败 3 次，已停止重试。").

inline constexpr const char* connection_budget = "行情连接";
inline constexpr const char* query_budget = "行情查询";
inline constexpr const char* verification_budget = "账户验证";

}  // namespace messages

enum class Action {
    proceed,  // nothing wrong: read the answer
    retry,    // back off and try again while the budget allows
    give_up,  // the operation ends with an error
};

struct Verdict {
    Action action;
    // give_up: the text of the ZqError that replaces the failure; nullptr keeps the failure
    // itself (it already says what went wrong).
    const char* message = nullptr;
    // give_up: the ZqError carries the HTTP status as `status`.
    bool with_status = false;
    // retry: the pause honours the answer's Retry-After header.
    bool waits_retry_after = false;
};

// ---- HTTP statuses ----

// give_up with ZqError(message, status=<the answer's status>).
constexpr Verdict refusal_with_status(const char* message) {
    return {.action = Action::give_up, .message = message, .with_status = true};
}

// The service asks to be asked again later: the request timed out (408), too many requests
// (429), or a fault on its side (5xx).
constexpr bool is_retryable_status(long status) {
    return status == 408 || status == 429 || status >= 500;
}

// The service refuses who is asking: not authenticated (401) or not allowed (403).
constexpr bool is_auth_status(long status) {
    return status == 401 || status == 403;
}

// The answer of the verification service.
constexpr Verdict verification_status_verdict(long status) {
    // The same token would be refused again; the status tells support which refusal it was.
    if (is_auth_status(status)) return refusal_with_status(messages::token_rejected);
    // Only verification honours Retry-After: it is one request that everything else waits for,
    // so waiting as long as the service asks beats being throttled again.
    if (status == 429) return {.action = Action::retry, .waits_retry_after = true};
    if (is_retryable_status(status)) return {.action = Action::retry};
    // Another 4xx, a redirect (never followed) or a 2xx other than 200 will not change by itself.
    if (status != 200) return refusal_with_status(messages::verification_refused);
    return {.action = Action::proceed};
}

// The answer to a signed market query.
constexpr Verdict query_status_verdict(long status) {
    // The signature covers the clock and the SDK's key: a wrong system time or an outdated SDK.
    if (is_auth_status(status)) return refusal_with_status(messages::query_signature_rejected);
    // Queries keep their own short back-off and ignore Retry-After: the caller is waiting for
    // the answer, and one long pause would spend the query's whole budget.
    if (is_retryable_status(status)) return {.action = Action::retry};
    // The query itself (path or parameters, chosen by the caller) is not allowed. The message
    // names the cause; callers rely on `status` being None here.
    if (status != 200) return {.action = Action::give_up, .message = messages::query_refused};
    return {.action = Action::proceed};
}

// A refused WebSocket upgrade (aiohttp's WSServerHandshakeError).
constexpr Verdict handshake_status_verdict(long status) {
    // The service refuses this client; a new attempt would be refused alike. A refused
    // handshake brings no body to tell causes apart, so one message serves them all and the
    // status says which it was.
    if (status >= 400 && status < 500 && !is_retryable_status(status))
        return refusal_with_status(messages::connection_refused);
    // 408, 429, 5xx, and whatever else is not an upgrade (a proxy's page, a redirect): a failed
    // connection like any other, retried after the stream's back-off within its budget.
    return {.action = Action::retry};
}

// ---- exceptions ----

// What an Exception is. These are facts rather than one category: aiohttp's time-outs are
// both connection errors and TimeoutErrors, and each verdict says which fact it looks at first.
struct Fault {
    bool zq_error = false;      // ZqError: already a verdict with its own message
    bool connection = false;    // aiohttp.ClientError: the network or the service's socket
    bool retry_market = false;  // _RetryMarketError: a retryable status, or a resync needed
    bool timeout = false;       // the built-in TimeoutError
};

// Whether one HTTP exchange of a query or a verification may simply be sent again.
// `deadline_expired`: the time limit of the whole operation has passed.
constexpr bool is_transient(const Fault& fault, bool deadline_expired) {
    if (fault.connection || fault.retry_market) return true;
    // The session's per-request time-out is transient; once the operation's own deadline has
    // passed, the TimeoutError is that deadline's and ends the operation.
    return fault.timeout && !deadline_expired;
}

// What ends one connection of the stream (before the handshake status and the recovery budget
// have their say on a retry).
constexpr Verdict stream_fault_verdict(const Fault& fault) {
    // A protocol fault, a failed verification or a spent budget.
    if (fault.zq_error) return {.action = Action::give_up};
    // The network, a handshake that took too long, a buffer that overflowed: reconnect.
    if (fault.connection || fault.timeout || fault.retry_market) return {.action = Action::retry};
    // The stream can no longer trust its own state. Unlike the raised replacements of
    // verification and queries, this one is stored, with the original error as its cause:
    // the package keeps no log, so the cause is the only trace of what happened.
    return {.action = Action::give_up, .message = messages::stream_unexpected};
}

// How a verification that did not succeed ends; every such end is fatal to the transport.
constexpr Verdict verification_fault_verdict(const Fault& fault) {
    if (fault.zq_error) return {.action = Action::give_up};
    // Its time limit, or anything unforeseen: the service is out of reach for now.
    return {.action = Action::give_up, .message = messages::verification_unavailable};
}

// How a query that did not succeed ends.
constexpr Verdict query_fault_verdict(const Fault& fault) {
    // The budget's time ran out while retrying (checked first: aiohttp's time-outs are
    // connection errors too).
    if (fault.timeout) return {.action = Action::give_up, .message = messages::query_out_of_time};
    // _RetryMarketError leaves a query only while restoring, where `run` reconnects on it.
    if (fault.zq_error || fault.retry_market) return {.action = Action::give_up};
    return {.action = Action::give_up, .message = messages::query_failed};
}

}  // namespace zqkit::transport
