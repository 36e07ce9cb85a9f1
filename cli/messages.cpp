#include "messages.h"

#include "kest.h"
#include "lock.h"

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

// A variable by its name; for em the detail is a column of the matrix it
// was given, for bacon one of the variables taking part.
std::string variable_name(const MessageContext& c, int j)
{
    if (j >= 0 && static_cast<std::size_t>(j) < c.variables.size())
        return "'" + c.variables[static_cast<std::size_t>(j)] + "'";
    return "variable " + std::to_string(j + 1);
}

// bacon reports a failure of the em it calls as 1000 * em's code + em's
// detail; em's details stay well within 500 of 0 for the variable counts a
// data set can have.
std::string em_within_bacon(const MessageContext& c, int detail);

std::string locked(const MessageContext& c, int detail) { return describe_locked(c.data_file, c.schema_file, detail); }

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
    {Export::data_conv, KEST_ERR_DATA_SET_LOCKED, any_detail, locked},
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
    {Export::data_conv, KEST_ERR_LINE_TOO_LONG, 0, [](const MessageContext& c, int) {
        return "a line of the data file " + quoted(c.data_file) + " or the schema " + quoted(c.schema_file) +
               " could be longer than " + std::to_string(KEST_MAX_LINE - 1) +
               " characters (too many variables or codes, or too long a name or path)"; }},
    {Export::data_conv, KEST_ERR_LINE_TOO_LONG, any_detail, [](const MessageContext& c, int d) {
        return "line " + std::to_string(d) + " of " + quoted(c.text_file) + " is longer than " +
               std::to_string(KEST_MAX_LINE - 1) + " characters"; }},
    {Export::data_conv, KEST_ERR_FIELD_TOO_LONG, any_detail, [](const MessageContext& c, int d) {
        return with_reason("line " + std::to_string(d) + " of " + quoted(c.text_file) +
                           " has a field longer than " + std::to_string(KEST_MAX_FIELD) + " characters", c); }},

    // ---- xml_data_size (reads the schema alone) ----
    {Export::xml_data_size, KEST_ERR_DATA_SET_LOCKED, any_detail, locked},
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
    {Export::xml_read, KEST_ERR_DATA_SET_LOCKED, any_detail, locked},
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

    // ---- em (codes 20,1, 21 and 40 leave results and are not failures) ----
    {Export::em, 1, any_detail, [](const MessageContext&, int d) {
        return "EM needs at least 2 records; the data set has " + std::to_string(d); }},
    {Export::em, 2, any_detail, [](const MessageContext&, int) -> std::string {
        return "there are no variables to complete"; }},
    {Export::em, 6, any_detail, [](const MessageContext&, int d) {
        return "the maximum number of passes must be 1 or more, not " + std::to_string(d); }},
    {Export::em, 5, any_detail, [](const MessageContext&, int) -> std::string {
        return "the tolerance must be a number of 1e-16 or more"; }},
    {Export::em, 9, any_detail, [](const MessageContext&, int) -> std::string {
        return "the record weights are negative, not numbers or add up to 0"; }},
    {Export::em, 22, any_detail, [](const MessageContext& c, int d) {
        return variable_name(c, d) + " has no observed value, so its mean cannot be estimated"; }},
    {Export::em, 20, 1, [](const MessageContext&, int) -> std::string {
        return "there is no missing cell to fill"; }},
    {Export::em, 20, 2, [](const MessageContext&, int) -> std::string {
        return "the covariance of the variables a record has is not positive definite: one of them is constant, or "
               "a linear combination of the others"; }},

    // ---- bacon (the variables of the context are those taking part) ----
    {Export::bacon, 2, any_detail, [](const MessageContext&, int) -> std::string {
        return "there are no variables to examine"; }},
    {Export::bacon, 1, any_detail, [](const MessageContext& c, int d) {
        return "outlier detection needs more records than variables; the data set has " + std::to_string(d) +
               " records for " + std::to_string(c.variables.size()) + " variables"; }},
    {Export::bacon, 4, any_detail, [](const MessageContext&, int) -> std::string {
        return "the size factor must be 1 or more"; }},
    {Export::bacon, 5, any_detail, [](const MessageContext&, int) -> std::string {
        return "alpha must lie strictly between 0 and 1"; }},
    {Export::bacon, 9, any_detail, [](const MessageContext&, int) -> std::string {
        return "a record weight is negative or not a number"; }},
    {Export::bacon, 3, any_detail, [](const MessageContext&, int) -> std::string {
        return "no variable takes part"; }},
    {Export::bacon, 25, any_detail, em_within_bacon},
    {Export::bacon, 20, 5, [](const MessageContext&, int) -> std::string {
        return "the basic subset became empty"; }},
    {Export::bacon, 20, any_detail, [](const MessageContext&, int d) {
        return "the centre and scatter of the basic subset could not be formed (code " + std::to_string(d) + ")"; }},
    {Export::bacon, 30, any_detail, [](const MessageContext& c, int d) {
        return "the covariance of the basic subset is not positive definite at " + variable_name(c, d - 1) +
               ": it is constant, or a linear combination of the variables before it, on the records of the subset"; }},
    {Export::bacon, 11, any_detail, [](const MessageContext& c, int) {
        return with_reason("the starting subset is not smaller than the number of usable records", c); }},
    {Export::bacon, 12, any_detail, [](const MessageContext& c, int d) {
        return "too few usable records (" + std::to_string(d) + ") for the cutoff with " +
               std::to_string(c.variables.size()) + " variables"; }},
    {Export::bacon, 19, any_detail, [](const MessageContext&, int d) {
        return "the chi-square cutoff could not be computed (code " + std::to_string(d) + ")"; }},
    {Export::bacon, 40, any_detail, [](const MessageContext&, int d) {
        return "the basic subset still changed size after " + std::to_string(d) + " passes"; }},
};
// clang-format on

std::string em_within_bacon(const MessageContext& c, int detail)
{
    const int code = detail >= 0 ? (detail + 500) / 1000 : -((-detail + 500) / 1000);
    return "completing the missing cells with EM failed: " + describe_failure(Export::em, code, detail - 1000 * code, c);
}

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
