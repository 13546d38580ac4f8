// Text of the command-line tool: page lists, report names, the progress bar.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quorvan::core {

// "1,2,5-7" -> {1, 2, 5, 6, 7}: ascending, no repeats, numbering from 1.
// Anything else throws std::invalid_argument with a message for the user.
std::vector<int> parse_page_list(std::string_view written);

// One report name per sheet, from the file stems: a repeated stem gets "-2",
// "-3", ... in order, so no report overwrites another.
std::vector<std::string> unique_names(const std::vector<std::string>& stems);

// got/max as a percentage with one decimal ("70.0"); "" when max is not above 0.
std::string percent(double got, double max);

// "[#######.......] 12/30 sheets  11 marked  1 failed"
std::string progress_bar(std::size_t done, std::size_t total, std::size_t marked, std::size_t failed,
                         int width = 30);

}  // namespace quorvan::core
