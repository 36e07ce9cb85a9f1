#include "lock.h"

#include <climits>
#include <cmath>

#include "data_set.h"
#include "options.h"

namespace kest_cli {

namespace {

// Milliseconds; negative for the library's default.  Set once, from the
// command line, before any data set is opened.
int lock_wait_ms = -1;

std::string waited_for()
{
    const int ms = lock_wait_ms < 0 ? KEST_LOCK_WAIT_DEFAULT_MS : lock_wait_ms;
    const double seconds = ms / 1000.0;
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

}  // namespace

DataSetHold& DataSetHold::operator=(DataSetHold&& other) noexcept
{
    if (this != &other) {
        xml_unlock(lock_);
        lock_ = other.lock_;
        other.lock_ = nullptr;
    }
    return *this;
}

std::string describe_locked(const std::string& data_file, const std::string& schema, int detail)
{
    if (detail == 2)
        return "cannot open or create the lock file '" + schema + ".lock' of the data set '" + data_file + "'";
    return "another process is changing the data set '" + data_file + "'; gave up after waiting " + waited_for() +
           " s (--wait SECONDS waits longer)";
}

DataSetHold hold_data_set(const std::string& data_file, const std::string& schema, Access access)
{
    // A data set whose schema cannot be found has nothing to lock; the
    // command then fails on the schema with its own message.
    std::string schema_path = schema;
    if (schema_path.empty()) {
        try {
            schema_path = locate_schema(data_file);
        } catch (const DataSetFailure&) {
            return DataSetHold();
        }
    }
    KestLock* lock = nullptr;
    int error[2] = {0, 0};
    xml_lock(schema_path.c_str(), access == Access::read ? KEST_LOCK_SHARED : KEST_LOCK_EXCLUSIVE, lock_wait_ms,
             &lock, error);
    if (error[0] == KEST_ERR_DATA_SET_LOCKED) throw DataSetFailure{describe_locked(data_file, schema_path, error[1])};
    if (error[0] == 1) return DataSetHold();
    if (error[0] == KEST_ERR_NO_MEMORY) throw DataSetFailure{"out of memory"};
    if (error[0] != 0)
        throw DataSetFailure{"locking the data set '" + data_file + "' failed (code " + std::to_string(error[0]) + ")"};
    return DataSetHold(lock);
}

std::vector<std::string> take_wait_option(std::span<const std::string> args)
{
    std::vector<std::string> rest;
    bool given = false;
    for (std::size_t k = 0; k < args.size(); ++k) {
        const std::string& a = args[k];
        if (a == "--") {
            rest.insert(rest.end(), args.begin() + static_cast<std::ptrdiff_t>(k), args.end());
            break;
        }
        std::string value;
        if (a == "--wait") {
            if (k + 1 == args.size()) throw UsageError("--wait needs a number of seconds");
            value = args[++k];
        } else if (a.rfind("--wait=", 0) == 0) {
            value = a.substr(7);
        } else {
            rest.push_back(a);
            continue;
        }
        if (given) throw UsageError("--wait is given twice");
        given = true;
        const double seconds = parse_real(value, "--wait");
        if (!(seconds >= 0) || !std::isfinite(seconds)) throw UsageError("--wait must be a number of seconds from 0 on");
        lock_wait_ms = seconds * 1000.0 >= INT_MAX ? INT_MAX : static_cast<int>(std::lround(seconds * 1000.0));
    }
    return rest;
}

}  // namespace kest_cli
