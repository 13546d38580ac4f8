#include "identity.hpp"

#include <algorithm>

#include <array>
#include <regex>
#include <sstream>
#include <vector>

namespace quorvan::core {

namespace {

enum class Field { name, id };

struct Label {
    Field field;
    int strength;  // for the id: which label wins when two give different values
    bool bare;     // a common word: counts only where a label is expected
    std::regex pattern;
};

const std::vector<Label>& labels() {
    static const std::vector<Label> all = [] {
        const auto flags = std::regex::ECMAScript | std::regex::icase | std::regex::optimize;
        std::vector<Label> l;
        l.push_back({Field::name, 0, false, std::regex(R"(student(?:'s|\xE2\x80\x99s|s)?[ \t]*(?:full[ \t]*)?name[ \t]*:)", flags)});
        l.push_back({Field::name, 0, false, std::regex(R"(name[ \t]+of[ \t]+(?:the[ \t]+)?student[ \t]*:)", flags)});
        l.push_back({Field::id, 3, false, std::regex(R"(student[ \t]*(?:id|number|no\.?)[ \t]*:)", flags)});
        l.push_back({Field::id, 2, false, std::regex(R"(roll[ \t]*(?:no\.?|number|num\.?)[ \t]*:)", flags)});
        l.push_back({Field::id, 2, false, std::regex(R"(roll[ \t]*no[ \t]*\.)", flags)});
        l.push_back({Field::name, 0, true, std::regex(R"((?:full[ \t]*)?name[ \t]*:)", flags)});
        l.push_back({Field::id, 1, true, std::regex(R"((?:id|i\.d\.)[ \t]*(?:no\.?|number)?[ \t]*:)", flags)});
        return l;
    }();
    return all;
}

bool space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }
bool ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool digit(char c) { return c >= '0' && c <= '9'; }

std::string trim(const std::string& s, const char* also = "") {
    const std::string cut = std::string(" \t\r\f\v") + also;
    const auto first = s.find_first_not_of(cut);
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(cut) - first + 1);
}

std::string lower(std::string s) {
    for (auto& c : s) c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    return s;
}

// The label starting at `at`, if any (the longest).
const Label* label_at(const std::string& line, std::size_t at, bool bare_ok, std::size_t& end) {
    if (at > 0 && !space(line[at - 1]) && line[at - 1] != '|' && line[at - 1] != ',' && line[at - 1] != ';') {
        return nullptr;
    }
    const Label* best = nullptr;
    for (const auto& label : labels()) {
        if (label.bare && !bare_ok) continue;
        std::smatch m;
        if (std::regex_search(line.cbegin() + static_cast<std::ptrdiff_t>(at), line.cend(), m, label.pattern,
                              std::regex_constants::match_continuous)) {
            const std::size_t e = at + static_cast<std::size_t>(m.length(0));
            if (!best || e > end) {
                best = &label;
                end = e;
            }
        }
    }
    return best;
}

// Where a label may start: the line's start, a wide gap or a separator before it.
bool expected_at(const std::string& line, std::size_t at) {
    std::size_t spaces = 0;
    std::size_t i = at;
    while (i > 0 && space(line[i - 1])) {
        if (line[i - 1] == '\t') spaces += 3;
        ++spaces;
        --i;
    }
    return i == 0 || spaces >= 3 || line[i - 1] == '|';
}

struct Found {
    Field field;
    int strength;
    std::string value;
};

// Where the value starting at `from` ends: a wide gap, the next label, or a
// "Word:" that is some other label.
std::size_t value_end(const std::string& line, std::size_t from, bool& at_label) {
    at_label = false;
    for (std::size_t i = from; i < line.size(); ++i) {
        if (line[i] == '\t' || line[i] == '|') return i;
        if (line[i] == ' ' && i + 2 < line.size() && line[i + 1] == ' ' && line[i + 2] == ' ') return i;
        if (i > from && space(line[i - 1])) {
            std::size_t end = 0;
            if (label_at(line, i, true, end)) {
                at_label = true;
                return i;
            }
        }
        if (line[i] == ':' && i > from && (ascii_letter(line[i - 1]) || line[i - 1] == '.')) {
            std::size_t w = i;
            while (w > from && !space(line[w - 1])) --w;
            return w;
        }
    }
    return line.size();
}

