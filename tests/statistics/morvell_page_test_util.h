// The fixture the page tests share: the test's own user store and folders, the
// page shown in a main window of its own, and files dropped on a widget as the
// platform delivers a drag.
#pragma once

#include <gtest/gtest.h>

#include <QClipboard>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QImage>
#include <QList>
#include <QMainWindow>
#include <QMimeData>
#include <QTest>
#include <QUrl>

#include <memory>
#include <string>
#include <vector>

#include "ZelkPaths.h"
#include "morvell_gui_test_util.h"

namespace morvelltest {

// The files as the URLs a drag carries.
inline QMimeData* filesOf(const std::vector<std::string>& paths) {
    auto* data = new QMimeData;
    QList<QUrl> urls;
    for (const std::string& p : paths) urls.append(QUrl::fromLocalFile(QString::fromStdString(p)));
    data->setUrls(urls);
    return data;
}

// Drops the files on `target` at `at` as the platform delivers a drag: enter, then drop.
// True when the drop was taken.
inline bool dropFiles(QWidget* target, const std::vector<std::string>& paths, const QPoint& at,
                      Qt::DropActions actions = Qt::CopyAction) {
    std::unique_ptr<QMimeData> data(filesOf(paths));
    QDragEnterEvent enter(at, actions, data.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    QDropEvent dropped(QPointF(at), actions, data.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &dropped);
    return dropped.isAccepted();
}

// The picture on the clipboard, which offers it as TIFF only; null (and the
// test failed) when there is none.
inline QImage clipboardPicture() {
    const QMimeData* copied = QGuiApplication::clipboard()->mimeData();
    if (!copied) {
        ADD_FAILURE() << "nothing on the clipboard";
        return {};
    }
    EXPECT_EQ(copied->formats(), QStringList{"image/tiff"});
    QImage picture;
    if (!picture.loadFromData(copied->data("image/tiff"), "TIFF")) ADD_FAILURE() << "no TIFF picture on the clipboard";
    return picture;
}

template <class Page>
class PageTest : public ::testing::Test {
protected:
    // The widget application and the test's own folders; with `application`
    // the application root (where pictures are saved) lies among them too.
    void makeFolders(bool application) {
        ASSERT_NE(nktest::guiApplication(), nullptr);
        folders = std::make_unique<ToolFolders>();
        if (!application) return;
        zelk::roots::Folders roots = zelk::roots::get();
        roots.application = folders->application() + "/";
        zelk::roots::set(roots);
    }
    // The page in its window, shown and activated; nothing when the set-up already failed.
    void openPage() {
        if (HasFatalFailure()) return;
        window = std::make_unique<QMainWindow>();
        page = std::make_unique<Page>();
        window->setCentralWidget(page->view());
        window->show();
        page->viewActivated();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    // The page told the program ends, then gone before its window.
    void closePage() {
        if (!page) return;
        page->applicationWillTerminate(nullptr);
        window->takeCentralWidget();
        page.reset();
        window.reset();
    }
    void TearDown() override { closePage(); }

    std::string file(const std::string& name) const { return folders->dir.file(name); }

    std::unique_ptr<ToolFolders> folders;
    std::unique_ptr<QMainWindow> window;
    std::unique_ptr<Page> page;
};

}  // namespace morvelltest
