#include "subjects.hpp"

#include <array>

namespace quorvan::core {

namespace {

// Word beginnings: "math" covers maths, mathematics, mathématiques. "physics"
// is spelt out so that physical education does not count.
constexpr std::array<std::string_view, 18> kStems = {
    "math", "physics", "physik", "chem", "statistic", "calculus", "algebra", "geometr", "trigonometr",
    "arithmetic", "mechanics", "probabilit", "matem", "qu\xc3\xadmica", "f\xc3\xadsica",
    "\xe0\xa4\x97\xe0\xa4\xa3\xe0\xa4\xbf\xe0\xa4\xa4",              // गणित (mathematics)
    "\xe0\xa4\xad\xe0\xa5\x8c\xe0\xa4\xa4\xe0\xa4\xbf\xe0\xa4\x95",  // भौतिक (physics)
    "\xe0\xa4\xb0\xe0\xa4\xb8\xe0\xa4\xbe\xe0\xa4\xaf\xe0\xa4\xa8",  // रसायन (chemistry)
};

// Compounds such as biochemistry or astrophysics.
constexpr std::array<std::string_view, 6> kPrefixes = {"", "bio", "geo", "astro", "electro", "thermo"};

bool separator(unsigned char c) {
    return c < 0x80 && !((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'));
}

bool word_matches(std::string_view word) {
    for (std::string_view prefix : kPrefixes) {
        if (word.substr(0, prefix.size()) != prefix) continue;
        const std::string_view rest = word.substr(prefix.size());
        for (std::string_view stem : kStems) {
            if (rest.substr(0, stem.size()) == stem) return true;
        }
    }
    return false;
}

}  // namespace

bool is_notation_heavy(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && separator(static_cast<unsigned char>(s[i]))) ++i;
        std::size_t j = i;
        while (j < s.size() && !separator(static_cast<unsigned char>(s[j]))) ++j;
        if (j > i && word_matches(s.substr(i, j - i))) return true;
        i = j;
    }
    return false;
}

}  // namespace quorvan::core
