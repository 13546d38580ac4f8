// Which subjects are written mostly in notation (formulas, symbols, equations).
#pragma once

#include <string_view>

namespace quorvan::core {

// True when a word of the subject names a notation-heavy discipline
// (mathematics, physics, chemistry, statistics and their branches), in
// English or a few other languages. Expects casefolded UTF-8.
bool is_notation_heavy(std::string_view casefolded_subject);

}  // namespace quorvan::core
