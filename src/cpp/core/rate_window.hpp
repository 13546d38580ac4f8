// Sliding one-minute admission windows of the asynchronous request path:
// requests started, and tokens spent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string_view>
#include <vector>

namespace quorvan::core {

inline constexpr double kRateWindowSeconds = 60.0;

struct RateCheck {
    std::vector<std::size_t> kept;  // positions of the entries still inside the window, in order
    double wait = 0.0;              // seconds until the oldest kept entry leaves; 0 = admit now
};

// Entries strictly younger than the window are kept (an entry exactly 60 s old
// is dropped). When `limit` or more remain, wait until the oldest leaves.
RateCheck check_rate_window(const std::vector<double>& timestamps, double now, long long limit);

}  // namespace quorvan::core

namespace quorvan::core {

// Seconds in a rate-limit reset duration as OpenAI writes them ("6m0s", "1.5s",
// "250ms", "1h2m", "20us"), or a bare number of seconds ("2.5"); nullopt for
// anything else, negative or not finite.
std::optional<double> parse_reset_duration(std::string_view text);

// Tokens spent in a rolling window. A call reserves its estimate before it is
// sent and settles it with what the server counted once the answer is in;
// calls are let through in the order they asked, so a large one is not starved
// by small ones behind it.
class TokenWindow {
public:
    TokenWindow(long long limit, double window_seconds);

    long long limit() const { return limit_; }
    double window_seconds() const { return window_; }

    // A place in the queue of calls waiting to be let through.
    std::uint64_t enqueue();
    // The place is given up without a reservation (the call was cancelled).
    void leave(std::uint64_t ticket);

    // Seconds the call holding `ticket` has still to wait before `tokens` may
    // go; 0 means it goes now: the tokens are reserved under the ticket and it
    // leaves the queue. A call behind another is told to look again soon.
    double admit(std::uint64_t ticket, long long tokens, double now);

    // The server's count for the ticket's call, as of its answer at `now`.
    // The entry is kept from `now` on: a server counts a call when it answers,
    // never before the request was sent, so the window here ends no earlier.
    void settle(std::uint64_t ticket, long long tokens, double now);

    // What the server reported: `remaining` tokens now, the whole limit
    // (`server_limit`, 0 when unknown) back after `reset` seconds.
    void note_server(long long remaining, double reset, long long server_limit, double now);
    // Nothing is let through before `until` (a Retry-After).
    void hold_until(double until);

    // Tokens inside the window at `now` (reserved or settled).
    long long used(double now);
    // Seconds a call of `tokens` at the head of the queue would wait at `now`.
    double wait_for(long long tokens, double now);

private:
    struct Entry {
        std::uint64_t ticket;
        double at;
        long long tokens;
    };
    void expire(double now);
    double own_wait(long long tokens, double now) const;
    double server_wait(long long tokens, double now) const;

    long long limit_;
    double window_;
    std::vector<Entry> entries_;
    std::deque<std::uint64_t> waiting_;
    std::uint64_t next_ticket_ = 1;
    double hold_until_ = 0.0;
    // The server's last word: remaining at noted_at, refilled linearly until reset_at.
    bool server_known_ = false;
    long long server_remaining_ = 0;
    long long server_limit_ = 0;
    double server_noted_at_ = 0.0;
    double server_reset_at_ = 0.0;
    long long sent_since_note_ = 0;
};

}  // namespace quorvan::core
