#include "codebook.h"

#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "csv.h"
#include "data_set.h"
#include "options.h"

namespace fs = std::filesystem;

namespace kest_cli {

namespace {

constexpr std::string_view header = "entry,variable,code,text";

[[noreturn]] void refuse(const std::string& path, long line, const std::string& why)
{
    throw DataSetFailure{"line " + std::to_string(line) + " of the codebook '" + path + "' " + why};
}

long whole_number(const std::string& path, long line, const std::string& text, long low, long high)
{
    try {
        return static_cast<long>(parse_whole(text, "the code", low, high));
    } catch (const UsageError&) {
        refuse(path, line, "holds '" + text + "' where a whole number belongs");
    }
}

}  // namespace

const std::string* Codebook::label_of(const std::string& variable, int code) const
{
    for (const CodeLabel& l : labels)
        if (l.code == code && l.variable == variable) return &l.label;
    return nullptr;
}

bool Codebook::has_labels(const std::string& variable) const
{
    for (const CodeLabel& l : labels)
        if (l.variable == variable) return true;
    return false;
}

const std::string& Codebook::original_name(const std::string& variable) const
{
    for (const OriginalName& n : names)
        if (n.variable == variable) return n.original;
    return variable;
}

std::string companion_path(const std::string& data_file, std::string_view suffix)
{
    fs::path path(data_file);
    const std::string stem = path.extension() == ".xml" ? path.stem().string() : path.filename().string();
    return (path.parent_path() / (stem + std::string(suffix))).string();
}

std::string codebook_path(const std::string& data_file) { return companion_path(data_file, ".codebook.csv"); }

Codebook read_codebook(const std::string& data_file)
{
    const std::string path = codebook_path(data_file);
    Codebook book;
    std::error_code ec;
    if (!fs::exists(path, ec)) return book;
    std::ifstream in(path, std::ios::binary);
    if (!in) throw DataSetFailure{"cannot open the codebook '" + path + "'"};
    CsvReader reader(in, CsvDialect{});
    CsvRecord record;
    try {
        if (!reader.next(record) || record.fields.size() != 4 || record.fields[0].text != "entry")
            refuse(path, 1, "is not the header '" + std::string(header) + "'");
        while (reader.next(record)) {
            if (record.blank()) continue;
            if (record.fields.size() != 4) refuse(path, record.line, "does not hold 4 fields");
            const std::string& entry = record.fields[0].text;
            const std::string& variable = record.fields[1].text;
            const std::string& code = record.fields[2].text;
            const std::string& text = record.fields[3].text;
            if (entry == "label")
                book.labels.push_back({variable, static_cast<int>(whole_number(path, record.line, code, INT_MIN, INT_MAX)), text});
            else if (entry == "name")
                book.names.push_back({variable, text});
            else if (entry == "row_names")
                book.first_row_name = whole_number(path, record.line, code, LONG_MIN / 2, LONG_MAX / 2);
            else
                refuse(path, record.line, "has the unknown entry '" + entry + "'");
        }
    } catch (const CsvError& e) {
        refuse(path, e.line, e.message);
    }
    return book;
}

void write_codebook(const std::string& data_file, const Codebook& book)
{
    const std::string path = codebook_path(data_file);
    std::error_code ec;
    if (book.empty()) {
        fs::remove(path, ec);
        return;
    }
    std::ostringstream text;
    text << header << "\n";
    for (const OriginalName& n : book.names)
        text << "name," << csv_field(n.variable) << ",," << csv_field(n.original, true) << "\n";
    for (const CodeLabel& l : book.labels)
        text << "label," << csv_field(l.variable) << "," << l.code << "," << csv_field(l.label, true) << "\n";
    if (book.first_row_name) text << "row_names,," << *book.first_row_name << ",\n";

    // Written beside and renamed over, so a failure leaves no half codebook.
    const std::string partial = path + ".partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << text.str();
        out.flush();
        if (!out) {
            fs::remove(partial, ec);
            throw DataSetFailure{"cannot write the codebook '" + path + "'"};
        }
    }
    fs::rename(partial, path, ec);
    if (ec) {
        fs::remove(partial, ec);
        throw DataSetFailure{"cannot write the codebook '" + path + "'"};
    }
}

}  // namespace kest_cli
