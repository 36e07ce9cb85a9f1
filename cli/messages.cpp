#include "messages.h"

#include "kest.h"

namespace kest_cli {

namespace {

constexpr int any_detail = -1000000;

struct Entry {
    Export where;
    int code;
    int detail;  // any_detail matches every detail
    std::string (*text)(const MessageContext& c, int detail);
};

std::string quoted(const std::string& path) { return "'" + path + "'"; }

std::string variable_label(const MessageContext& c, int j)
{
    if (j >= 0 && static_cast<std::size_t>(j) < c.variables.size())
        return "variable " + std::to_string(j + 1) + " ('" + c.variables[static_cast<std::size_t>(j)] + "')";
    return "variable " + std::to_string(j + 1);
}

std::string with_reason(std::string text, const MessageContext& c)
{
    return c.reason.empty() ? text : text + ": " + c.reason;
}

// The reader reports a too-long line by its number only; the caller may
// have found out which of the two files holds it.
std::string long_line(const MessageContext& c, int line, const std::string& limit_text)
{
    const std::string where =
        c.long_line_file.empty() ? quoted(c.data_file) + " or " + quoted(c.schema_file) : quoted(c.long_line_file);
    return "line " + std::to_string(line) + " of " + where + limit_text;
}

std::string record_label(const MessageContext& c)
{
    return c.record > 0 ? "record " + std::to_string(c.record) + " of " + quoted(c.data_file)
                        : "a record line of " + quoted(c.data_file);
}

// clang-format off
const Entry table[] = {
    // ---- data_conv ----
    {Export::data_conv, 7, any_detail, [](const MessageContext&, int) -> std::string {
        return "there are no variables to convert"; }},
    {Export::data_conv, 6, any_detail, [](const MessageContext&, int) -> std::string {
        return "there are no records to convert"; }},
    {Export::data_conv, KEST_ERR_NAME_TOO_LONG, any_detail, [](const MessageContext& c, int d) {
        return "the name of " + variable_label(c, d) + " is longer than " + std::to_string(KEST_MAX_NAME) +
               " characters"; }},
    {Export::data_conv, KEST_ERR_TOO_MANY_CODES, any_detail, [](const MessageContext& c, int d) {
        return "the category codes of " + variable_label(c, d) + " do not fit the code table"; }},
    {Export::data_conv, 2, any_detail, [](const MessageContext& c, int) {
        return "cannot open the text file " + quoted(c.text_file); }},
    {Export::data_conv, 3, any_detail, [](const MessageContext& c, int d) {
        return d == 2 ? "the data file " + quoted(c.data_file) + " was not written completely (is the disk full?)"
                      : "cannot create the data file " + quoted(c.data_file); }},
    {Export::data_conv, 4, any_detail, [](const MessageContext& c, int d) {
        return d == 2 ? "the stylesheet " + quoted(c.stylesheet_file) + " was not written completely (is the disk full?)"
                      : "cannot create the stylesheet " + quoted(c.stylesheet_file); }},
    {Export::data_conv, 5, any_detail, [](const MessageContext& c, int d) {
        return d == 2 ? "the schema " + quoted(c.schema_file) + " was not written completely (is the disk full?)"
                      : "cannot create the schema " + quoted(c.schema_file); }},
    {Export::data_conv, 10, any_detail, [](const MessageContext& c, int) {
        return quoted(c.text_file) + " ends within its " + std::to_string(c.header_lines) + " header line(s)"; }},
    {Export::data_conv, 8, any_detail, [](const MessageContext&, int d) {
        return "unknown delimiter type " + std::to_string(d); }},
    {Export::data_conv, 51, any_detail, [](const MessageContext& c, int d) {
        return with_reason("record " + std::to_string(d) + " of " + quoted(c.text_file) + " (line " +
                           std::to_string(static_cast<long>(d) + c.header_lines) + ") is incomplete", c); }},
    {Export::data_conv, KEST_ERR_LINE_TOO_LONG, any_detail, [](const MessageContext& c, int d) {
        return "line " + std::to_string(d) + " of " + quoted(c.text_file) + " is longer than " +
               std::to_string(KEST_MAX_LINE - 1) + " characters"; }},
    {Export::data_conv, KEST_ERR_FIELD_TOO_LONG, any_detail, [](const MessageContext& c, int d) {
        return with_reason("line " + std::to_string(d) + " of " + quoted(c.text_file) +
                           " has a field longer than " + std::to_string(KEST_MAX_FIELD) + " characters", c); }},

    // ---- xml_data_size (reads the schema alone) ----
    {Export::xml_data_size, 2, 0, [](const MessageContext& c, int) {
        return "cannot open the schema " + quoted(c.schema_file); }},
    {Export::xml_data_size, 2, 1, [](const MessageContext& c, int) {
        return quoted(c.schema_file) + " is not a schema of a data set: it ends before or right after a type declaration"; }},
    {Export::xml_data_size, 1, 1, [](const MessageContext& c, int) {
        return quoted(c.schema_file) + " has no line '<?Number of observations = N?>'"; }},
    {Export::xml_data_size, 1, 2, [](const MessageContext& c, int) {
        return "the number of observations in " + quoted(c.schema_file) + " is missing or out of range"; }},
    {Export::xml_data_size, 2, 3, [](const MessageContext& c, int) {
        return "a type declaration in " + quoted(c.schema_file) + " has no name or no 'content' attribute"; }},
    {Export::xml_data_size, KEST_ERR_LINE_TOO_LONG, any_detail, [](const MessageContext& c, int d) {
        return "line " + std::to_string(d) + " of " + quoted(c.schema_file) + " is longer than " +
               std::to_string(KEST_MAX_LINE - 1) + " characters"; }},
    {Export::xml_data_size, KEST_ERR_VALUE_TOO_LONG, any_detail, [](const MessageContext& c, int d) {
        return "line " + std::to_string(d) + " of " + quoted(c.schema_file) +
               ": the number of observations is longer than " + std::to_string(KEST_MAX_VALUE_TEXT) + " characters"; }},

    // ---- xml_read (reads the schema again, then the data file) ----
    {Export::xml_read, 1, 0, [](const MessageContext& c, int) {
        return "cannot open the data file " + quoted(c.data_file); }},
    {Export::xml_read, 2, 0, [](const MessageContext& c, int) {
        return "cannot open the schema " + quoted(c.schema_file); }},
    {Export::xml_read, 4, any_detail, [](const MessageContext& c, int) {
        return quoted(c.schema_file) + " states no records"; }},
    {Export::xml_read, 5, any_detail, [](const MessageContext& c, int) {
        return quoted(c.schema_file) + " declares no variables"; }},
    {Export::xml_read, 11, any_detail, [](const MessageContext&, int) -> std::string {
        return "status limit 0 is not allowed"; }},
    {Export::xml_read, 1, 1, [](const MessageContext& c, int) {
        return quoted(c.data_file) + " has no record line of the data set declared in " + quoted(c.schema_file) +
               ", or ends right after a record line before all records were read"; }},
    {Export::xml_read, 2, 1, [](const MessageContext& c, int) {
        return quoted(c.schema_file) + " declares no types"; }},
    {Export::xml_read, 2, 3, [](const MessageContext& c, int) {
        return "a variable declaration in " + quoted(c.schema_file) + " is missing, has no name or no 'content' attribute"; }},
    {Export::xml_read, 10, any_detail, [](const MessageContext& c, int d) {
        return "a variable in " + quoted(c.schema_file) + " lists more than " + std::to_string(d) + " category codes"; }},
    {Export::xml_read, 2, 4, [](const MessageContext& c, int) {
        return "the record type declaration in " + quoted(c.schema_file) + " is missing or has no name"; }},
    {Export::xml_read, 1, 2, [](const MessageContext& c, int) {
        return with_reason(record_label(c) + " lacks a variable's element, or an element's end tag does not follow its value", c); }},
    {Export::xml_read, KEST_ERR_LINE_TOO_LONG, any_detail, [](const MessageContext& c, int d) {
        return long_line(c, d, " is longer than " + std::to_string(KEST_MAX_LINE - 1) + " characters"); }},
    {Export::xml_read, KEST_ERR_VALUE_TOO_LONG, any_detail, [](const MessageContext& c, int d) {
        return long_line(c, d, " holds a value text longer than " + std::to_string(KEST_MAX_VALUE_TEXT) + " characters"); }},
};
// clang-format on

}  // namespace

std::string describe_failure(Export where, int code, int detail, const MessageContext& context)
{
    if (code == KEST_ERR_NO_MEMORY) return "out of memory";
    for (const Entry& entry : table) {
        if (entry.where == where && entry.code == code && (entry.detail == any_detail || entry.detail == detail))
            return entry.text(context, detail);
    }
    return "unexpected failure (code " + std::to_string(code) + ", detail " + std::to_string(detail) + ")";
}

}  // namespace kest_cli
