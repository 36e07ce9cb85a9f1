// The data set's lock on Windows: readers share it, a writer holds it alone,
// a process's own routines work under the lock it holds through xml_lock
// (which reads the holder's identity from the lock file while the lock is
// held), and a lock dies with its process, whose leftovers the next writer
// removes.  Other processes are this
// program started again with --hold.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "kest.h"
#include "locked_data_set.h"
#include "test_files.h"

namespace {

using namespace kest_test;

// --hold SCHEMA MODE READY: takes the lock, makes the file READY and waits
// to be ended.
int hold(const std::string& schema, int mode, const std::string& ready)
{
    KestLock* held = nullptr;
    if (lock(schema, mode, 0, &held) != Pair{0, 0}) return 1;
    write_file(ready, "held");
    ::Sleep(INFINITE);
    return 0;
}

class Holder {
public:
    Holder(const std::string& schema, int mode, const std::string& ready)
    {
        char program[MAX_PATH];
        ::GetModuleFileNameA(nullptr, program, MAX_PATH);
        std::string command = "\"" + std::string(program) + "\" --hold \"" + schema + "\" " + std::to_string(mode) +
                              " \"" + ready + "\"";
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        started_ = ::CreateProcessA(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                    &process_) != 0;
        // Polls for the sign that the lock is held, for at most 30 seconds.
        for (int i = 0; started_ && i < 3000 && !file_exists(ready); ++i) ::Sleep(10);
        holding_ = started_ && file_exists(ready);
    }
    ~Holder() { end(); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    bool holding() const { return holding_; }

    // Ends the process as a crash would, without letting it release anything.
    void end()
    {
        if (!started_) return;
        ::TerminateProcess(process_.hProcess, 9);
        ::WaitForSingleObject(process_.hProcess, INFINITE);
        ::CloseHandle(process_.hProcess);
        ::CloseHandle(process_.hThread);
        started_ = false;
    }

private:
    PROCESS_INFORMATION process_{};
    bool started_ = false;
    bool holding_ = false;
};

TEST(DataSetLockWindows, ReadersShareWritersWaitAndOwnCallsWorkUnderTheLock)
{
    ScratchDir dir;
    const DataSet set(dir, 2, 1, "1");
    std::vector<double> values;

    KestLock* shared = nullptr;
    ASSERT_EQ(lock(set.schema, KEST_LOCK_SHARED, 0, &shared), (Pair{0, 0}));
    KestLock* second = nullptr;
    EXPECT_EQ(lock(set.schema, KEST_LOCK_SHARED, 0, &second), (Pair{0, 0})) << "readers share the lock";
    xml_unlock(second);
    KestLock* writer = nullptr;
    EXPECT_EQ(lock(set.schema, KEST_LOCK_EXCLUSIVE, 50, &writer), (Pair{KEST_ERR_DATA_SET_LOCKED, 1}))
        << "a writer waits for the readers";
    EXPECT_EQ(writer, nullptr);
    EXPECT_EQ(set.read(values), (Pair{0, 0}));
    xml_unlock(shared);

    KestLock* exclusive = nullptr;
    ASSERT_EQ(lock(set.schema, KEST_LOCK_EXCLUSIVE, 0, &exclusive), (Pair{0, 0}));
    EXPECT_NE(read_file(set.schema + ".lock"), "") << "the holder's identity is in the lock file";
    // This process's own routines work under its lock instead of waiting.
    EXPECT_EQ(set.update(1, 0, 5), (Pair{0, 0}));
    EXPECT_EQ(set.read(values), (Pair{0, 0}));
    EXPECT_EQ(values, (std::vector<double>{1, 5}));
    xml_unlock(exclusive);
    EXPECT_EQ(read_file(set.schema + ".lock"), "") << "the mark goes with the lock";
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"d.xdr", "d.xdr.lock", "d.xml"}));
}

TEST(DataSetLockWindows, OtherProcessesShareOrExcludeAndALockDiesWithItsProcess)
{
    ScratchDir dir;
    const DataSet set(dir, 2, 1, "1");
    std::vector<double> values;
    {
        Holder reader(set.schema, KEST_LOCK_SHARED, dir.file("reader"));
        ASSERT_TRUE(reader.holding());
        EXPECT_EQ(set.read(values), (Pair{0, 0})) << "a reader beside another process's reader";
        KestLock* writer = nullptr;
        EXPECT_EQ(lock(set.schema, KEST_LOCK_EXCLUSIVE, 50, &writer), (Pair{KEST_ERR_DATA_SET_LOCKED, 1}));
    }
    Holder writer(set.schema, KEST_LOCK_EXCLUSIVE, dir.file("writer"));
    ASSERT_TRUE(writer.holding());
    KestLock* shared = nullptr;
    EXPECT_EQ(lock(set.schema, KEST_LOCK_SHARED, 50, &shared), (Pair{KEST_ERR_DATA_SET_LOCKED, 1}))
        << "a reader waits for another process's writer";
    EXPECT_EQ(shared, nullptr);
    writer.end();
    // What a writer killed part way leaves: its temporary file beside the
    // data file.  The next writer removes it, and nothing else.
    write_file(dir.file(".d.xml.a1B2c3"), "<partial");
    write_file(dir.file(".d.xml.a1B2"), "not a temporary name");
    // The killed holder's mark is still in the lock file; the next writer
    // takes the lock all the same and clears it.
    EXPECT_EQ(set.update(0, 0, 7), (Pair{0, 0}));
    EXPECT_EQ(set.read(values), (Pair{0, 0}));
    EXPECT_EQ(values, (std::vector<double>{7, 1}));
    EXPECT_EQ(dir.entries_but_locks(), (std::vector<std::string>{".d.xml.a1B2", "d.xdr", "d.xml", "reader", "writer"}));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::string(argv[1]) == "--hold") return hold(argv[2], std::atoi(argv[3]), argv[4]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
