// The lock exports: a host holds a data set's lock across several calls.
#include <sys/stat.h>

#include <memory>

#include "data/data_set_lock.h"
#include "internal/guard.h"
#include "kest.h"

struct KestLock {
    kest::DataSetLock lock;
};

extern "C" void xml_lock(const char* schema_path, int mode, int wait_ms, KestLock** lock, int* error)
{
    if (error == nullptr) return;
    kest::run_guarded(error, [&] {
        kest::set_error(error, 0, 0);
        if (!kest::all_given(error, {{lock, 4}})) return;
        *lock = nullptr;
        struct stat schema;
        if (schema_path == nullptr || *schema_path == '\0' || ::stat(schema_path, &schema) != 0) {
            kest::set_error(error, 1, 0);
            return;
        }
        if (mode != KEST_LOCK_SHARED && mode != KEST_LOCK_EXCLUSIVE) {
            kest::set_error(error, 2, mode);
            return;
        }
        auto held = std::make_unique<KestLock>();
        const auto lock_mode = mode == KEST_LOCK_SHARED ? kest::LockMode::shared : kest::LockMode::exclusive;
        if (auto fault = held->lock.acquire(schema_path, lock_mode, wait_ms, kest::SchemaFile::existing)) {
            kest::set_error(error, fault->code, fault->detail);
            return;
        }
        if (lock_mode == kest::LockMode::exclusive) held->lock.announce_owner();
        *lock = held.release();
    });
}

extern "C" void xml_unlock(KestLock* lock) { delete lock; }
