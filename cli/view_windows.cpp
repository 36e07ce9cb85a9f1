// kest view in the Windows build: the page is made by xsltproc, which is a
// program of the other platforms, so here the command only says so.  The
// data file names its stylesheet, so a browser that opens the data file
// itself shows the same table.
#include <iostream>

#include "command.h"

namespace kest_cli {

namespace {

constexpr std::string_view view_usage =
    "usage: kest view DATAFILE [--stylesheet FILE] [--out FILE]\n"
    "\n"
    "Writes an HTML page of a data set with xsltproc.  Not available in the\n"
    "Windows build: open the data file in a browser, which applies the\n"
    "stylesheet the data file names and shows the same table.\n";

int run_view(std::span<const std::string>)
{
    std::cerr << "kest view: not available in the Windows build (it runs xsltproc); open the data file in a "
                 "browser, which applies its stylesheet\n";
    return exit_failure;
}

}  // namespace

const Command view_command{"view", "write an HTML page of a data set, its cells coloured by status", view_usage,
                           run_view};

}  // namespace kest_cli
