#include "message_box.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <cstdio>
#endif

namespace kest_platform {

void show_message_box(const char* caption, const char* text) noexcept
{
#if defined(_WIN32)
    MessageBoxA(nullptr, text, caption, MB_YESNOCANCEL);
#else
    std::fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "", text != nullptr ? text : "");
    std::fflush(stderr);
#endif
}

}  // namespace kest_platform
