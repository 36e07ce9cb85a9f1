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
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "command.h"
#include "data_set.h"
#include "lock.h"
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
    "Missing.  Open the page in a browser.  Needs xsltproc (scripts/setup\n"
    "installs it).\n"
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
    try {
        const std::string* given = parsed.value("--stylesheet");
        const std::string stylesheet = given != nullptr ? *given : locate_stylesheet(data_file);
        const DataSetHold held = hold_data_set(data_file, "", Access::read);
        return view(data_file, stylesheet, out != nullptr ? *out : default_page(data_file));
    } catch (const DataSetFailure& failure) {
        std::cerr << "kest view: " << failure.message << "\n";
        return exit_failure;
    }
}

}  // namespace

const Command view_command{"view", "write an HTML page of a data set, its cells coloured by status", view_usage,
                           run_view};

}  // namespace kest_cli
