#include "csv.hpp"

namespace quorvan::core {

std::string csv_record(const std::vector<std::string>& cells) {
    std::string out;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const std::string& cell = cells[i];
        if (i) out += ',';
        const bool quoted = cell.find_first_of(",\"\r\n") != std::string::npos || (cells.size() == 1 && cell.empty());
        if (!quoted) {
            out += cell;
            continue;
        }
        out += '"';
        for (const char c : cell) {
            if (c == '"') out += '"';
            out += c;
        }
        out += '"';
    }
    return out + "\r\n";
}

std::string csv_text(const std::vector<std::vector<std::string>>& rows) {
    std::string out;
    for (const auto& row : rows) out += csv_record(row);
    return out;
}

}  // namespace quorvan::core
