// Whether this process can show windows, judged the same way by every program
// of the repository that has a window.
#pragma once

namespace pf::display {

// A display is named (DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM set and not
// empty) and the GUI library opens it. The library ends a process that fails to
// open its display, so a child tries it first; a display that does not answer
// within a few seconds counts as none. Run before any thread starts.
bool available(int argc, char** argv);

}  // namespace pf::display
