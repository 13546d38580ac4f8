#include "class_run.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <map>
#include <set>
#include <stdexcept>

namespace quorvan::core {

namespace {

std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

int page_number(std::string_view text, std::string_view written) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 1) {
        throw std::invalid_argument("invalid page list '" + std::string(written) +
                                    "': pages are numbers from 1, like 1,2,5-7");
    }
    return value;
}

}  // namespace

std::vector<int> parse_page_list(std::string_view written) {
    std::set<int> pages;
    std::string_view rest = written;
    while (true) {
        const auto comma = rest.find(',');
        std::string_view item = trim_blanks(rest.substr(0, comma));
        const auto dash = item.find('-');
        if (dash == std::string_view::npos) {
            pages.insert(page_number(item, written));
        } else {
            const int first = page_number(trim_blanks(item.substr(0, dash)), written);
            const int last = page_number(trim_blanks(item.substr(dash + 1)), written);
            if (last < first || last - first > 100000) {
                throw std::invalid_argument("invalid page range '" + std::string(item) + "' in '" +
                                            std::string(written) + "'");
            }
            for (int p = first; p <= last; ++p) pages.insert(p);
        }
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return {pages.begin(), pages.end()};
}

std::vector<std::string> unique_names(const std::vector<std::string>& stems) {
    std::vector<std::string> names;
    std::set<std::string> taken;
    std::map<std::string, int> seen;
    for (const auto& stem : stems) {
        std::string name = stem;
        int n = std::max(seen[stem], 1);
        while (taken.count(name)) name = stem + "-" + std::to_string(++n);
        seen[stem] = n;
        taken.insert(name);
        names.push_back(name);
    }
    return names;
}

std::string percent(double got, double max) {
    if (!(max > 0)) return "";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", got / max * 100.0);
    return buf;
}

std::string progress_bar(std::size_t done, std::size_t total, std::size_t marked, std::size_t failed,
                         int width) {
    const std::size_t filled = total ? std::min<std::size_t>(width, done * width / total) : width;
    std::string bar = "[";
    bar.append(filled, '#');
    bar.append(width - filled, '.');
    bar += "] " + std::to_string(done) + "/" + std::to_string(total) + " sheets  " + std::to_string(marked) +
           " marked  " + std::to_string(failed) + " failed";
    return bar;
}

}  // namespace quorvan::core
