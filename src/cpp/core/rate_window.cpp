#include "rate_window.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>

namespace quorvan::core {

RateCheck check_rate_window(const std::vector<double>& timestamps, double now, long long limit) {
    RateCheck r;
    double oldest = 0.0;
    for (std::size_t i = 0; i < timestamps.size(); ++i) {
        if (now - timestamps[i] < kRateWindowSeconds) {
            if (r.kept.empty() || timestamps[i] < oldest) oldest = timestamps[i];
            r.kept.push_back(i);
        }
    }
    if (!r.kept.empty() && static_cast<long long>(r.kept.size()) >= limit) {
        r.wait = std::max(0.0, kRateWindowSeconds - (now - oldest));
    }
    return r;
}


namespace {

// [0-9]+(.[0-9]*)? or .[0-9]+ at the front of `s`; the characters it took, 0 for none.
std::size_t leading_number(std::string_view s, double& value) {
    std::size_t i = 0, digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
    }
    if (digits == 0) return 0;
    value = std::strtod(std::string(s.substr(0, i)).c_str(), nullptr);
    return i;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

std::optional<double> parse_reset_duration(std::string_view text) {
    std::string_view s = trimmed(text);
    if (s.empty()) return std::nullopt;
    double total = 0.0;
    bool bare = true;
    while (!s.empty()) {
        double v = 0.0;
        const std::size_t n = leading_number(s, v);
        if (n == 0) return std::nullopt;
        s.remove_prefix(n);
        // Longest unit first: "ms" before "m".
        static constexpr std::pair<std::string_view, double> kUnits[] = {
            {"ms", 1e-3}, {"us", 1e-6}, {"\xC2\xB5s", 1e-6}, {"ns", 1e-9}, {"h", 3600.0}, {"m", 60.0}, {"s", 1.0}};
        bool found = false;
        for (const auto& [unit, scale] : kUnits) {
            if (s.substr(0, unit.size()) == unit) {
                total += v * scale;
                s.remove_prefix(unit.size());
                found = true;
                break;
            }
        }
        if (!found) {
            // A bare number is seconds, and only on its own.
            if (!bare || !s.empty()) return std::nullopt;
            total = v;
        }
        bare = false;
    }
    if (!std::isfinite(total)) return std::nullopt;
    return total;
}

TokenWindow::TokenWindow(long long limit, double window_seconds) : limit_(limit), window_(window_seconds) {}

std::uint64_t TokenWindow::enqueue() {
    const std::uint64_t ticket = next_ticket_++;
    waiting_.push_back(ticket);
    return ticket;
}

void TokenWindow::leave(std::uint64_t ticket) {
    auto it = std::find(waiting_.begin(), waiting_.end(), ticket);
    if (it != waiting_.end()) waiting_.erase(it);
}

void TokenWindow::expire(double now) {
    std::erase_if(entries_, [&](const Entry& e) { return now - e.at >= window_; });
}

long long TokenWindow::used(double now) {
    expire(now);
    long long sum = 0;
    for (const auto& e : entries_) sum += e.tokens;
    return sum;
}

double TokenWindow::own_wait(long long tokens, double now) const {
    if (entries_.empty()) return 0.0;  // a call above the whole limit goes alone
    long long used = 0;
    for (const auto& e : entries_) used += e.tokens;
    if (used + tokens <= limit_) return 0.0;
    std::vector<Entry> by_age(entries_);
    std::sort(by_age.begin(), by_age.end(), [](const Entry& a, const Entry& b) { return a.at < b.at; });
    long long left = used;
    for (const auto& e : by_age) {
        left -= e.tokens;
        if (left + tokens <= limit_) return std::max(0.0, e.at + window_ - now);
    }
    return std::max(0.0, by_age.back().at + window_ - now);  // an oversized call: wait for an empty window
}

double TokenWindow::server_wait(long long tokens, double now) const {
    if (!server_known_ || now >= server_reset_at_) return 0.0;
    // OpenAI refills its bucket steadily until the reset; without the limit
    // we cannot tell the pace and wait for the whole reset.
    double rate = 0.0;
    const double span = server_reset_at_ - server_noted_at_;
    if (server_limit_ > server_remaining_ && span > 0.0) {
        rate = static_cast<double>(server_limit_ - server_remaining_) / span;
    }
    const double available = static_cast<double>(server_remaining_) + rate * (now - server_noted_at_) -
                             static_cast<double>(sent_since_note_);
    if (static_cast<double>(tokens) <= available) return 0.0;
    const double until_reset = server_reset_at_ - now;
    if (rate <= 0.0) return until_reset;
    return std::min((static_cast<double>(tokens) - available) / rate, until_reset);
}

double TokenWindow::wait_for(long long tokens, double now) {
    expire(now);
    double wait = std::max(0.0, hold_until_ - now);
    wait = std::max(wait, server_wait(tokens, now));
    return std::max(wait, own_wait(tokens, now));
}

double TokenWindow::admit(std::uint64_t ticket, long long tokens, double now) {
    if (waiting_.empty() || waiting_.front() != ticket) {
        // Not its turn: look again soon, the calls ahead may go at any moment.
        return std::clamp(window_ / 100.0, 0.005, 0.5);
    }
    const double wait = wait_for(tokens, now);
    if (wait > 0.0) return wait;
    entries_.push_back({ticket, now, tokens});
    waiting_.pop_front();
    if (server_known_) sent_since_note_ += tokens;
    return 0.0;
}

void TokenWindow::settle(std::uint64_t ticket, long long tokens, double now) {
    tokens = std::max(0LL, tokens);
    for (auto& e : entries_) {
        if (e.ticket == ticket) {
            e.tokens = tokens;
            e.at = std::max(e.at, now);
            return;
        }
    }
    // The call outlasted the window: the server counts it from its answer on.
    entries_.push_back({ticket, now, tokens});
}

void TokenWindow::note_server(long long remaining, double reset, long long server_limit, double now) {
    server_known_ = true;
    server_remaining_ = std::max(0LL, remaining);
    server_limit_ = std::max(0LL, server_limit);
    server_noted_at_ = now;
    server_reset_at_ = now + (std::isfinite(reset) ? std::max(0.0, reset) : 0.0);
    sent_since_note_ = 0;
}

void TokenWindow::hold_until(double until) {
    if (std::isfinite(until)) hold_until_ = std::max(hold_until_, until);
}

}  // namespace quorvan::core
