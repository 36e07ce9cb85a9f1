#include "data/record_reader.h"

#include <climits>
#include <cmath>

#include "data/number_text.h"
#include "kest.h"

namespace kest {

RecordReader::RecordReader(const char* data_path, const char* schema_path)
    : data_(data_path), schema_(schema_path)
{
}

Outcome RecordReader::opened() const
{
    if (!data_.is_open()) return Fault{1, 0};
    if (!schema_.is_open()) return Fault{2, 0};
    return std::nullopt;
}

bool RecordReader::is_record_line(std::string_view line) const noexcept
{
    // The first character (the "<") is not examined.
    return line.size() > names_.record.size() && line.substr(1, names_.record.size()) == names_.record;
}

Outcome RecordReader::start(int num_vars, const CategoryTable* categories)
{
    if (auto fault = read_schema_names(schema_, num_vars, names_, categories)) return fault;
    scanner_.emplace(names_.variables, names_.record);
    for (;;) {
        const auto result = data_.next();
        if (result != LineReader::Result::line) return line_fault(data_, result, Fault{1, 1});
        if (is_record_line(data_.line())) break;
    }
    at_first_record_ = true;
    return std::nullopt;
}

Outcome RecordReader::next_record(bool& got)
{
    got = false;
    if (at_first_record_) {
        at_first_record_ = false;
    } else {
        const auto result = data_.next();
        // The file ending right after a record line, before the caller has all
        // the records it asked for, is a fault; another line ends the records.
        if (result != LineReader::Result::line) return line_fault(data_, result, Fault{1, 1});
        if (!is_record_line(data_.line())) return std::nullopt;
    }
    scanner_->scan(data_.line());
    got = true;
    return std::nullopt;
}

Outcome read_text_value(const RecordReader& records, int j, std::size_t value_start,
                        std::optional<double>& value)
{
    value.reset();
    const auto text = records.scanner().value_text(j, value_start);
    if (!text) return Fault{1, 2};
    if (text->size() > KEST_MAX_VALUE_TEXT)
        return Fault{KEST_ERR_VALUE_TOO_LONG, static_cast<int>(std::min<long>(records.line_number(), INT_MAX))};
    // Taken apart rather than copied as one optional: the copy of a value
    // just stored field by field stalls on every cell.
    double number;
    if (parse_plain_decimal(text->data(), text->data() + text->size(), number)) {
        value.emplace(number);  // plain decimals are always finite
        return std::nullopt;
    }
    const std::optional<double> general = read_general_number_text(*text);
    if (general && std::isfinite(*general)) value.emplace(*general);
    return std::nullopt;
}

}  // namespace kest
