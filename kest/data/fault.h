// A failure found inside a routine: the code and detail that end up in the
// caller's ErrorPair.
#pragma once

#include <optional>

namespace kest {

struct Fault {
    int code;
    int detail;
};

// Empty when all went well.
using Outcome = std::optional<Fault>;

}  // namespace kest
