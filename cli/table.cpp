#include "table.h"

#include <algorithm>

namespace kest_cli {

namespace {

void print_row(std::ostream& out, const std::vector<std::string>& cells, const std::vector<std::size_t>& widths,
               const std::vector<bool>& right_aligned)
{
    std::string line;
    for (std::size_t c = 0; c < cells.size(); ++c) {
        const std::size_t pad = widths[c] - std::min(widths[c], cells[c].size());
        const bool right = c < right_aligned.size() && right_aligned[c];
        if (c > 0) line += "  ";
        if (right) line.append(pad, ' ');
        line += cells[c];
        if (!right) line.append(pad, ' ');
    }
    line.erase(line.find_last_not_of(' ') + 1);
    out << line << '\n';
}

}  // namespace

void print_table(std::ostream& out, const Table& table)
{
    std::vector<std::size_t> widths(table.header.size(), 0);
    auto widen = [&](const std::vector<std::string>& cells) {
        if (cells.size() > widths.size()) widths.resize(cells.size(), 0);
        for (std::size_t c = 0; c < cells.size(); ++c) widths[c] = std::max(widths[c], cells[c].size());
    };
    widen(table.header);
    for (const auto& row : table.rows) widen(row);
    print_row(out, table.header, widths, table.right_aligned);
    for (const auto& row : table.rows) print_row(out, row, widths, table.right_aligned);
}

}  // namespace kest_cli
