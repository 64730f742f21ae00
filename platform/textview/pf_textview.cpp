// The text view on QPlainTextEdit.
#include "textview/pf_textview.h"

#include <QFont>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QTextCursor>
#include <QThread>

namespace pf::textview {

struct TextView::Impl {
    QPointer<QPlainTextEdit> edit;
};

TextView::TextView() : d_(std::make_unique<Impl>()) { d_->edit = new QPlainTextEdit; }

TextView::~TextView() { delete d_->edit.data(); }

QWidget* TextView::widget() const { return d_->edit.data(); }

void TextView::post(std::function<void()> fn) {
    QPlainTextEdit* edit = d_->edit.data();
    if (!edit || !fn) return;
    if (QThread::currentThread() == edit->thread())
        fn();
    else
        QMetaObject::invokeMethod(edit, std::move(fn), Qt::QueuedConnection);
}

void TextView::setFont(const char* family, double pointSize) {
    QFont f(QString::fromUtf8(family ? family : ""));
    if (pointSize > 0) f.setPointSizeF(pointSize);
    d_->edit->setFont(f);
}

void TextView::setReadOnly(bool readOnly) { d_->edit->setReadOnly(readOnly); }
void TextView::setNoWrap() { d_->edit->setLineWrapMode(QPlainTextEdit::NoWrap); }

void TextView::setScrollBarsAsNeeded() {
    d_->edit->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    d_->edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
}

void TextView::setMaxLines(int lines) { d_->edit->setMaximumBlockCount(lines); }
void TextView::setTabStop(double distance) { d_->edit->setTabStopDistance(distance); }
void TextView::setHidden(bool hidden) { d_->edit->setHidden(hidden); }
void TextView::clear() { d_->edit->clear(); }

void TextView::append(const std::string& text) {
    // Inserted at the end without a paragraph of its own, so partial lines join up.
    QTextCursor cursor(d_->edit->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

void TextView::scrollToTop() { d_->edit->verticalScrollBar()->setValue(d_->edit->verticalScrollBar()->minimum()); }
void TextView::scrollToEnd() { d_->edit->verticalScrollBar()->setValue(d_->edit->verticalScrollBar()->maximum()); }

void TextView::redraw() {
    if (d_->edit->isVisible()) d_->edit->viewport()->repaint();
}

std::string TextView::text() const { return d_->edit->toPlainText().toStdString(); }
int TextView::lineCount() const { return d_->edit->document()->blockCount(); }
int TextView::scrollPosition() const { return d_->edit->verticalScrollBar()->value(); }
int TextView::scrollMaximum() const { return d_->edit->verticalScrollBar()->maximum(); }

}  // namespace pf::textview
