// Student text inside a prompt: what keeps it from reading as the prompt,
// and what tells a teacher that an answer talks to the marker.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorvan::core {

// The student's text (UTF-8) with every line that imitates the prompt's own
// structure (a markdown heading, a line opening with one of the templates'
// labels, a criterion line as the rubric is listed, a page marker) turned
// into a quoted line: "> " before it, the words kept. Text without such lines
// comes back byte for byte; text already treated comes back unchanged.
std::string neutralise_student_text(std::string_view text);

// Why an answer looks like it addresses the marker rather than the question,
// as short fixed reasons in a fixed order, each at most once; empty for an
// ordinary answer. Lines that neutralise_student_text changes, or changed
// before, count as imitating the prompt.
std::vector<std::string> injection_signs(std::string_view text);

// The text without the marks a reader cannot see (zero-width spaces and
// joiners, the word joiner, soft hyphens, byte order marks, text-direction
// controls); `removed` counts them.
std::string without_invisible_marks(std::string_view text, std::size_t& removed);

}  // namespace quorvan::core
