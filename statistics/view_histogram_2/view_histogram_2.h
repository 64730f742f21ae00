// The fifth page: no content, only the window's size when it is shown, and the
// page protocol answered so that the shell treats it like every other page.
#pragma once

#include "Quastel_AppEvent.h"

class view_histogram_2 : public Quastel_Page {
public:
    view_histogram_2();
    ~view_histogram_2() override;
    view_histogram_2(const view_histogram_2&) = delete;
    view_histogram_2& operator=(const view_histogram_2&) = delete;

    QWidget* view() override { return _view; }
    // The main window keeps its origin and becomes 640 x 480.
    void viewActivated() override;
    void viewDeactivated() override;
    void applicationWillTerminate(QObject* notification) override;
    void OnMenu_command_up(QObject* sender) override;
    void OnMenu_command_down(QObject* sender) override;
    void OnMenu_command_bracket_left(QObject* sender) override;
    void OnMenu_command_bracket_right(QObject* sender) override;
    void OnMenu_command_shift_c(QObject* sender) override;
    void OnMenu_option_up(QObject* sender) override;
    void OnMenu_option_down(QObject* sender) override;

private:
    void awakeFromResource();
    void viewDidLoad();

    QWidget* _view = nullptr;
};
