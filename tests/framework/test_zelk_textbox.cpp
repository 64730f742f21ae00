// The log text box, offscreen: tab stops, scrolling, appends from workers, Latin-1
// bytes, and a picture of a page's summary to look at.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ZelkTextBox.h"
#include "draw/pf_draw.h"
#include "nk_gui_test_util.h"
#include "nk_test_util.h"
#include "textview/pf_textview.h"

namespace {

// The widget application first, before a drawing test makes a plain GUI one: the
// whole suite then runs in one process too, not only one test per process.
class WidgetApplication : public ::testing::Environment {
public:
    void SetUp() override { nktest::guiApplication(); }
};
[[maybe_unused]] ::testing::Environment* const kWidgetApplication =
    ::testing::AddGlobalTestEnvironment(new WidgetApplication);

QPlainTextEdit* editOf(pf::textview::TextView* v) { return qobject_cast<QPlainTextEdit*>(v->widget()); }

// Pixels from the line's start to the character at `pos`.
int xOf(QPlainTextEdit* e, int pos) {
    QTextCursor c(e->document());
    c.setPosition(pos);
    const int x = e->cursorRect(c).left();
    c.movePosition(QTextCursor::StartOfBlock);
    return x - e->cursorRect(c).left();
}

class ZelkTextBoxTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!nktest::guiApplication()) GTEST_SKIP() << "another test made a GUI application without widgets";
        box = std::make_unique<ZelkNSTextView>();
        box->configureTextFormat(pf::draw::kMonospaceFont, 10, 123);
        box->view()->widget()->resize(360, 160);
        box->view()->widget()->show();
    }
    std::unique_ptr<ZelkNSTextView> box;
};

}  // namespace

TEST_F(ZelkTextBoxTest, TabStopsEvery24Points) {
    box->appendStr("a\tb\n");
    box->appendStr("abcdefgh\tc\n");
    QPlainTextEdit* e = editOf(box->view());
    EXPECT_NEAR(xOf(e, 2), 24, 1);  // b at the first stop
    const int c = static_cast<int>(std::string("a\tb\nabcdefgh\t").size());
    EXPECT_EQ(xOf(e, c) % 24, 0);   // past the first stop: the next multiple of 24
    EXPECT_GT(xOf(e, c), 24);
    EXPECT_EQ(e->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_TRUE(e->isReadOnly());
}

TEST_F(ZelkTextBoxTest, ScrollRules) {
    pf::textview::TextView* v = box->view();
    std::string many;
    for (int i = 0; i < 60; ++i) many += "line " + std::to_string(i) + "\n";
    box->appendStr(many.c_str(), 1);
    ASSERT_GT(v->scrollMaximum(), 0);
    EXPECT_EQ(v->scrollPosition(), 0);
    box->appendStr("partial", 2);  // no newline at the end: stays
    EXPECT_EQ(v->scrollPosition(), 0);
    box->appendStr(" done\n", 2);
    EXPECT_EQ(v->scrollPosition(), v->scrollMaximum());
    box->appendStr("more\n", 0);  // any other type: no scrolling
    EXPECT_LT(v->scrollPosition(), v->scrollMaximum());
    box->appendStr("last\n");     // the short form scrolls like type 2
    EXPECT_EQ(v->scrollPosition(), v->scrollMaximum());

    const std::string before = v->text();
    box->appendStr("");
    box->appendStr(nullptr);
    EXPECT_EQ(v->text(), before);

    box->reset();
    box->appendStr(many.c_str(), 1);  // a new analysis shows from its first line
    EXPECT_EQ(v->scrollPosition(), 0);
    EXPECT_EQ(v->text(), many);

    box->setHidden(true);
    EXPECT_TRUE(v->widget()->isHidden());
    EXPECT_FALSE(editOf(v)->verticalScrollBar()->isVisible());
    box->setHidden(false);
    EXPECT_FALSE(v->widget()->isHidden());
}

TEST_F(ZelkTextBoxTest, LatinBytesAreOneCharacterEach) {
    std::string bytes;
    for (int b = 0x80; b <= 0xFF; ++b) bytes.push_back(static_cast<char>(b));
    bytes += "\n";
    box->appendStr(bytes.c_str());
    // The raw text: the plain form turns the no-break space into a space.
    const QString shown = editOf(box->view())->document()->toRawText();
    ASSERT_GE(shown.size(), 128);
    for (int i = 0; i < 128; ++i) EXPECT_EQ(shown[i].unicode(), 0x80 + i);
}

TEST_F(ZelkTextBoxTest, NoLineCap) {
    std::string many;
    for (int i = 0; i < 25000; ++i) many += std::to_string(i) + "\n";
    box->appendStr(many.c_str());
    EXPECT_EQ(box->view()->text(), many);
}

TEST_F(ZelkTextBoxTest, WorkersAppendInTheirOrder) {
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([this, t] {
            for (int i = 0; i < 100; ++i) box->appendStr(("w" + std::to_string(t) + "\t" + std::to_string(i) + "\n").c_str());
        });
    for (auto& w : workers) w.join();
    QCoreApplication::processEvents();
    std::map<int, int> next;
    const auto lines = nktest::splitLines(box->view()->text());
    ASSERT_EQ(lines.size(), 400u);
    for (const auto& line : lines) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "w%d\t%d", &t, &i), 2) << line;
        EXPECT_EQ(next[t]++, i) << line;
    }
}

