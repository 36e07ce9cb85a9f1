#include "command.h"
namespace kest_cli {
namespace { int run_report(std::span<const std::string>) { return exit_failure; } }
const Command report_command{"report", "write an HTML report page of a data set", "usage: kest report\n", run_report};
}