void scan_line(const std::string& line, std::vector<Found>& found) {
    bool expected = false;  // right after a value: the next label may be a bare one
    for (std::size_t at = 0; at < line.size();) {
        if (space(line[at])) {
            ++at;
            continue;
        }
        std::size_t end = 0;
        const Label* label = label_at(line, at, expected || expected_at(line, at), end);
        if (!label) {
            expected = false;
            ++at;
            continue;
        }
        std::size_t from = end;
        while (from < line.size() && space(line[from])) ++from;
        bool at_label = false;
        const std::size_t stop = value_end(line, from, at_label);
        found.push_back({label->field, label->strength, line.substr(from, stop - from)});
        at = stop;
        expected = at_label;
    }
}

// A value as written on a form: without the blank line around it, or the
// dot and comma that end it.
std::string cleaned(const std::string& value, Field field) {
    std::string v = trim(value, "_");
    while (!v.empty() && (v.back() == ',' || v.back() == ';' || (field == Field::id && v.back() == '.'))) {
        v.pop_back();
        v = trim(v, "_");
    }
    if (field == Field::id && !v.empty() && v.front() == '#') v = trim(v.substr(1));
    return v;
}

bool placeholder(const std::string& value) {
    static const std::array<const char*, 10> words = {"n/a", "na", "none", "nil", "unknown", "tbd",
                                                      "name", "student", "id", "-"};
    const std::string v = lower(value);
    for (const char* w : words) {
        if (v == w) return true;
    }
    return false;
}

// A name run on into the next field of the form ("Alice Fernandes Class 8B",
// where the gap between them did not survive): the words before the first
// that is a form's word or holds a digit; "" when there is no such word
// (or no word before it).
std::string name_before_next_field(const std::string& value) {
    static const std::array<const char*, 16> fields = {"class", "section", "sec", "sec.", "grade", "std", "std.",
                                                       "standard", "div", "division", "date", "subject", "form",
                                                       "year", "roll", "school"};
    std::istringstream words(value);
    std::string kept;
    for (std::string word; words >> word;) {
        const std::string w = lower(word);
        const bool field = std::any_of(fields.begin(), fields.end(), [&](const char* f) { return w == f; }) ||
                           std::any_of(word.begin(), word.end(), digit);
        if (field) return kept;
        kept += (kept.empty() ? "" : " ") + word;
    }
    return "";
}

}  // namespace

bool plausible_name(const std::string& value) {
    if (value.empty() || value.size() > 80 || placeholder(value)) return false;
    bool letter = false;
    int words = 0;
    bool in_word = false;
    for (char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if (ascii_letter(c) || u >= 0x80) {
            letter = true;
        } else if (!(c == ' ' || c == '.' || c == '\'' || c == '-')) {
            return false;  // digits, brackets, slashes: no name is written so
        }
        if (c == ' ') {
            in_word = false;
        } else if (!in_word) {
            in_word = true;
            ++words;
        }
    }
    return letter && words <= 6;
}

bool plausible_id(const std::string& value) {
    if (value.empty() || value.size() > 24 || placeholder(value)) return false;
    bool has_digit = false;
    for (char c : value) {
        if (digit(c)) {
            has_digit = true;
        } else if (!(ascii_letter(c) || c == '-' || c == '/' || c == '.' || c == '_')) {
            return false;
        }
    }
    return has_digit;
}

PageIdentity identity_from_page(const std::string& text) {
    std::vector<Found> found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) scan_line(line, found);

    PageIdentity who;
    bool name_clash = false;
    int id_strength = -1;
    bool id_clash = false;
    for (const auto& f : found) {
        std::string v = cleaned(f.value, f.field);
        if (f.field == Field::name) {
            if (const std::string before = cleaned(name_before_next_field(v), f.field); !before.empty()) v = before;
            if (!plausible_name(v)) continue;
            if (who.name.empty()) {
                who.name = v;
            } else if (lower(who.name) != lower(v)) {
                name_clash = true;
            }
        } else {
            if (!plausible_id(v) || f.strength < id_strength) continue;
            if (f.strength > id_strength) {
                who.student_id = v;
                id_strength = f.strength;
                id_clash = false;
            } else if (who.student_id != v) {
                id_clash = true;
            }
        }
    }
    // Two different values for one label: no way to know which is the student's.
    if (name_clash) who.name.clear();
    if (id_clash) who.student_id.clear();
    return who;
}

}  // namespace quorvan::core
