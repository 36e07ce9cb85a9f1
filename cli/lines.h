// Bounded line reading for the files the tool inspects itself (the text
// file before converting, the head of a data file).  Lines longer than the
// data set format allows are cut rather than read whole, so a file without
// line feeds cannot make the tool swallow it into memory.
#pragma once

#include <cstddef>
#include <istream>
#include <optional>
#include <string>

#include "kest.h"

namespace kest_cli {

// Longest line kept, in characters: one more than the data set format
// allows, so a line that is cut is one no reader of the format takes.
constexpr std::size_t kept_line_length = KEST_MAX_LINE;

struct Line {
    std::string text;  // without the line feed and a carriage return before it
    bool cut = false;  // the line was longer than kept_line_length
    std::size_t length = 0;  // full length, carriage return excluded
};

// Reads the next line; false at the end of the input.
bool read_line(std::istream& in, Line& line);

// Line number n (counted from 1) of a file; empty when the file cannot be
// opened or has fewer lines.
std::optional<Line> line_of_file(const std::string& path, long n);

}  // namespace kest_cli
