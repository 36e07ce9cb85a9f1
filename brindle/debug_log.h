// The plug-in's debug log: a text file at one fixed path, created anew by
// every run and reopened for appending after the tree is grown.  A fixed
// path in a shared folder is a target for others, so the log is never
// opened through a symbolic link nor in a file that another user owns.
#pragma once

#include <cstdio>

namespace brindle {

class DebugLog {
public:
    DebugLog() = default;
    DebugLog(const DebugLog&) = delete;
    DebugLog& operator=(const DebugLog&) = delete;
    ~DebugLog() { close(); }

    // Empties (or creates, with permissions 0600) the log; false when that
    // is impossible or unsafe.
    bool create(const char* path);
    // Opens the log again for appending; false when impossible or unsafe.
    bool reopen(const char* path);
    void close() noexcept;

    // Appends formatted text (printf formats); nothing when closed.
    void write(const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));

private:
    bool open(const char* path, bool truncate);

    std::FILE* file_ = nullptr;
};

}  // namespace brindle
