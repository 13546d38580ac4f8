// The one renderer of the prompt templates: {{name}} fields filled with text.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quorvan::core {

struct TemplatePiece {
    bool is_field;          // true: `text` names a field; false: literal text
    std::string_view text;  // a view into the template
};

// Literal text and {{name}} fields, in order. An unclosed "{{" is an error
// (std::invalid_argument): templates are ours, so that is a bug, not input.
std::vector<TemplatePiece> split_template(std::string_view tpl);

// Fills every field from `values`; inserted text is never scanned again, so a
// value that itself contains "{{x}}" stays as written. An unknown field throws
// std::out_of_range naming it.
std::string render(std::string_view tpl, const std::map<std::string, std::string, std::less<>>& values);

}  // namespace quorvan::core
