// The converter: a delimited text file of survey records becomes a data set
// of three files (stylesheet, schema, data file).  The stylesheet and schema
// come from the arguments alone; the records are then copied field by field.
#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "data/data_set_lock.h"
#include "data/fault.h"
#include "data/line_reader.h"
#include "data/number_text.h"
#include "internal/guard.h"
#include "kest.h"

namespace kest {

namespace {

struct Arguments {
    char* dataset;
    const char* text_path;
    const char* data_path;
    const char* xsl_path;
    const char* schema_path;
    int num_obs;
    int num_vars;
    int delim_type;
    double valid_floor;
    int header_lines;
    char** names;
    const int* cat_flags;
    const int* num_codes;
    const int* code_table;
    int row_length;
};

void replace_chars(char* text, std::string_view from, char to)
{
    for (; *text != '\0'; ++text)
        if (from.find(*text) != std::string_view::npos) *text = to;
}

bool is_categorical(const Arguments& a, int j) { return a.cat_flags != nullptr && a.cat_flags[j] > 1; }

Outcome check_arguments(const Arguments& a)
{
    if (a.num_vars < 1) return Fault{7, 1};
    if (a.num_obs < 1) return Fault{6, 1};
    if (a.dataset == nullptr) return Fault{KEST_ERR_NAME_TOO_LONG, -1};
    for (int j = 0; j < a.num_vars; ++j) {
        if (a.names == nullptr || a.names[j] == nullptr || std::strlen(a.names[j]) > KEST_MAX_NAME)
            return Fault{KEST_ERR_NAME_TOO_LONG, j};
    }
    for (int j = 0; j < a.num_vars; ++j) {
        if (!is_categorical(a, j)) continue;
        const int listed = a.num_codes != nullptr ? a.num_codes[j] : -1;
        if (listed < 0 || listed > a.row_length || (listed > 0 && a.code_table == nullptr))
            return Fault{KEST_ERR_TOO_MANY_CODES, j};
    }
    return std::nullopt;
}

// One branch of a variable's status choice: cells of status S shown in
// colour C; a Missing cell shows its status text instead of its value.
void write_status_branch(std::FILE* out, long k, const char* name, const char* status, const char* colour)
{
    std::fprintf(out, "         <xsl:when test=\"$v%ld='%s'\">\n", k, status);
    std::fprintf(out, "              <td bgcolor=\"%s\" align=\"center\">\n", colour);
    if (std::strcmp(status, "Missing") == 0)
        std::fprintf(out, "\t             <xsl:value-of select=\"gg:%s/@Status\" />\n", name);
    else
        std::fprintf(out, "\t             <xsl:value-of select=\"gg:%s\" />\n", name);
    std::fputs("              </td>\n", out);
    std::fputs("         </xsl:when>\n", out);
}

void write_variable_block(std::FILE* out, long k, const char* name)
{
    std::fprintf(out, "     <xsl:variable name=\"v%ld\" select=\"gg:%s/@Status\" />\n", k, name);
    std::fputs("     <xsl:choose>\n", out);
    write_status_branch(out, k, name, "Missing", "blue");
    write_status_branch(out, k, name, "Error", "red");
    write_status_branch(out, k, name, "Suspect", "yellow");
    write_status_branch(out, k, name, "Imputed", "lightgreen");
    write_status_branch(out, k, name, "Validn", "magenta");
    std::fputs("         <xsl:otherwise>\n", out);
    std::fputs("              <td bgcolor=\"Lightblue\" align=\"center\">\n", out);
    std::fprintf(out, "\t             <xsl:value-of select=\"gg:%s\" />\n", name);
    std::fputs("               </td>\n", out);
    std::fputs("         </xsl:otherwise>\n", out);
    std::fputs("      </xsl:choose>\n", out);
}

// The stylesheet shows the dataset name as the caller gave it in its title
// and table head; the element names that follow use the name with blanks
// and apostrophes replaced, which this function makes the dataset name.
// How writing one of the output files went: its failure detail.
enum class Written { completely = 0, not_created = 1, not_completely = 2 };

Written write_stylesheet(const Arguments& a)
{
    FilePtr file = open_file(a.xsl_path, "wb");
    if (!file) return Written::not_created;
    std::FILE* out = file.get();
    std::fprintf(out,
                 "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" "
                 "xmlns:gg=\"x-schema:%s\">\n",
                 a.schema_path != nullptr ? a.schema_path : "");
    std::fputs("   <xsl:template match=\"/\">\n", out);
    std::fputs("       <HTML>\n", out);
    std::fputs("         <head>\n", out);
    std::fprintf(out, "             <title>%s in xml</title>\n", a.dataset);
    std::fputs("         </head>\n", out);
    std::fputs("         <body>\n", out);
    std::fputs("              <table cellpadding=\"20\" width=\"200px\">\n", out);
    std::fprintf(out, "                 <th colspan=\"3\" bgcolor=\"pink\"\tstyle=\"height:73px\" align=\"center\">%s</th>\n",
                 a.dataset);
    replace_chars(a.dataset, " '", '_');
    std::fputs("                 <tr></tr>\n", out);
    std::fputs("                 <tr>\n", out);
    for (int j = 0; j < a.num_vars; ++j)
        std::fprintf(out, "                      <th bgcolor=\"cyan\">%s</th>\n", a.names[j]);
    std::fputs("                 </tr>\n", out);
    std::fputs("                 <xsl:apply-templates />\n", out);
    std::fputs("              </table>\n", out);
    std::fputs("         </body>\n", out);
    std::fputs("          <epilog>\n", out);
    std::fputs("         <footnote>\n", out);
    std::fprintf(out, "         <a style=\"text-decoration: none\" href=\"%s\">Full Data</a>\n", a.data_path);
    std::fputs("         </footnote>\n", out);
    std::fputs("         </epilog>\n", out);
    std::fputs("    </HTML>\n", out);
    std::fputs("   </xsl:template>\n", out);
    std::fprintf(out, "   <xsl:template match=\"gg:%s_data\">\n", a.dataset);
    std::fprintf(out, "      <xsl:apply-templates select=\"gg:%s_rec\" />\n", a.dataset);
    std::fputs("   </xsl:template>\n", out);
    std::fprintf(out, "   <xsl:template match=\"gg:%s_rec\">\n", a.dataset);
    std::fputs("   <tr>\n", out);
    for (int j = 0; j < a.num_vars; ++j) write_variable_block(out, j + 1, a.names[j]);
    std::fputs("  </tr>\n", out);
    std::fputs("\t </xsl:template>\n", out);
    std::fputs("</xsl:stylesheet>\n", out);
    return close_written(file) ? Written::completely : Written::not_completely;
}

// The schema lines that grow with a name or a code list, without their line
// feeds.
std::string declaration_line(const Arguments& a, int j)
{
    std::string line = std::string("<ElementType name=\"") + a.names[j] + "\" content=\"textOnly\" ";
    if (!is_categorical(a, j)) return line + "dt:type=\"r8\" >";
    line += "dt:type=\"enumeration\" dt:values=\"";
    const long long row = static_cast<long long>(j) * a.row_length;
    for (int k = 0; k < a.num_codes[j]; ++k) line += std::to_string(static_cast<long>(a.code_table[row + k])) + " ";
    return line + "\">";
}

std::string data_type_line(const Arguments& a)
{
    return std::string("<ElementType name=\"") + a.dataset + "_data\" content=\"eltOnly\">";
}

Written write_schema(const Arguments& a)
{
    FilePtr file = open_file(a.schema_path, "wb");
    if (!file) return Written::not_created;
    std::FILE* out = file.get();
    std::fputs("<?xml version=\"1.0\"?>\n", out);
    std::fputs("<Schema xmlns=\"urn:schemas-microsoft-com:xml-data\" xmlns:dt=\"urn:schemas-microsoft-com:datatypes\">\n", out);
    std::fprintf(out, "<?Number of observations = %ld?>\n", static_cast<long>(a.num_obs));
    std::fputs("<AttributeType name=\"Status\" dt:type=\"enumeration\" dt:values=\"Valid Missing Error Suspect Imputed\" />\n", out);
    std::fputs("<AttributeType name=\"Orig_val\" dt:type=\"string\" />\n", out);
    for (int j = 0; j < a.num_vars; ++j) {
        std::fprintf(out, "%s\n", declaration_line(a, j).c_str());
        std::fputs("<attribute type=\"Status\" />\n", out);
        std::fputs("<attribute type=\"Orig_val\" />\n", out);
        std::fputs("</ElementType>\n", out);
    }
    std::fprintf(out, "<ElementType name=\"%s_rec\" content=\"eltOnly\">\n", a.dataset);
    for (int j = 0; j < a.num_vars; ++j) std::fprintf(out, " <element type=\"%s\"/>\n", a.names[j]);
    std::fputs("</ElementType>\n", out);
    std::fprintf(out, "%s\n", data_type_line(a).c_str());
    std::fprintf(out, "   <element type=\"%s_rec\"/>\n", a.dataset);
    std::fputs("</ElementType>\n", out);
    std::fputs("</Schema>\n", out);
    return close_written(file) ? Written::completely : Written::not_completely;
}

int line_detail(const LineReader& reader) { return static_cast<int>(std::min<long>(reader.line_number(), INT_MAX)); }

// The texts of one variable's cells, built once per call.
struct FieldTags {
    std::string valid;    // "<name Status='Valid'>"
    std::string validn;   // "<name Status='Validn'>"
    std::string close;    // "</name>"
    std::string missing;  // "<name Status='Missing'> </name>"
};

std::vector<FieldTags> make_field_tags(const Arguments& a)
{
    std::vector<FieldTags> tags;
    for (int j = 0; j < a.num_vars; ++j) {
        const std::string name = a.names[j];
        tags.push_back(FieldTags{"<" + name + " Status='Valid'>", "<" + name + " Status='Validn'>",
                                 "</" + name + ">", "<" + name + " Status='Missing'> </" + name + ">"});
    }
    return tags;
}

// The data file's header lines that name the other files, without their
// line feeds.
std::string stylesheet_instruction(const Arguments& a)
{
    return std::string("<?xml-stylesheet type=\"text/xsl\" href=\"") + (a.xsl_path ? a.xsl_path : "") + "\"?>";
}

std::string root_start_tag(const Arguments& a)
{
    return std::string("<kest_data xmlns=\"x-schema:") + (a.schema_path ? a.schema_path : "") + "\">";
}

std::string record_start_tag(const Arguments& a) { return std::string("<") + a.dataset + "_rec>"; }
std::string record_end_tag(const Arguments& a) { return std::string("</") + a.dataset + "_rec>\n"; }

// The longest record line, with its line feed, that the converter could
// write: every field as long as a field may be and marked Validn (or
// Missing, when that element is longer).
std::size_t longest_record(const Arguments& a, const std::vector<FieldTags>& tags)
{
    std::size_t record = record_start_tag(a).size() + record_end_tag(a).size();
    for (const FieldTags& t : tags) {
        const std::size_t number = std::max(t.valid.size(), t.validn.size()) + KEST_MAX_FIELD + t.close.size();
        record += std::max(number, t.missing.size());
    }
    return record;
}

// The longest line the converter could write into the data file or the
// schema: a record, a declaration with its code list, or a line with a
// path or the dataset name.  The stylesheet is not counted: no reader of
// the format reads it.
std::size_t longest_line(const Arguments& a)
{
    std::size_t longest = std::max({stylesheet_instruction(a).size(), root_start_tag(a).size(), data_type_line(a).size()});
    longest = std::max(longest, longest_record(a, make_field_tags(a)) - 1);  // without the line feed
    for (int j = 0; j < a.num_vars; ++j) longest = std::max(longest, declaration_line(a, j).size());
    return longest;
}

// Builds a record line in memory that has room for the longest record
// (longest_record), so the cells go in without a check of room each.
class CellWriter {
public:
    explicit CellWriter(char* at) noexcept : at_(at) {}
    // Tags and numbers are short: copied as two overlapping fixed-size
    // blocks they need no call to the library's copy.
    void put(std::string_view text) noexcept
    {
        const std::size_t n = text.size();
        const char* from = text.data();
        if (n >= 16 && n <= 32) {
            std::memcpy(at_, from, 16);
            std::memcpy(at_ + n - 16, from + n - 16, 16);
        } else if (n >= 8 && n < 16) {
            std::memcpy(at_, from, 8);
            std::memcpy(at_ + n - 8, from + n - 8, 8);
        } else if (n >= 4 && n < 8) {
            std::memcpy(at_, from, 4);
            std::memcpy(at_ + n - 4, from + n - 4, 4);
        } else if (n > 0 && n < 4) {
            at_[0] = from[0];
            at_[n / 2] = from[n / 2];
            at_[n - 1] = from[n - 1];
        } else {
            std::memcpy(at_, from, n);
        }
        at_ += n;
    }
    char* end() const noexcept { return at_; }

private:
    char* at_;
};

// The record lines are gathered in chunks of a megabyte or more and handed
// to the stream whole.  A chunk larger than the stream's own buffer goes
// straight to the file, instead of being copied into that buffer first.
// Whatever was gathered reaches the stream on every way out, a fault
// included, as each line did when it was written at once.
class RecordChunks {
public:
    RecordChunks(std::FILE* out, std::size_t longest_record)
        : out_(out), room_(longest_record), buffer_(std::max(std::size_t{1} << 20, 2 * longest_record))
    {
    }
    RecordChunks(const RecordChunks&) = delete;
    RecordChunks& operator=(const RecordChunks&) = delete;
    ~RecordChunks() { flush(); }
    // Where the next record line goes; it may take up to longest_record.
    char* next_line()
    {
        if (buffer_.size() - used_ < room_) flush();
        return buffer_.data() + used_;
    }
    void add_line(const char* end) noexcept { used_ = static_cast<std::size_t>(end - buffer_.data()); }
    void flush() noexcept
    {
        if (used_ > 0) std::fwrite(buffer_.data(), 1, used_, out_);
        used_ = 0;
    }

private:
    std::FILE* out_;
    std::size_t room_;
    std::vector<char> buffer_;
    std::size_t used_ = 0;
};

bool is_digit(char c) { return static_cast<unsigned>(c - '0') < 10; }

// A number text that does not start with a minus sign converts to zero or
// more, so against a floor of zero or less it needs no conversion.
bool is_below_floor(std::string_view number, double floor)
{
    if (floor <= 0.0 && number[0] != '-') return false;
    return parse_decimal(number) < floor;
}

bool starts_number(char c) { return is_digit(c) || c == '-' || c == '.'; }

// Where a field's number text lies: from its first minus sign, point or
// digit to the first blank or line feed after that (or the field's end).
// A field without any digit is Missing.
struct FieldShape {
    std::size_t start;
    std::size_t end;
    bool has_digit;
};

FieldShape shape_of(std::string_view field)
{
    std::size_t start = 0;
    while (start < field.size() && !starts_number(field[start])) ++start;
    std::size_t end = start;
    bool digit = false;
    while (end < field.size() && field[end] != ' ' && field[end] != '\n') digit |= is_digit(field[end++]);
    // A digit may also stand after the number text, or the field may hold
    // none at all.
    for (std::size_t k = end; !digit && k < field.size(); ++k) digit = is_digit(field[k]);
    return FieldShape{start, end, digit};
}

#if defined(__SSE2__)
// A field holds at most KEST_MAX_FIELD characters, so it and its delimiter
// nearly always lie within the next sixteen bytes: these are classified at
// once, a bit per byte.  The field's length as next_field gives it.
std::size_t field_in_block(const char* p, char delimiter, FieldShape& shape) noexcept
{
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto bits = [](__m128i m) { return static_cast<unsigned>(_mm_movemask_epi8(m)); };
    const auto equal = [&](char c) { return _mm_cmpeq_epi8(block, _mm_set1_epi8(c)); };
    const unsigned delimiters = bits(equal(delimiter));
    if (delimiters == 0) return std::string_view::npos;
    const auto length = static_cast<unsigned>(__builtin_ctz(delimiters));
    const unsigned field = (1u << length) - 1;
    // Signed comparisons: bytes of 0x80 and above are negative, never digits.
    const unsigned digits =
        bits(_mm_and_si128(_mm_cmpgt_epi8(block, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(block, _mm_set1_epi8('9' + 1)))) & field;
    if (digits == 0) {
        shape = FieldShape{0, 0, false};
        return length;
    }
    const unsigned starts = (digits | bits(_mm_or_si128(equal('-'), equal('.')))) & field;
    const auto start = static_cast<unsigned>(__builtin_ctz(starts));  // a digit is one
    const unsigned blanks = bits(_mm_or_si128(equal(' '), equal('\n'))) & field & ~((1u << start) - 1);
    const unsigned end = blanks != 0 ? static_cast<unsigned>(__builtin_ctz(blanks)) : length;
    shape = FieldShape{start, end, true};
    return length;
}
#endif

// The next field of the rest of a line: its length up to the delimiter
// (npos when no delimiter follows, and the field is the rest), and its
// shape.  Given back in pieces: a structure built field by field and then
// copied whole stalls the copy on every field.
std::size_t next_field(std::string_view rest, char delimiter, FieldShape& shape)
{
#if defined(__SSE2__)
    if (rest.size() >= 16) {
        const std::size_t length = field_in_block(rest.data(), delimiter, shape);
        if (length != std::string_view::npos) return length;
    }
#endif
    const std::size_t length = rest.find(delimiter);
    shape = shape_of(rest.substr(0, length));
    return length;
}

// Writes the cell of one field: Missing when it has no digit, otherwise the
// number text unchanged, with status Validn when its value is below the
// floor.
void append_field_cell(CellWriter& out, std::string_view field, const FieldShape& shape, const FieldTags& tags,
                       double floor)
{
    if (!shape.has_digit) {
        out.put(tags.missing);
        return;
    }
    const std::string_view number = field.substr(shape.start, shape.end - shape.start);
    out.put(is_below_floor(number, floor) ? tags.validn : tags.valid);
    out.put(number);
    out.put(tags.close);
}

// Every double quote that opens a quoted text must be closed on the same line.
bool quotes_closed(std::string_view line)
{
    return std::count(line.begin(), line.end(), '"') % 2 == 0;
}

// Splits one record line into the cells of the data file.  The text of the
// line, as far as it was converted, is in out even on failure.
Outcome convert_record(const Arguments& a, const std::vector<FieldTags>& tags, std::string_view line,
                       bool had_line_feed, long line_number, int record, CellWriter& out)
{
    const char delimiter = a.delim_type == 0 ? ' ' : a.delim_type == 1 ? '\t' : ',';
    const int too_long_detail = static_cast<int>(std::min<long>(line_number, INT_MAX));
    // The last field runs to the line end and counts its line feed.
    const std::size_t feed = had_line_feed ? 1 : 0;
    std::string_view rest = line;
    int f = 0;
    while (f < a.num_vars) {
        FieldShape shape;
        const std::size_t at = next_field(rest, delimiter, shape);
        if (at == 0) {
            if (a.delim_type != 0) out.put(tags[f++].missing);
            rest.remove_prefix(1);
        } else if (at != std::string_view::npos) {
            if (at > KEST_MAX_FIELD) return Fault{KEST_ERR_FIELD_TOO_LONG, too_long_detail};
            append_field_cell(out, rest.substr(0, at), shape, tags[f], a.valid_floor);
            ++f;
            rest.remove_prefix(at + 1);
        } else {
            if (rest.size() + feed > KEST_MAX_FIELD) return Fault{KEST_ERR_FIELD_TOO_LONG, too_long_detail};
            append_field_cell(out, rest, shape, tags[f], a.valid_floor);
            if (f != a.num_vars - 1) return Fault{51, record + 1};
            break;
        }
    }
    return std::nullopt;
}

Outcome convert(Arguments a)
{
    if (auto fault = check_arguments(a)) return fault;
    // Every line written must read back, so a data set whose lines could grow
    // beyond what the readers take is refused before any file is touched.
    if (longest_line(a) > LineReader::max_length) return Fault{KEST_ERR_LINE_TOO_LONG, 0};
    DataSetLock lock;
    if (auto fault = lock.acquire(a.schema_path, LockMode::exclusive, default_lock_wait_ms, SchemaFile::to_be_created))
        return fault;
    LineReader text(a.text_path);
    if (!text.is_open()) return Fault{2, 1};
    FilePtr data = open_file(a.data_path, "wb");
    if (!data) return Fault{3, 1};
    for (int j = 0; j < a.num_vars; ++j) replace_chars(a.names[j], " ", '_');
    if (const Written w = write_stylesheet(a); w != Written::completely) return Fault{4, static_cast<int>(w)};
    if (const Written w = write_schema(a); w != Written::completely) return Fault{5, static_cast<int>(w)};
    for (int i = 0; i < a.header_lines; ++i) {
        const auto result = text.next();
        if (result == LineReader::Result::too_long) return Fault{KEST_ERR_LINE_TOO_LONG, line_detail(text)};
        if (result != LineReader::Result::line) return Fault{10, 2};
    }
    if (a.delim_type < 0 || a.delim_type > 2) return Fault{8, a.delim_type};

    std::FILE* out = data.get();
    std::fputs("<?xml version='1.0'?>\n", out);
    std::fprintf(out, "%s\n", stylesheet_instruction(a).c_str());
    std::fprintf(out, "%s\n", root_start_tag(a).c_str());

    const std::string record_open = record_start_tag(a);
    const std::string record_close = record_end_tag(a);
    const std::vector<FieldTags> tags = make_field_tags(a);
    RecordChunks records(out, longest_record(a, tags));
    for (int n = 0; n < a.num_obs; ++n) {
        const auto result = text.next();
        if (result == LineReader::Result::too_long) return Fault{KEST_ERR_LINE_TOO_LONG, line_detail(text)};
        if (result != LineReader::Result::line) return Fault{51, n + 1};
        std::string_view line = text.line();
        bool feed = text.had_line_feed();
        if (feed && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!quotes_closed(line)) return Fault{51, n + 1};
        CellWriter line_out(records.next_line());
        line_out.put(record_open);
        const Outcome fault = convert_record(a, tags, line, feed, text.line_number(), n, line_out);
        if (fault) {
            if (fault->code == 51) records.add_line(line_out.end());
            return fault;
        }
        line_out.put(record_close);
        records.add_line(line_out.end());
    }
    records.flush();
    std::fputs("</kest_data>\n", out);
    if (!close_written(data)) return Fault{3, 2};
    return std::nullopt;
}

}  // namespace

}  // namespace kest

extern "C" void data_conv(char* dataset_name, const char* text_path, const char* data_path,
                          const char* xsl_path, const char* schema_path, int num_obs, int num_vars,
                          int delim_type, double valid_floor, int header_lines, char** var_names,
                          const int* cat_flags, const int* num_codes, const int* code_table,
                          int row_length, int* error)
{
    if (error == nullptr) return;
    kest::run_guarded(error, [&] {
        kest::set_error(error, 0, 0);
        const kest::Arguments arguments{dataset_name, text_path,   data_path,  xsl_path,  schema_path,
                                        num_obs,      num_vars,    delim_type, valid_floor, header_lines,
                                        var_names,    cat_flags,   num_codes,  code_table, row_length};
        if (auto fault = kest::convert(arguments)) kest::set_error(error, fault->code, fault->detail);
    });
}
