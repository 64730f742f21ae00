// Views of test sessions for a station window: a grid of test-cell buttons, one
// per session, and a view of one session with its item table and log pane.
// Views belong to the GUI thread; sessions reach them from their own threads
// through listener adapters that only store state and queue work for it.
#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "nk_graphics.h"
#include "nk_testSession.h"

class QWidget;
class nkView_cellWidget;
struct nkView_sessionWidgets;

class nk_btnTestCell;
class nk_view_testSession;

// ---------------------------------------------------------------- test-cell buttons

// Where a button draws its item cells: y grows downwards from the button's top.
struct t_nkTestCellGeometry {
    double pitch = 0.0;   // from one cell's left edge to the next one's
    double side = 0.0;    // cells are squares
    double radius = 0.0;  // corner radius
    double top = 0.0;     // every cell's top edge
    double firstX = 0.0;  // cell i starts at firstX + i * pitch
};

// A listener adapter's gate. A session calls its listeners from a copy of its
// list, so one may still be called just after it was removed: detach() closes
// the gate and returns once no call is inside the target, and the adapter itself
// is kept (silent) for the life of the process once its target is gone.
template <typename Target>
class nkView_listener : public INK_testSession_callback {
public:
    void detach() {
        std::unique_lock<std::shared_mutex> gate(_gate);
        _target = nullptr;
    }

protected:
    explicit nkView_listener(Target* target) : _target(target) {}
    ~nkView_listener() = default;
    template <typename Fn>
    void forward(Fn fn) {
        std::shared_lock<std::shared_mutex> gate(_gate);
        if (_target) fn(_target);
    }

private:
    std::shared_mutex _gate;
    Target* _target;  // null once detached
};

// Hands a session's events to its button, on the session's threads.
class t_callBackInf_btnTestCell final : public nkView_listener<nk_btnTestCell> {
public:
    explicit t_callBackInf_btnTestCell(nk_btnTestCell* button) : nkView_listener(button) {}
    void onTestBegin(long sessionIndex) override;
    void onTestEnd(long sessionIndex) override;
    void onStatusUpdated(long sessionIndex, long itemIndex) override;
    void onLogStrUpdated(long sessionIndex, const char* text) override;
};

// A button that draws its session's state: an amber background while a tester
// is connected, a title (the session's, else "TEST CELL"), and one cell per
// item coloured by status.
class nk_btnTestCell {
public:
    static constexpr const char* kDefaultTitle = "TEST CELL";

    // GUI thread: makes the platform button.
    nk_btnTestCell();
    // Unbinds first: the session stops calling before the button goes.
    ~nk_btnTestCell();
    nk_btnTestCell(const nk_btnTestCell&) = delete;
    nk_btnTestCell& operator=(const nk_btnTestCell&) = delete;

    // The platform button, to be placed in a window.
    QWidget* widget() const;

    // Stops listening to the bound session, then listens to `session` (null:
    // none) and takes every item's current status. The session must outlive
    // its binding.
    void setTestSession(CNK_testSession* session);
    CNK_testSession* testSession() const;

    // Listener operations, on the session's threads.
    void onTestBegin_sIdx(long sessionIndex);
    void onTestEnd_sIdx(long sessionIndex);
    void onStatusUpdated_sIdx(long sessionIndex, long itemIndex);
    void onLogStrUpdated_sIdx(long sessionIndex, const char* text);

    // What the button shows now: its title and the statuses it draws.
    std::string title() const;
    std::vector<t_nkTestStat> statusList() const;

    // Cells for n items in a button of this size; a zero pitch draws none.
    static t_nkTestCellGeometry cellGeometry(size_t itemCount, double width, double height);

    // Whether the bound session has a tester connected.
    bool isConnected() const;

private:
    // Refreshes one item's status (all for a negative index), then asks for a redraw.
    void storeStatuses(long itemIndex);
    void setNeedsDisplay();

