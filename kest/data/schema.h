// Reading the schema file: the observation count, the variable declarations
// with their names and category codes, and the record type.  The schema is
// read line by line through fixed line prefixes and substring searches; it is
// never parsed as XML.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "data/fault.h"
#include "data/line_reader.h"

namespace kest {

inline constexpr std::string_view declaration_prefix = "<ElementType name=";

inline bool starts_with(std::string_view line, std::string_view prefix) noexcept
{
    return line.substr(0, prefix.size()) == prefix;
}

// The type name on a declaration line: it starts at the 20th character and
// ends before the character that precedes the first " content".  Empty when
// " content" is absent or the name would be empty.
std::string_view declared_name(std::string_view line) noexcept;

// What xml_data_size reports.
struct SchemaSize {
    int num_obs = 0;
    int num_vars = 0;
    int name_size = 0;
};
Outcome read_schema_size(const char* schema_path, SchemaSize& size);

// Where the category codes of the variables go (xml_read only).
struct CategoryTable {
    int* ncat;
    int* codes;
    int max_cats;
};

// The names of num_vars variables and of the record type, read from the
// declarations in order; codes are stored when a table is given.
struct SchemaNames {
    std::vector<std::string> variables;
    std::string record;
};
Outcome read_schema_names(LineReader& schema, int num_vars, SchemaNames& names,
                          const CategoryTable* categories);

// Fault for a line the reader could not take (too long, or a read error),
// with end_fault used for a read error.
Fault line_fault(const LineReader& reader, LineReader::Result result, Fault end_fault) noexcept;

}  // namespace kest
