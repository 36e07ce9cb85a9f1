// The Windows side of the debug log: opening the file at its fixed path.
#include "debug_log.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace brindle {

bool DebugLog::open(const char* path, bool truncate)
{
    close();
    // Never through a link or junction: the log must be a plain file at the
    // fixed path itself, and it is emptied only once that is known.
    const HANDLE file = ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool plain = ::GetFileInformationByHandle(file, &info) != 0 &&
                       (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
    const bool ready = plain && (truncate ? ::SetEndOfFile(file) != 0
                                          : ::SetFilePointer(file, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER);
    const int fd = ready ? ::_open_osfhandle(reinterpret_cast<intptr_t>(file), truncate ? 0 : _O_APPEND) : -1;
    if (fd < 0) {
        ::CloseHandle(file);
        return false;
    }
    file_ = ::_fdopen(fd, truncate ? "w" : "a");
    if (file_ == nullptr) {
        ::_close(fd);
        return false;
    }
    return true;
}

}  // namespace brindle
