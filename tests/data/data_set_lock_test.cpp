// The data set's lock across processes: writers at once lose no cell, a
// writer killed part way leaves the data file as it was, readers always
// read a whole file, and a host's own lock covers the routines it calls.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "kest.h"
#include "locked_data_set.h"
#include "test_files.h"

namespace {

using namespace kest_test;

// Runs body in a child process and gives its exit status (0 when body
// returned true).
pid_t start_child(const std::function<bool()>& body)
{
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body() ? 0 : 1);
    return pid;
}

int exit_status(pid_t pid)
{
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int in_child(const std::function<bool()>& body) { return exit_status(start_child(body)); }

TEST(DataSetLock, LockCodesInTheirOrder)
{
    ScratchDir dir;
    const DataSet set(dir, 1, 1, "1");
    KestLock* held = reinterpret_cast<KestLock*>(&held);
    struct Case {
        const char* what;
        std::string schema;
        int mode;
        KestLock** out;
        Pair error;
    } cases[] = {
        {"null output before the rest", "", 0, nullptr, {98, 4}},
        {"absent schema", dir.file("none.xdr"), KEST_LOCK_SHARED, &held, {1, 0}},
        {"mode 0", set.schema, 0, &held, {2, 0}},
        {"mode 3", set.schema, 3, &held, {2, 3}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lock(c.schema, c.mode, 0, c.out), c.error) << c.what;
        if (c.out != nullptr) {
            EXPECT_EQ(held, nullptr) << c.what;
        }
    }
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"d.xdr", "d.xml"}));  // no lock file made for a refusal
    xml_unlock(nullptr);
}

TEST(DataSetLock, HoldersExcludeWritersAndOwnCallsWorkUnderTheLock)
{
    ScratchDir dir;
    const DataSet set(dir, 2, 1, "1");
    const auto lock_in_child = [&](int mode) {
        return in_child([&] {
            KestLock* held = nullptr;
            const bool got = lock(set.schema, mode, 100, &held) == Pair{0, 0};
            xml_unlock(held);
            return got;
        });
    };

    KestLock* shared = nullptr;
    ASSERT_EQ(lock(set.schema, KEST_LOCK_SHARED, 0, &shared), (Pair{0, 0}));
    EXPECT_EQ(lock_in_child(KEST_LOCK_SHARED), 0) << "readers share the lock";
    EXPECT_EQ(lock_in_child(KEST_LOCK_EXCLUSIVE), 1) << "a writer waits for the readers";
    std::vector<double> values;
    EXPECT_EQ(set.read(values), (Pair{0, 0}));
    xml_unlock(shared);

    KestLock* exclusive = nullptr;
    ASSERT_EQ(lock(set.schema, KEST_LOCK_EXCLUSIVE, 0, &exclusive), (Pair{0, 0}));
    EXPECT_EQ(lock_in_child(KEST_LOCK_SHARED), 1) << "a reader waits for the writer";
    // This process's own routines work under its lock instead of waiting.
    EXPECT_EQ(set.update(1, 0, 5), (Pair{0, 0}));
    EXPECT_EQ(set.read(values), (Pair{0, 0}));
    EXPECT_EQ(values, (std::vector<double>{1, 5}));
    xml_unlock(exclusive);
    EXPECT_EQ(lock_in_child(KEST_LOCK_EXCLUSIVE), 0);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"d.xdr", "d.xdr.lock", "d.xml"}));

    // A lock dies with its process: a writer waits for a holder that is
    // killed and then goes ahead.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = start_child([&] {
        KestLock* held = nullptr;
        if (lock(set.schema, KEST_LOCK_EXCLUSIVE, 0, &held) != Pair{0, 0}) return false;
        const char byte = 1;
        if (::write(ready[1], &byte, 1) != 1) return false;
        ::pause();
        return true;
    });
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    EXPECT_EQ(lock(set.schema, KEST_LOCK_SHARED, 50, &shared), (Pair{KEST_ERR_DATA_SET_LOCKED, 1}));
    EXPECT_EQ(shared, nullptr);
    const pid_t killer = start_child([&] {
        ::usleep(200000);
        return ::kill(holder, SIGKILL) == 0;
    });
    EXPECT_EQ(set.update(0, 0, 7), (Pair{0, 0}));
    EXPECT_EQ(exit_status(killer), 0);
    EXPECT_EQ(exit_status(holder), 128 + SIGKILL);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(set.read(values), (Pair{0, 0}));
    EXPECT_EQ(values, (std::vector<double>{7, 5}));
}

TEST(DataSetLock, WritersAtOnceLoseNoCellAndReadersReadWholeFiles)
{
    constexpr int writers = 4, rounds = 40;
    ScratchDir dir;
    const DataSet set(dir, rounds, writers, "");
    std::vector<pid_t> children;
    for (int p = 0; p < writers; ++p) {
        children.push_back(start_child([&set, p] {
            for (int r = 0; r < rounds; ++r)
                if (set.update(r, p, 1000.0 * p + r) != Pair{0, 0}) return false;
            return true;
        }));
    }
    children.push_back(start_child([&set] {
        // Cells are only ever filled, so a whole file never holds fewer of
        // them than the one read before it.
        std::vector<double> values;
        long filled_before = 0;
        for (int k = 0; k < 200; ++k) {
            if (set.read(values) != Pair{0, 0}) return false;
            const long filled = static_cast<long>(values.size()) - std::count(values.begin(), values.end(), M);
            if (filled < filled_before) return false;
            filled_before = filled;
        }
        return true;
    }));
    for (pid_t child : children) EXPECT_EQ(exit_status(child), 0);

    std::vector<double> values;
    ASSERT_EQ(set.read(values), (Pair{0, 0}));
    for (int r = 0; r < rounds; ++r)
        for (int p = 0; p < writers; ++p)
            EXPECT_EQ(values[static_cast<std::size_t>(r) * writers + p], 1000.0 * p + r) << "record " << r << " writer " << p;
}

TEST(DataSetLock, KilledWritersLeaveTheFileAsItWasAndTheNextWriterNothingBehind)
{
    ScratchDir dir;
    // Large enough that a rewrite takes a while, in the writer's own forms,
    // so that a completed rewrite leaves the same bytes.
    const DataSet set(dir, 20000, 5, "12.50");
    const std::string before = read_file(set.data);
    std::mt19937 random(20261208);
    for (int trial = 0; trial < 12; ++trial) {
        const pid_t writer = start_child([&set] {
            for (;;)
                if (set.update(-1, -1, 0) != Pair{0, 0}) return false;
        });
        ::usleep(std::uniform_int_distribution<int>(0, 40000)(random));
        ::kill(writer, SIGKILL);
        EXPECT_EQ(exit_status(writer), 128 + SIGKILL);
        ASSERT_EQ(read_file(set.data), before) << "trial " << trial;
    }
    // Leftovers of the data file's writers go; names that only look alike stay.
    write_file(dir.file(".d.xml.Ab3dE9"), "partial");
    write_file(dir.file(".d.xml.keep"), "not a temporary");
    write_file(dir.file(".e.xml.Ab3dE9"), "another data file's");
    EXPECT_EQ(set.update(0, 0, 3), (Pair{0, 0}));
    EXPECT_EQ(dir.entries(),
              (std::vector<std::string>{".d.xml.keep", ".e.xml.Ab3dE9", "d.xdr", "d.xdr.lock", "d.xml"}));
}

}  // namespace