TEST(ZelkTextBoxPlain, TheSameOperationsOnAPlainView) {
    if (!nktest::guiApplication()) GTEST_SKIP() << "another test made a GUI application without widgets";
    pf::textview::TextView view;
    ZelkTextBox_configureTextFormat(&view, pf::draw::kMonospaceFont, 10, 0);
    view.widget()->resize(300, 120);
    view.widget()->show();
    ZelkTextBox_appendStr(&view, "a\tb\n");
    EXPECT_NEAR(xOf(editOf(&view), 2), 24, 1);
    ZelkTextBox_appendStr(&view, "\xb5m\n");
    EXPECT_EQ(view.text(), "a\tb\n\xc2\xb5m\n");
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t)
        workers.emplace_back([&view, t] {
            for (int i = 0; i < 50; ++i) ZelkTextBox_appendStr(&view, ("p" + std::to_string(t) + "\n").c_str());
        });
    for (auto& w : workers) w.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(nktest::splitLines(view.text()).size(), 152u);
    ZelkTextBox_reset(&view);
    EXPECT_EQ(view.text(), "");
    ZelkTextBox_setHidden(&view, true);
    EXPECT_TRUE(view.widget()->isHidden());
    ZelkTextBox_appendStr(nullptr, "x");
}

TEST_F(ZelkTextBoxTest, Screenshot) {
    box->view()->widget()->resize(420, 200);
    // Columns of a page's summary: a label over three stops, then one stop per figure.
    box->appendStr("Item\t\t\tCount\t\tMean\t\tCpk\n", 1);
    box->appendStr("Temp (\xb0" "C)\t\t120\t\t24.51\t\t1.62\n", 0);
    box->appendStr("Gain (\xb5V)\t\t120\t\t3.002\t\t2.10\n", 0);
    box->appendStr("Fail SN:\t\tC02X1\tC02X7\n", 0);
    box->appendStr("Fit: y = 1.0213x - 0.0042, r\xb2 = 0.9987 and a line long enough to scroll sideways\n", 0);
    QCoreApplication::processEvents();
    const QImage img = box->view()->widget()->grab().toImage();
    ASSERT_FALSE(img.isNull());
    QDir().mkpath(NK_SCREENSHOT_DIR);
    EXPECT_TRUE(img.save(QString(NK_SCREENSHOT_DIR) + "/zelk_textbox.png"));
}
