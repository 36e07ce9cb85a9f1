// Aligned text tables for the tool's reports.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace kest_cli {

struct Table {
    std::vector<std::string> header;
    std::vector<bool> right_aligned;  // per column; numbers read best right-aligned
    std::vector<std::vector<std::string>> rows;
};

// Columns are separated by two blanks; trailing blanks are not written.
void print_table(std::ostream& out, const Table& table);

}  // namespace kest_cli
