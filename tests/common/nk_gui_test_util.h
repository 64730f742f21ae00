// The widget application that offscreen GUI tests share.
#pragma once

#include <QApplication>

namespace nktest {

// The process's QApplication, made on first use; null when another test made a
// GUI application without widgets.
inline QApplication* guiApplication() {
    static int argc = 1;
    static char arg0[] = "nk_gui_tests";
    static char* argv[] = {arg0, nullptr};
    if (!QCoreApplication::instance()) new QApplication(argc, argv);
    return qobject_cast<QApplication*>(QCoreApplication::instance());
}

}  // namespace nktest
