#include "lines.h"

#include <fstream>

namespace kest_cli {

bool read_line(std::istream& in, Line& line)
{
    line.text.clear();
    line.cut = false;
    line.length = 0;
    // Straight from the stream buffer: the text file may have 200 000 lines.
    std::streambuf* buffer = in.rdbuf();
    if (buffer == nullptr) return false;
    bool any = false;
    for (int c = buffer->sbumpc(); c != std::char_traits<char>::eof(); c = buffer->sbumpc()) {
        any = true;
        if (c == '\n') break;
        ++line.length;
        if (line.text.size() < kept_line_length)
            line.text.push_back(static_cast<char>(c));
        else
            line.cut = true;
    }
    if (!line.cut && !line.text.empty() && line.text.back() == '\r') {
        line.text.pop_back();
        --line.length;
    }
    return any;
}

std::optional<Line> line_of_file(const std::string& path, long n)
{
    std::ifstream in(path, std::ios::binary);
    if (!in || n < 1) return std::nullopt;
    Line line;
    for (long i = 1; read_line(in, line); ++i)
        if (i == n) return line;
    return std::nullopt;
}

}  // namespace kest_cli
