// The statistics tool's alerts: a title, a message and one "OK" button. The
// shell sets the sink to a window-modal message box on its main window; until
// then, and in tests without a window, title and message go to standard error.
#pragma once

#include <functional>

using ZelkAlertSink = std::function<void(const char* title, const char* message, const char* button)>;

// Process-wide; an empty sink restores standard error.
void ZelkAlert_setSink(ZelkAlertSink sink);
void ZelkAlert_show(const char* title, const char* message);
