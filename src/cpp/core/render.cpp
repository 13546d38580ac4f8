#include "render.hpp"

#include <stdexcept>

namespace quorvan::core {

std::vector<TemplatePiece> split_template(std::string_view tpl) {
    std::vector<TemplatePiece> pieces;
    std::size_t pos = 0;
    while (pos < tpl.size()) {
        const std::size_t open = tpl.find("{{", pos);
        if (open == std::string_view::npos) {
            pieces.push_back({false, tpl.substr(pos)});
            break;
        }
        if (open > pos) pieces.push_back({false, tpl.substr(pos, open - pos)});
        const std::size_t close = tpl.find("}}", open + 2);
        if (close == std::string_view::npos) {
            throw std::invalid_argument("unclosed field in template at offset " + std::to_string(open));
        }
        pieces.push_back({true, tpl.substr(open + 2, close - open - 2)});
        pos = close + 2;
    }
    return pieces;
}

std::string render(std::string_view tpl, const std::map<std::string, std::string, std::less<>>& values) {
    std::string out;
    out.reserve(tpl.size());
    for (const auto& piece : split_template(tpl)) {
        if (!piece.is_field) {
            out += piece.text;
            continue;
        }
        auto it = values.find(piece.text);
        if (it == values.end()) throw std::out_of_range("no value for template field " + std::string(piece.text));
        out += it->second;
    }
    return out;
}

}  // namespace quorvan::core
