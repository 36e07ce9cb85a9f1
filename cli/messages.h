// Turns the ErrorPair of a library export into a sentence for the user.
// Each export numbers its failures on its own, so the same code means
// different things for different exports; the table in messages.cpp keeps
// one entry per export and code.
#pragma once

#include <string>
#include <vector>

namespace kest_cli {

enum class Export { data_conv, xml_data_size, xml_read, em, bacon };

// What the message may name: the files of the call and, for details that
// are a variable index, the variable names.
struct MessageContext {
    std::string text_file;
    std::string data_file;
    std::string schema_file;
    std::string stylesheet_file;
    int header_lines = 0;
    std::vector<std::string> variables;
    // Filled by the caller when it could find out more than the code says:
    // why a record is incomplete, which record of a data file is broken,
    // which file a too-long line belongs to.
    std::string reason;
    long record = 0;             // record of the data file, counted from 1; 0 unknown
    std::string long_line_file;  // the file holding the too-long line, if known
};

std::string describe_failure(Export where, int code, int detail, const MessageContext& context);

}  // namespace kest_cli