    CNK_testSession* _pTestSession = nullptr;  // not owned; under _mtx
    t_callBackInf_btnTestCell* _intf;          // owned until retired
    std::vector<t_nkTestStat> _stat;           // one per item; under _mtx
    mutable std::mutex _mtx;
    // Under _mtx; null once deleted, by the button or by the window holding it.
    nkView_cellWidget* _widget = nullptr;
};

// ---------------------------------------------------------------- automation views

// A grid of test-cell buttons named btn_00, btn_01, ... in row order.
class nk_view_automation {
public:
    static constexpr size_t kButtonCount = 16;

    // GUI thread: loadView.
    nk_view_automation();
    virtual ~nk_view_automation();
    nk_view_automation(const nk_view_automation&) = delete;
    nk_view_automation& operator=(const nk_view_automation&) = delete;

    // The view to place in a window.
    QWidget* view() const;
    QWidget* window() const { return _window; }
    void setWindow(QWidget* window) { _window = window; }

    // Binds button i to session i for the buttons and sessions both have; the
    // list is not kept. A null list unbinds every button.
    void setTestSession(const std::vector<CNK_testSession*>* sessions);

    std::vector<nk_btnTestCell*> _btn;  // in outlet order

protected:
    nk_view_automation(size_t buttonCount, int columns, const char* name);

private:
    std::vector<std::unique_ptr<nk_btnTestCell>> _owned;
    QWidget* _view = nullptr;  // null once deleted, by this or by the window holding it
    QWidget* _window = nullptr;
};

// The same with 48 buttons.
class nk_view_automation_adv : public nk_view_automation {
public:
    static constexpr size_t kButtonCount = 48;
    nk_view_automation_adv();
};

// ---------------------------------------------------------------- test-session view

// Appended to an item's name in the session view's table, by status.
extern const std::array<const char*, 7> kPostFix;

// Hands a session's events to its view: begin, end and status changes are
// queued for the GUI thread with the view's widget as context (dropped with it),
// log text is buffered on the calling thread.
class callback_view_testSession final : public nkView_listener<nk_view_testSession> {
public:
    explicit callback_view_testSession(nk_view_testSession* view) : nkView_listener(view) {}
    void onTestBegin(long sessionIndex) override;
    void onTestEnd(long sessionIndex) override;
    void onStatusUpdated(long sessionIndex, long itemIndex) override;
    void onLogStrUpdated(long sessionIndex, const char* text) override;
};

// One session: a table of its items, a pass/fail banner, status and readiness
// lines and a log pane. Its widgets carry the outlet names as object names
// (table_view, status_text, readiness_text, pass_fail_text, text_view,
// img_isReady, img_status).
class nk_view_testSession {
public:
    static constexpr int kTimerMs = 64;

    // GUI thread: loadView.
    nk_view_testSession();
    ~nk_view_testSession();
    nk_view_testSession(const nk_view_testSession&) = delete;
    nk_view_testSession& operator=(const nk_view_testSession&) = delete;

    QWidget* view() const;
    ONK_TextBox* textView() const { return _textView.get(); }

    // Stops listening to the bound session, then shows `session` (null: none).
    void setTestSession(CNK_testSession* session);
    CNK_testSession* testSession() const { return _testSession; }

    // GUI thread.
    void onTestBegin();
    void onTestEnd();
    void onStatusUpdated(long itemIndex);
    void onTimer_100ms();
    void onTimer_33ms();
    void updateStatusString();
    // Any thread: buffered until the next log tick.
    void onLogStrUpdated(const char* text);

private:
    friend class callback_view_testSession;
    void showStandby();
    void stopTestTimer();
    // Queues fn for the GUI thread; dropped when the view's widget is gone.
    void post(void (*fn)(nk_view_testSession*, long), long arg);

    CNK_testSession* _testSession = nullptr;  // not owned
    callback_view_testSession* _cb;           // owned until retired
    std::unique_ptr<ONK_TextBox> _textView;
    std::unique_ptr<nkView_sessionWidgets> _w;
    std::string _logString;
    std::mutex _mtxLogString;
};
