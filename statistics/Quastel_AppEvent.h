// What the shell asks of a page: the page protocol `Quastel_AppEvent`, the
// page's view and its two option-key commands, and the trace line that the
// shell and the pages write at their life-cycle steps.
#pragma once

#include <functional>
#include <memory>

class QObject;
class QWidget;

// The page protocol. Every page implements all of it; the shell calls it on
// the GUI thread only. `sender` is the menu action that carried the command
// (its data() holds the item's tag), or null when the command came otherwise.
class Quastel_AppEvent {
public:
    virtual ~Quastel_AppEvent() = default;

    // The page has just been put on display.
    virtual void viewActivated() = 0;
    // The page is about to leave the display.
    virtual void viewDeactivated() = 0;
    // The application ends; `notification` is the application object. Sent
    // once, to every page the shell created, while their views still exist.
    virtual void applicationWillTerminate(QObject* notification) = 0;
    // Ctrl+Up, Ctrl+Down, Ctrl+[, Ctrl+], Ctrl+Shift+C.
    virtual void OnMenu_command_up(QObject* sender) = 0;
    virtual void OnMenu_command_down(QObject* sender) = 0;
    virtual void OnMenu_command_bracket_left(QObject* sender) = 0;
    virtual void OnMenu_command_bracket_right(QObject* sender) = 0;
    virtual void OnMenu_command_shift_c(QObject* sender) = 0;
};

// A page as the shell holds it: created on its first request, kept to the end
// of the process, and destroyed before the main window.
class Quastel_Page : public Quastel_AppEvent {
public:
    // The page's view, made with the page and owned by it: the page deletes it
    // in its destructor. While the page is on display the shell parents the view
    // into its container and sizes it with the container; a page off display
    // keeps its view (and its loaded files) hidden.
    virtual QWidget* view() = 0;
    // Alt+Up and Alt+Down, which the protocol does not list but every page answers.
    virtual void OnMenu_option_up(QObject* sender) = 0;
    virtual void OnMenu_option_down(QObject* sender) = 0;
};

// Makes a page; the shell calls it on the page's first request.
using Quastel_PageFactory = std::function<std::unique_ptr<Quastel_Page>()>;

// One life-cycle trace line to the system log, "[%H:%M:%S file:[method]:line]",
// with the source file's base name; `method` names the class too, as in
// "AppDelegate awakeFromResource".
void Quastel_trace(const char* file, const char* method, int line);
#define QUASTEL_TRACE(method) Quastel_trace(__FILE__, method, __LINE__)
