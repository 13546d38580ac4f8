// Tables as CSV text that spreadsheet programs and learning platforms read:
// comma-separated, a cell quoted only when it holds a comma, a quote or a line
// break (quotes doubled inside), every record ended by CRLF.
#pragma once

#include <string>
#include <vector>

namespace quorvan::core {

// One record with its line end. A record of one empty cell is written `""`,
// so that it does not read back as an empty line.
std::string csv_record(const std::vector<std::string>& cells);

// Every record, in order.
std::string csv_text(const std::vector<std::vector<std::string>>& rows);

}  // namespace quorvan::core
