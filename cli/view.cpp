// kest view: an HTML page of a data set, for a person to look at in a
// browser.  The data set's own stylesheet, which the converter wrote, turns
// the data file into a table with one row per record and every cell
// coloured by its status; xsltproc applies it.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "codebook.h"
#include "command.h"
#include "data_set.h"
#include "lock.h"
#include "markup.h"
#include "options.h"

extern char** environ;

namespace fs = std::filesystem;

namespace kest_cli {

namespace {

constexpr std::string_view view_usage =
    "usage: kest view DATAFILE [--stylesheet FILE] [--out FILE]\n"
    "\n"
    "Writes an HTML page of a data set: its data file shown through its own\n"
    "stylesheet, a table with one row per record in which every cell is\n"
    "coloured by its status - Valid light blue, Imputed light green, Suspect\n"
    "yellow, Error red, Validn magenta, and Missing blue with the word\n"
    "Missing.  A legend of the colours stands above the table, and a first\n"
    "column gives the record numbers, counted from 1.  Categorical variables\n"
    "with labels in the codebook show them, and renamed variables their\n"
    "original names.  Open the page in a browser.  Needs xsltproc\n"
    "(scripts/setup installs it).\n"
    "\n"
    "options:\n"
    "  --stylesheet FILE  stylesheet to apply (default: the one the data file\n"
    "                     names, looked up beside the data file first)\n"
    "  --out FILE         the page, replaced if present (default: the data\n"
    "                     file's name with .html for its extension)\n";

constexpr KnownOption view_options[] = {{"--stylesheet"}, {"--out"}};

// A path that begins with a dash would be read by xsltproc as an option.
std::string as_operand(const std::string& path)
{
    return !path.empty() && path[0] == '-' ? "./" + path : path;
}

// The page is written beside its final place and renamed over it once
// xsltproc has succeeded, so a failure leaves no half page behind.
class PartialFile {
public:
    explicit PartialFile(const std::string& final_path)
    {
        path_ = final_path + ".partial-XXXXXX";
        fd_ = mkostemp(path_.data(), O_CLOEXEC);
        if (fd_ < 0)
            throw DataSetFailure{"cannot create the page '" + final_path + "' (" + std::strerror(errno) + ")"};
    }
    ~PartialFile()
    {
        if (fd_ >= 0) close(fd_);
        if (!kept_) {
            std::error_code ec;
            fs::remove(path_, ec);
        }
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

    // Gives the page the permissions of a newly created file and puts it in
    // its place.
    void keep_as(const std::string& final_path)
    {
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(fd_, 0666 & ~mask);
        const bool closed = close(fd_) == 0;
        fd_ = -1;
        if (!closed) throw DataSetFailure{"the page '" + final_path + "' could not be written completely"};
        std::error_code ec;
        fs::rename(path_, final_path, ec);
        if (ec) throw DataSetFailure{"cannot put the page in place as '" + final_path + "': " + ec.message()};
        kept_ = true;
    }

private:
    std::string path_;
    int fd_ = -1;
    bool kept_ = false;
};

// Runs xsltproc with its standard output into out_fd; returns its wait
// status.  It may neither fetch nor write anything besides the page: a
// stylesheet is a program, and this one comes with the data.
int run_xsltproc(const std::string& stylesheet, const std::string& data_file, int out_fd)
{
    std::vector<std::string> args = {"xsltproc",  "--nonet",  "--novalid", "--nowrite", "--nomkdir",
                                     as_operand(stylesheet), as_operand(data_file)};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "xsltproc", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned == ENOENT)
        throw DataSetFailure{"xsltproc, which applies the stylesheet, is not installed (scripts/setup installs it)"};
    if (spawned != 0) throw DataSetFailure{std::string("cannot run xsltproc: ") + std::strerror(spawned)};
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw DataSetFailure{std::string("lost track of xsltproc: ") + std::strerror(errno)};
    }
    return status;
}

// Rows of the page that hold cells, which the stylesheet writes one per
// record; the head row holds th elements only.
long record_rows(const std::string& page_path)
{
    std::ifstream in(page_path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    const std::string page = text.str();
    long rows = 0;
    for (std::size_t at = page.find("<tr"); at != std::string::npos; at = page.find("<tr", at + 3)) {
        const std::size_t end = page.find("</tr>", at);
        if (page.find("<td", at) < end) ++rows;
    }
    return rows;
}


// The element text between the first '>' at or after `at` and the next '<'.
std::pair<std::size_t, std::size_t> element_text(const std::string& page, std::size_t at)
{
    const std::size_t start = page.find('>', at) + 1;
    return {start, page.find('<', start)};
}

// The stylesheet shows codes and the names the data set holds; with a
// codebook the page shows the labels and the original names instead.  The
// head cells (th) give the variables in column order, and every record row
// holds one cell (td) per variable in the same order.
std::string with_labels(std::string page, const Codebook& book)
{
    std::vector<std::string> names;
    std::string out;
    std::size_t copied = 0;
    auto replace_text = [&](std::size_t start, std::size_t end, const std::string& text) {
        out.append(page, copied, start - copied);
        out += text;
        copied = end;
    };
    std::size_t column = 0;
    for (std::size_t at = page.find("<t"); at != std::string::npos && at + 3 < page.size(); at = page.find("<t", at + 2)) {
        const std::string tag = page.substr(at, 4);
        if (tag == "<tr>" || tag == "<tr ") {
            column = 0;
            continue;
        }
        const bool head = tag == "<th " && page.compare(at, 18, "<th bgcolor=\"cyan\"") == 0;
        const bool cell = tag == "<td " || tag == "<td>";
        if (!head && !cell) continue;
        const auto [start, end] = element_text(page, at);
        if (start == 0 || end == std::string::npos) break;
        const std::string text = page.substr(start, end - start);
        if (head) {
            names.push_back(text);
            replace_text(start, end, markup_escaped(book.original_name(text)));
        } else if (column < names.size()) {
            const std::string& name = names[column];
            char* stop = nullptr;
            const long code = std::strtol(text.c_str(), &stop, 10);
            const std::string* label = !text.empty() && *stop == '\0' && code >= INT_MIN && code <= INT_MAX
                                           ? book.label_of(name, static_cast<int>(code))
                                           : nullptr;
            if (label != nullptr) replace_text(start, end, markup_escaped(*label));
        }
        if (cell) ++column;
        at = end;
    }
    out.append(page, copied, std::string::npos);
    return out;
}

// The stylesheet's colours of the statuses, for the legend.
constexpr std::pair<const char*, const char*> status_colours[] = {
    {"Valid", "Lightblue"}, {"Validn", "magenta"}, {"Imputed", "lightgreen"},
    {"Suspect", "yellow"},  {"Error", "red"},      {"Missing", "blue"},
};

std::string legend()
{
    std::string html = "<p class=\"legend\">Cells by status:";
    for (const auto& [status, colour] : status_colours)
        html += " <span style=\"background:" + std::string(colour) + ";color:" +
                (std::string(status) == "Missing" ? "white" : "black") + ";padding:2px 8px;margin:0 2px\">" + status +
                "</span>";
    return html + ". Records are numbered from 1, as in the data file.</p>\n";
}

// The stylesheet shows neither record numbers nor what its colours mean:
// a legend goes before the table, a column of record numbers before the
// cells (th in the head row, a td without a colour in each record row), and
// the title cell spans it too.
std::string with_record_numbers(const std::string& page)
{
    std::string out;
    std::size_t copied = 0;
    const std::size_t body = page.find("<body>");
    if (body != std::string::npos) {
        out.append(page, 0, body + 6);
        out += legend();
        copied = body + 6;
    }
    const std::size_t title = page.find("<th colspan=\"");
    if (title != std::string::npos && title >= copied) {
        const std::size_t number = title + 13;
        const std::size_t end = page.find('"', number);
        const long span = std::strtol(page.c_str() + number, nullptr, 10);
        if (end != std::string::npos && span > 0) {
            out.append(page, copied, number - copied);
            out += std::to_string(span + 1);
            copied = end;
        }
    }
    long record = 0;
    for (std::size_t at = page.find("<tr>", copied); at != std::string::npos; at = page.find("<tr>", at + 4)) {
        const std::size_t end = page.find("</tr>", at);
        if (end == std::string::npos) break;
        const std::size_t cell = page.find("<td", at), head = page.find("<th bgcolor=\"cyan\"", at);
        std::string inserted;
        if (cell < end)
            inserted = "<td class=\"record\" align=\"right\">" + std::to_string(++record) + "</td>";
        else if (head < end)
            inserted = "<th class=\"record\">record</th>";
        else
            continue;
        out.append(page, copied, at + 4 - copied);
        out += inserted;
        copied = at + 4;
    }
    out.append(page, copied, std::string::npos);
    return out;
}

void rewrite_page(const std::string& page_path, const Codebook& book)
{
    std::string page;
    {
        std::ifstream in(page_path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        page = text.str();
    }
    if (!book.empty()) page = with_labels(std::move(page), book);
    std::ofstream out(page_path, std::ios::binary | std::ios::trunc);
    out << with_record_numbers(page);
    out.flush();
    if (!out) throw DataSetFailure{"the page could not be written completely (is the disk full?)"};
}

std::string default_page(const std::string& data_file)
{
    return fs::path(data_file).replace_extension(".html").string();
}

int view(const std::string& data_file, const std::string& stylesheet, const std::string& page)
{
    std::error_code ec;
    if (!fs::exists(data_file, ec)) throw DataSetFailure{"cannot open the data file '" + data_file + "'"};
    for (const std::string& own : {data_file, stylesheet})
        if (fs::equivalent(page, own, ec)) throw UsageError("the page '" + page + "' would replace '" + own + "'");

    PartialFile partial(page);
    const int status = run_xsltproc(stylesheet, data_file, partial.fd());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw DataSetFailure{"xsltproc could not apply '" + stylesheet + "' to '" + data_file + "' (" +
                             (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                                : std::string("stopped by a signal")) +
                             "); no page was written"};
    const long rows = record_rows(partial.path());
    const Codebook book = read_codebook(data_file);
    rewrite_page(partial.path(), book);
    partial.keep_as(page);
    std::cout << "wrote " << page << " (" << rows << " records)\n";
    if (rows == 0)
        std::cerr << "kest view: the page shows no records: the stylesheet '" << stylesheet
                  << "' does not match the records of '" << data_file << "'\n";
    return exit_ok;
}

int run_view(std::span<const std::string> args)
{
    const ParsedArgs parsed = parse_args(args, view_options);
    const std::string& data_file = parsed.the_one("data file");
    const std::string* out = parsed.value("--out");
    if (out != nullptr && out->empty()) throw UsageError("--out needs a file name");
    const std::string* given = parsed.value("--stylesheet");
    const std::string stylesheet = given != nullptr ? *given : locate_stylesheet(data_file);
    const DataSetHold held = hold_data_set(data_file, "", Access::read);
    return view(data_file, stylesheet, out != nullptr ? *out : default_page(data_file));
}

}  // namespace

const Command view_command{"view", "write an HTML page of a data set, its cells coloured by status", view_usage,
                           run_view};

}  // namespace kest_cli
