// The data reader: xml_data_size sizes a data set from its schema file, and
// xml_read reads its data file into the caller's data matrix.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "data/data_set_lock.h"
#include "data/record_reader.h"
#include "data/schema.h"
#include "internal/guard.h"
#include "kest.h"

namespace kest {

namespace {

// Reader level of a status; Missing and absent statuses have none.
int status_level(StatusCode status) noexcept
{
    switch (status) {
    case status_validn: return -1;
    case status_valid: return 0;
    case status_imputed: return 1;
    case status_suspect: return 2;
    case status_error: return 3;
    default: return 0;
    }
}

// Whether the status limit lets a cell of this status be read as a value.
bool status_admitted(StatusCode status, int status_limit) noexcept
{
    if (status == status_absent || status == status_missing) return false;
    const int level = status_level(status);
    const int lim = std::abs(status_limit);
    if (std::abs(level) >= lim) return false;
    return !(level == -1 && status_limit < 0);
}

// Copies the names into the caller's buffers, which hold the name size
// that xml_data_size reports for this schema.  The sizing counts the
// declarations after the observations line while the names are those from
// the first declaration on, so a schema that declares a variable earlier
// (or one changed since it was sized) could hold a longer name: such a name
// is refused, with the names before it copied, instead of being written
// past its buffer.
Outcome copy_names(const SchemaNames& names, const char* schema_path, char** buffers)
{
    if (buffers == nullptr) return std::nullopt;
    SchemaSize size{};
    if (read_schema_size(schema_path, size)) return Fault{KEST_ERR_NAME_SIZE, -1};
    for (std::size_t j = 0; j < names.variables.size(); ++j) {
        const std::string& name = names.variables[j];
        if (name.size() >= static_cast<std::size_t>(std::max(size.name_size, 0)))
            return Fault{KEST_ERR_NAME_SIZE, static_cast<int>(j)};
        if (buffers[j] == nullptr) continue;
        std::memcpy(buffers[j], name.c_str(), name.size() + 1);
    }
    return std::nullopt;
}

Outcome read_data(const char* data_path, const char* schema_path, double missing_code, int num_obs,
                  int num_vars, double* data, char** names, int* ncat, int* cat_codes, int max_cats,
                  int status_limit, int* n_missing)
{
    DataSetLock lock;
    if (auto fault = lock.acquire(schema_path, LockMode::shared, default_lock_wait_ms, SchemaFile::existing))
        return fault;
    RecordReader records(data_path, schema_path);
    if (auto fault = records.opened()) return fault;
    if (num_obs < 1) return Fault{4, num_obs};
    if (num_vars < 1) return Fault{5, num_vars};
    if (status_limit == 0) return Fault{11, 0};

    const CategoryTable categories{ncat, cat_codes, max_cats};
    const Outcome started = records.start(num_vars, &categories);
    const Outcome copied = copy_names(records.names(), schema_path, names);
    if (started) return started;
    if (copied) return copied;

    int missing = 0;
    for (int r = 0; r < num_obs; ++r) {
        bool got = false;
        if (auto fault = records.next_record(got)) return fault;
        if (!got) break;
        double* row = data + static_cast<std::ptrdiff_t>(r) * num_vars;
        for (int j = 0; j < num_vars; ++j) {
            const auto cell = records.scanner().locate(j);
            if (!cell) return Fault{1, 2};
            std::optional<double> value;
            if (status_admitted(cell->status, status_limit)) {
                if (auto fault = read_cell_value(records, j, cell->value_start, value)) return fault;
            }
            if (value) {
                row[j] = *value;
            } else {
                row[j] = missing_code;
                ++missing;
            }
        }
    }
    *n_missing = missing;
    return std::nullopt;
}

}  // namespace

}  // namespace kest

using kest::Fault;

extern "C" void xml_data_size(const char* schema_path, int* num_obs, int* num_vars, int* name_size,
                              int* error)
{
    if (error == nullptr) return;
    kest::run_guarded(error, [&] {
        kest::set_error(error, 0, 0);
        kest::DataSetLock lock;
        kest::SchemaSize size;
        if (auto fault = lock.acquire(schema_path, kest::LockMode::shared, kest::default_lock_wait_ms,
                                      kest::SchemaFile::existing)) {
            kest::set_error(error, fault->code, fault->detail);
            return;
        }
        if (auto fault = kest::read_schema_size(schema_path, size)) {
            kest::set_error(error, fault->code, fault->detail);
            return;
        }
        if (num_obs != nullptr) *num_obs = size.num_obs;
        if (num_vars != nullptr) *num_vars = size.num_vars;
        if (name_size != nullptr) *name_size = size.name_size;
    });
}

extern "C" void xml_read(const char* data_path, const char* schema_path, double missing_code,
                         int num_obs, int num_vars, double* data, char** names, int* ncat,
                         int* cat_codes, int max_cats, int status_limit, int* n_missing, int* error)
{
    if (error == nullptr) return;
    kest::run_guarded(error, [&] {
        kest::set_error(error, 0, 0);
        if (!kest::all_given(error, {{data, 6}, {ncat, 8}, {cat_codes, 9}, {n_missing, 12}})) return;
        if (auto fault = kest::read_data(data_path, schema_path, missing_code, num_obs, num_vars, data,
                                         names, ncat, cat_codes, max_cats, status_limit, n_missing)) {
            kest::set_error(error, fault->code, fault->detail);
        }
    });
}
