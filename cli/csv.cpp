#include "csv.h"

namespace kest_cli {

CsvReader::CsvReader(std::istream& in, CsvDialect dialect) : in_(in), dialect_(dialect) {}

int CsvReader::get()
{
    std::streambuf* buffer = in_.rdbuf();
    return buffer == nullptr ? std::char_traits<char>::eof() : buffer->sbumpc();
}

int CsvReader::peek()
{
    std::streambuf* buffer = in_.rdbuf();
    return buffer == nullptr ? std::char_traits<char>::eof() : buffer->sgetc();
}

namespace {

constexpr int eof = std::char_traits<char>::eof();

bool is_line_end(int c) { return c == '\n' || c == eof; }

}  // namespace

bool CsvReader::next(CsvRecord& record)
{
    record.fields.clear();
    record.line = line_;
    if (!started_) {
        started_ = true;
        // A UTF-8 byte-order mark is no part of the first name.
        if (peek() == 0xEF) {
            const std::string mark = "\xEF\xBB\xBF";
            std::size_t matched = 0;
            while (matched < mark.size() && peek() == static_cast<unsigned char>(mark[matched])) {
                get();
                ++matched;
            }
            if (matched != mark.size()) throw CsvError{line_, "the file starts with an incomplete byte-order mark"};
        }
    }
    int c = peek();
    if (c == eof) return false;

    const char delimiter = dialect_.blank_runs ? ' ' : dialect_.delimiter;
    CsvField field;
    bool field_started = false;  // something of the field was read
    auto finish_field = [&] {
        record.fields.push_back(std::move(field));
        field = CsvField{};
        field_started = false;
    };
    if (dialect_.blank_runs)
        while (peek() == ' ') get();
    for (;;) {
        c = get();
        if (c == '\r' && is_line_end(peek())) continue;  // CRLF
        if (is_line_end(c)) {
            if (c == '\n') ++line_;
            if (field_started || !dialect_.blank_runs || record.fields.empty()) finish_field();
            return true;
        }
        if (c == delimiter) {
            if (dialect_.blank_runs) {
                while (peek() == ' ') get();
                if (is_line_end(peek()) || (peek() == '\r')) continue;  // trailing blanks
            }
            finish_field();
            continue;
        }
        if (c == '"') {
            if (field_started)
                throw CsvError{line_, "a double quote stands inside the field '" + field.text +
                                          "\"', which does not start with one; quote the whole field and double "
                                          "the quotes inside"};
            field.quoted = true;
            field_started = true;
            const long opened = line_;
            for (;;) {
                c = get();
                if (c == eof) throw CsvError{opened, "a double quote opened on this line is never closed"};
                if (c == '\n') ++line_;
                if (c == '"') {
                    if (peek() == '"') {
                        get();
                        field.text.push_back('"');
                        continue;
                    }
                    break;
                }
                field.text.push_back(static_cast<char>(c));
            }
            const int after = peek();
            if (after != delimiter && after != '\n' && after != '\r' && after != eof)
                throw CsvError{line_, "text follows the closing double quote of the field \"" + field.text + "\""};
            continue;
        }
        if (field.quoted)
            throw CsvError{line_, "text follows the closing double quote of the field \"" + field.text + "\""};
        field_started = true;
        field.text.push_back(static_cast<char>(c));
    }
}

std::string csv_field(std::string_view text, bool quote)
{
    if (!quote)
        quote = text.find_first_of(",\"\r\n") != std::string_view::npos ||
                (!text.empty() && (text.front() == ' ' || text.back() == ' '));
    if (!quote) return std::string(text);
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

}  // namespace kest_cli
