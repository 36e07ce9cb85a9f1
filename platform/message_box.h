// Messages to the user from the plug-ins and the demo.  On Windows a
// message box: modal, no owner window, the caption, buttons Yes, No and
// Cancel, the answer ignored.  Elsewhere there are no message boxes, so the
// same message becomes one line on standard error: the caption, a colon and
// a blank, then the text exactly as given.
#pragma once

namespace kest_platform {

void show_message_box(const char* caption, const char* text) noexcept;

}  // namespace kest_platform
