// The station window: the operator's controls over the delegate's listener and
// sessions. Every method here runs on the GUI thread; other threads reach the
// widgets only through queued calls with a widget as context.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSettings>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include "AppDelegate.h"
#include "CVLRA_cg_testSession.h"
#include "cvlra_parse_tools.h"
#include "nk_error.h"
#include "nk_graphics.h"
#include "nk_vdx.h"
#include "nk_view.h"
#include "host/pf_host.h"
#include "textview/pf_textview.h"

namespace {

constexpr const char* kLaunch = "Launch Server";
constexpr const char* kLaunching = "Launching...";
constexpr const char* kStop = "Stop Server";

// The status dot beside the launch button's title.
QIcon statusIcon(const QColor& colour) {
    QPixmap pm(14, 14);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(colour.darker(150), 1));
    p.setBrush(colour);
    p.drawEllipse(QRectF(1.5, 1.5, 11, 11));
    return QIcon(pm);
}
QIcon greenStatus() { return statusIcon(QColor(40, 180, 60)); }
QIcon neutralStatus() { return statusIcon(QColor(160, 160, 160)); }

template <typename W>
W* named(W* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

std::string text(const QLineEdit* field) { return field->text().toStdString(); }

// A tool's titles reach its button through the GUI loop; none arrives once the
// button is gone.
t_vdxToolProgress buttonTitles(QPushButton* button) {
    return [button](const std::string& title) {
        const QString t = QString::fromStdString(title);
        QMetaObject::invokeMethod(button, [button, t] { button->setText(t); }, Qt::QueuedConnection);
    };
}

}  // namespace

void AppDelegate::requireGuiThread(const char* function) const {
    const QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread())
        nkDebug_assertFail(__FILE__, "AppDelegate", function, __LINE__, "on the GUI thread");
}

void AppDelegate::storeDefault(const char* key, const std::string& value) {
    if (!store_) return;
    store_->setValue(QString::fromLatin1(key), QString::fromStdString(value));
    store_->sync();
}

void AppDelegate::createWindow(std::unique_ptr<QSettings> store) {
    requireGuiThread(__func__);
    if (_window) return;
    store_ = store ? std::move(store) : std::unique_ptr<QSettings>(lumbrel::newUserSettings());
    lumbrel::initializeUserDefault(*store_);

    _window = named(new QMainWindow, "_window");
    auto* central = new QWidget(_window);
    auto* root = new QVBoxLayout(central);

    // Server row: port, launch, configuration sheet, memory, development notice.
    auto* serverRow = new QHBoxLayout;
    serverRow->addWidget(new QLabel(QStringLiteral("Port")));
    _ctxt_port = named(new QLineEdit, "_ctxt_port");
    _ctxt_port->setMaximumWidth(90);
    serverRow->addWidget(_ctxt_port);
    _cbtn_launch = named(new QPushButton(QString::fromLatin1(kLaunch)), "_cbtn_launch");
    _cbtn_launch->setIcon(neutralStatus());
    _cbtn_launch->setMinimumWidth(130);
    serverRow->addWidget(_cbtn_launch);
    _cbtn_config = named(new QPushButton(QStringLiteral("Configuration...")), "_cbtn_config");
    serverRow->addWidget(_cbtn_config);
    serverRow->addStretch(1);
    _txt_testInfo = named(new QLabel, "_txt_testInfo");
    _txt_testInfo->setStyleSheet(QStringLiteral("color: #c02020; font-weight: bold;"));
    serverRow->addWidget(_txt_testInfo);
    _txt_memUsage = named(new QLabel(QStringLiteral("Mem: -")), "_txt_memUsage");
    _txt_memUsage->setMinimumWidth(110);
    serverRow->addWidget(_txt_memUsage);
    root->addLayout(serverRow);

    // The sixteen test cells.
    _view_automation = named(new QWidget, "_view_automation");
    _view_automation->setMinimumSize(820, 250);
    _view_automation->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    auto* cellsLayout = new QVBoxLayout(_view_automation);
    cellsLayout->setContentsMargins(0, 0, 0, 0);
    _automation = new nk_view_automation;
    _automation->setWindow(_window);
    cellsLayout->addWidget(_automation->view());
    const std::vector<CNK_testSession*> cells(_testSession.begin(), _testSession.end());
    _automation->setTestSession(&cells);
    root->addWidget(_view_automation, 3);

    // Operator switches and tools.
    auto* toolsRow = new QHBoxLayout;
    auto* repo = new QGroupBox(QStringLiteral("Repository"));
    auto* repoGrid = new QGridLayout(repo);
    _cbtn_hubrEnable = named(new QCheckBox(QStringLiteral("Submission")), "_cbtn_hubrEnable");
    _cbtn_devMode = named(new QCheckBox(QStringLiteral("Development mode")), "_cbtn_devMode");
    _cbtn_vdxDryrun = named(new QCheckBox(QStringLiteral("Dry run")), "_cbtn_vdxDryrun");
    _cbtn_vdxUploadOnFail = named(new QCheckBox(QStringLiteral("Upload on failure")), "_cbtn_vdxUploadOnFail");
    _cbtn_vdxTestOnRandomData =
        named(new QCheckBox(QStringLiteral("Random data")), "_cbtn_vdxTestOnRandomData");
    _cbtn_vdxTestSet = named(new QCheckBox(QStringLiteral("Test set")), "_cbtn_vdxTestSet");
    _ccmb_vdxLogLevel = named(new QComboBox, "_ccmb_vdxLogLevel");
    _ctxt_vdxSnInput = named(new QLineEdit, "_ctxt_vdxSnInput");
    _ctxt_vdxSnInput->setPlaceholderText(QStringLiteral("serial number or list file"));
    _ctxt_vdxBinPathInput = named(new QLineEdit, "_ctxt_vdxBinPathInput");
    _ctxt_vdxBinPathInput->setPlaceholderText(QStringLiteral("upload record folder"));
    _cbtn_vdxTestGet = named(new QPushButton(QStringLiteral("Download")), "_cbtn_vdxTestGet");
    _cbtn_vdxManualSet = named(new QPushButton(QStringLiteral("Upload")), "_cbtn_vdxManualSet");
    _ctxt_vdxPath = named(new QLineEdit, "_ctxt_vdxPath");
    _ctxt_vdxPath->setPlaceholderText(QStringLiteral("cell data folder"));
    _cbtn_vdxValidate = named(new QPushButton(QStringLiteral("Validate")), "_cbtn_vdxValidate");
    repoGrid->addWidget(_cbtn_hubrEnable, 0, 0);
    repoGrid->addWidget(_cbtn_devMode, 0, 1);
    repoGrid->addWidget(_cbtn_vdxDryrun, 0, 2);
    repoGrid->addWidget(_cbtn_vdxUploadOnFail, 1, 0);
    repoGrid->addWidget(_cbtn_vdxTestOnRandomData, 1, 1);
    repoGrid->addWidget(_cbtn_vdxTestSet, 1, 2);
    repoGrid->addWidget(new QLabel(QStringLiteral("Log level")), 2, 0);
    repoGrid->addWidget(_ccmb_vdxLogLevel, 2, 1, 1, 2);
    repoGrid->addWidget(_ctxt_vdxSnInput, 3, 0, 1, 2);
    repoGrid->addWidget(_cbtn_vdxTestGet, 3, 2);
    repoGrid->addWidget(_ctxt_vdxBinPathInput, 4, 0, 1, 2);
    repoGrid->addWidget(_cbtn_vdxManualSet, 4, 2);
    repoGrid->addWidget(_ctxt_vdxPath, 5, 0, 1, 2);
    repoGrid->addWidget(_cbtn_vdxValidate, 5, 2);
    toolsRow->addWidget(repo, 3);

    auto* files = new QGroupBox(QStringLiteral("Stored packets and calibration"));
    auto* filesGrid = new QGridLayout(files);
    _ctxt_atstBin = named(new QLineEdit, "_ctxt_atstBin");
    _ctxt_atstBin->setPlaceholderText(QStringLiteral("stored transmittance packet"));
    _cbtn_parseAtst = named(new QPushButton(QStringLiteral("Parse atst")), "_cbtn_parseAtst");
    _ctxt_unifBin = named(new QLineEdit, "_ctxt_unifBin");
    _ctxt_unifBin->setPlaceholderText(QStringLiteral("stored uniformity packet"));
    _cbtn_parseUnif = named(new QPushButton(QStringLiteral("Parse unif")), "_cbtn_parseUnif");
    _ctxt_calcABin = named(new QLineEdit, "_ctxt_calcABin");
    _ctxt_calcABin->setPlaceholderText(QStringLiteral("cell calibration folder"));
    _cbtn_calcA = named(new QPushButton(QStringLiteral("Calc A factor")), "_cbtn_calcA");
    for (QPushButton* b : {_cbtn_parseAtst, _cbtn_parseUnif, _cbtn_calcA}) b->setMinimumWidth(110);
    filesGrid->addWidget(_ctxt_atstBin, 0, 0);
    filesGrid->addWidget(_cbtn_parseAtst, 0, 1);
    filesGrid->addWidget(_ctxt_unifBin, 1, 0);
    filesGrid->addWidget(_cbtn_parseUnif, 1, 1);
    filesGrid->addWidget(_ctxt_calcABin, 2, 0);
    filesGrid->addWidget(_cbtn_calcA, 2, 1);
    filesGrid->setRowStretch(3, 1);
    toolsRow->addWidget(files, 2);
    root->addLayout(toolsRow);

    // The log pane (launch step 6).
    _ctxt_log = new ONK_TextBox;
    QWidget* logWidget = _ctxt_log->view()->widget();
    logWidget->setObjectName(QStringLiteral("_ctxt_log"));
    logWidget->setMinimumHeight(160);
    _ctxt_log->configureTextFormat(QFontDatabase::systemFont(QFontDatabase::FixedFont).family().toStdString().c_str(),
                                   10.0, 4096.0);
    root->addWidget(logWidget, 2);
    _window->setCentralWidget(central);

    // The configuration sheet with the four repository endpoints.
    _cdlg_config = named(new QDialog(_window), "_cdlg_config");
    _cdlg_config->setWindowModality(Qt::WindowModal);
    _cdlg_config->setWindowTitle(QStringLiteral("Configuration"));
    auto* form = new QFormLayout(_cdlg_config);
    _ctxt_vdxCaUrl = named(new QLineEdit, "_ctxt_vdxCaUrl");
    _ctxt_vdxDsSetUrl = named(new QLineEdit, "_ctxt_vdxDsSetUrl");
    _ctxt_vdxDsGetUrl = named(new QLineEdit, "_ctxt_vdxDsGetUrl");
    _ctxt_vdxTrObjUrl = named(new QLineEdit, "_ctxt_vdxTrObjUrl");
    for (QLineEdit* f : {_ctxt_vdxCaUrl, _ctxt_vdxDsSetUrl, _ctxt_vdxDsGetUrl, _ctxt_vdxTrObjUrl}) f->setMinimumWidth(380);
    form->addRow(QStringLiteral("CA server"), _ctxt_vdxCaUrl);
    form->addRow(QStringLiteral("Data store (set)"), _ctxt_vdxDsSetUrl);
    form->addRow(QStringLiteral("Data store (get)"), _ctxt_vdxDsGetUrl);
    form->addRow(QStringLiteral("Trust object"), _ctxt_vdxTrObjUrl);
    _cbtn_configClose = named(new QPushButton(QStringLiteral("Close")), "_cbtn_configClose");
    form->addRow(_cbtn_configClose);

    // Actions.
    QObject::connect(_cbtn_launch, &QPushButton::clicked, _window, [this] { OnBtn_launchServer(); });
    QObject::connect(_ctxt_port, &QLineEdit::editingFinished, _window, [this] { OnTxt_portNumber(); });
    QObject::connect(_cbtn_config, &QPushButton::clicked, _window, [this] { OnBtn_config(); });
    QObject::connect(_cbtn_configClose, &QPushButton::clicked, _window, [this] { OnBtn_config_dlgClose(); });
    // Escape or the title bar's close button ends the sheet as its close button does.
    QObject::connect(_cdlg_config, &QDialog::rejected, _window, [this] { OnBtn_config_dlgClose(); });
    QObject::connect(_ctxt_vdxCaUrl, &QLineEdit::editingFinished, _window, [this] { OnTxt_vdxCaUrl(); });
    QObject::connect(_ctxt_vdxDsSetUrl, &QLineEdit::editingFinished, _window, [this] { OnTxt_vdxDsSetUrl(); });
    QObject::connect(_ctxt_vdxDsGetUrl, &QLineEdit::editingFinished, _window, [this] { OnTxt_vdxDsGetUrl(); });
    QObject::connect(_ctxt_vdxTrObjUrl, &QLineEdit::editingFinished, _window, [this] { OnTxt_vdxTrObjUrl(); });
    QObject::connect(_cbtn_devMode, &QCheckBox::clicked, _window, [this] { OnBtn_devMode(); });
    QObject::connect(_cbtn_hubrEnable, &QCheckBox::clicked, _window, [this] { OnBtn_hubrEnable(); });
    QObject::connect(_cbtn_vdxDryrun, &QCheckBox::clicked, _window, [this] { OnBtn_vdxDryrunSelect(); });
    QObject::connect(_cbtn_vdxUploadOnFail, &QCheckBox::clicked, _window, [this] { OnBtn_vdxUploadonFail(); });
    QObject::connect(_cbtn_vdxTestOnRandomData, &QCheckBox::clicked, _window,
                     [this] { OnBtn_vdxTestOnRandomData(); });
    QObject::connect(_cbtn_vdxTestSet, &QCheckBox::clicked, _window, [this] { OnBtn_vdxTestSet(); });
    QObject::connect(_ccmb_vdxLogLevel, &QComboBox::activated, _window, [this] { OnBtn_vdxLogLevel(); });
    QObject::connect(_cbtn_parseAtst, &QPushButton::clicked, _window, [this] { OnBtn_parseAtst(); });
    QObject::connect(_cbtn_parseUnif, &QPushButton::clicked, _window, [this] { OnBtn_parseUnif(); });
    QObject::connect(_cbtn_calcA, &QPushButton::clicked, _window, [this] { OnBtn_CalcAfactor(); });
    QObject::connect(_cbtn_vdxTestGet, &QPushButton::clicked, _window, [this] { OnBtn_vdxTestGet(); });
    QObject::connect(_cbtn_vdxManualSet, &QPushButton::clicked, _window, [this] { OnBtn_vdxManualSet(); });
    QObject::connect(_cbtn_vdxValidate, &QPushButton::clicked, _window, [this] { OnBtn_ValidateVDXData(); });

    // Launch steps that concern the window. The switches start as the station's
    // own defaults, or as its command line asked.
    _cbtn_hubrEnable->setChecked(switches_.hubrEnabled);
    for (const char* level :
         {"LOG_EMERG", "LOG_ALERT", "LOG_CRIT", "LOG_ERR", "LOG_WARNING", "LOG_NOTICE", "LOG_INFO", "LOG_DEBUG"})
        _ccmb_vdxLogLevel->addItem(QString::fromLatin1(level));
    _ccmb_vdxLogLevel->setCurrentIndex(4);
    _cbtn_vdxTestOnRandomData->setChecked(false);
    OnBtn_vdxTestOnRandomData();
    _cbtn_vdxUploadOnFail->setChecked(false);
    OnBtn_vdxUploadonFail();
    // Upload's folder field goes and comes with its button.
    for (QWidget* w : std::initializer_list<QWidget*>{_cbtn_vdxManualSet, _ctxt_vdxBinPathInput, _cbtn_vdxDryrun,
                                                      _cbtn_vdxTestSet, _cbtn_hubrEnable, _cbtn_vdxUploadOnFail,
                                                      _cbtn_devMode})
        w->setHidden(true);
    _window->setWindowTitle(QStringLiteral("Lumbrel IQC ") + QString::fromStdString(_hostVersion));
    _cbtn_devMode->setChecked(_isDevelopmentMode);
    if (_isDevelopmentMode) OnBtn_devMode();
    _cbtn_vdxDryrun->setChecked(switches_.repositoryDryRun);
    OnBtn_vdxDryrunSelect();

    // A port on the command line wins over the stored one, as it does headless.
    _ctxt_port->setText(settings_.portFromCommandLine
                            ? QString::number(settings_.port)
                            : store_->value(QString::fromLatin1(lumbrel::kKeyPort)).toString());
    // The operator's endpoints; the defaults above hold the built-in ones where none was stored.
    const auto stored = [this](const char* key) { return store_->value(QString::fromLatin1(key)).toString(); };
    _ctxt_vdxCaUrl->setText(stored(lumbrel::kKeyVdxCaUrl));
    _ctxt_vdxDsSetUrl->setText(stored(lumbrel::kKeyVdxDsSetUrl));
    _ctxt_vdxDsGetUrl->setText(stored(lumbrel::kKeyVdxDsGetUrl));
    _ctxt_vdxTrObjUrl->setText(stored(lumbrel::kKeyVdxTrustObjectUrl));
    // The folder Upload sends from, shown so it can be seen and changed.
    t_vdxToolSettings folders;
    folders.dataRoot = settings_.dataRoot;
    _ctxt_vdxBinPathInput->setText(QString::fromStdString(vdxTool_postFolder(folders)));
    for (CVLRA_cg_testSession* session : _testSession)
        session->updateOperatorSettings([&](t_vlraOperatorSettings& o) {
            o.vdxCaUrl = text(_ctxt_vdxCaUrl);
            o.vdxDsSetUrl = text(_ctxt_vdxDsSetUrl);
            o.vdxDsGetUrl = text(_ctxt_vdxDsGetUrl);
            o.vdxTrustObjectUrl = text(_ctxt_vdxTrObjUrl);
        });
    OnBtn_hubrEnable();
    _cbtn_launch->setText(QString::fromLatin1(kLaunch));

    _timer33 = new QTimer(_window);
    _timer33->setInterval(330);
    QObject::connect(_timer33, &QTimer::timeout, _window, [this] { OnTimer33(); });
    _timer33->start();
    _timer1000 = new QTimer(_window);
    _timer1000->setInterval(1000);
    QObject::connect(_timer1000, &QTimer::timeout, _window, [this] { OnTimer1000(); });
    _timer1000->start();

    // Closing the window ends the program (the caller's event loop quits).
    _window->resize(1100, 760);
}

void AppDelegate::stopTimers() {
    for (QTimer* t : {_timer33, _timer1000})
        if (t) t->stop();
}

void AppDelegate::storeWindowDefaults() {
    requireGuiThread(__func__);
    // The data-store "get" endpoint is kept only while the program runs, and a
    // port from the command line only once the operator launched on it or typed one.
    if (!settings_.portFromCommandLine || text(_ctxt_port) != std::to_string(settings_.port))
        storeDefault(lumbrel::kKeyPort, text(_ctxt_port));
    storeDefault(lumbrel::kKeyVdxCaUrl, text(_ctxt_vdxCaUrl));
    storeDefault(lumbrel::kKeyVdxDsSetUrl, text(_ctxt_vdxDsSetUrl));
    storeDefault(lumbrel::kKeyVdxTrustObjectUrl, text(_ctxt_vdxTrObjUrl));
}

void AppDelegate::unbindCells() {
    requireGuiThread(__func__);
    if (_automation) _automation->setTestSession(nullptr);
}

void AppDelegate::destroyWindow() {
    requireGuiThread(__func__);
    // The pane's widget first: the text box owns it, the window only shows it.
    delete _ctxt_log;
    _ctxt_log = nullptr;
    // The cells likewise; they stopped listening at unbindCells.
    delete _automation;
    _automation = nullptr;
    delete _window;
    _window = nullptr;
    _timer33 = _timer1000 = nullptr;
    store_.reset();
}

void AppDelegate::postServerStopped() {
    // On the listener's thread: the widgets change on the GUI thread, and not at
    // all once the button is gone.
    QMetaObject::invokeMethod(
        _cbtn_launch,
        [this] {
            _cbtn_launch->setIcon(neutralStatus());
            _cbtn_launch->setText(QString::fromLatin1(kLaunch));
            _ctxt_port->setEnabled(true);
        },
        Qt::QueuedConnection);
}

// ---------------------------------------------------------------- actions

void AppDelegate::OnBtn_launchServer() {
    requireGuiThread(__func__);
    const QString title = _cbtn_launch->text();
    if (title == QLatin1String(kLaunch)) {
        OnTxt_portNumber();
        _cbtn_launch->setText(QString::fromLatin1(kLaunching));
        u16 port = 0;
        u16 err = kNKErr_invalidParam;
        if (parseServerPort(text(_ctxt_port), &port)) {
            err = launchServer(port);
        } else {
            _lm->printText(kVL1, "Port %s is not one of 1024 to 65535", text(_ctxt_port).c_str());
            _lm->printText(kVL1, "Server Launch Failed");
        }
        if (err == 0) {
            _cbtn_launch->setIcon(greenStatus());
            _cbtn_launch->setText(QString::fromLatin1(kStop));
            _ctxt_port->setEnabled(false);
        } else {
            _cbtn_launch->setIcon(neutralStatus());
            _cbtn_launch->setText(QString::fromLatin1(kLaunch));
        }
    } else if (title == QLatin1String(kStop)) {
        // The listener's close callback gives the button and the port field back.
        _server->Close();
    }
}

void AppDelegate::OnTxt_portNumber() {
    requireGuiThread(__func__);
    storeDefault(lumbrel::kKeyPort, text(_ctxt_port));
}

void AppDelegate::OnBtn_config() {
    requireGuiThread(__func__);
    if (_cdlg_isOpen_config) return;
    _cdlg_isOpen_config = true;
    _cdlg_config->show();
}

void AppDelegate::OnBtn_config_dlgClose() {
    requireGuiThread(__func__);
    if (!_cdlg_isOpen_config) return;
    OnTxt_vdxCaUrl();
    OnTxt_vdxDsSetUrl();
    OnTxt_vdxDsGetUrl();
    OnTxt_vdxTrObjUrl();
    _cdlg_isOpen_config = false;
    _cdlg_config->hide();
}

void AppDelegate::applyUrl(QLineEdit* field, const char* key, std::string t_vlraOperatorSettings::*member) {
    requireGuiThread(__func__);
    const std::string url = text(field);
    storeDefault(key, url);
    for (CVLRA_cg_testSession* session : _testSession)
        session->updateOperatorSettings([&](t_vlraOperatorSettings& o) { o.*member = url; });
}

void AppDelegate::OnTxt_vdxCaUrl() { applyUrl(_ctxt_vdxCaUrl, lumbrel::kKeyVdxCaUrl, &t_vlraOperatorSettings::vdxCaUrl); }
void AppDelegate::OnTxt_vdxDsSetUrl() {
    applyUrl(_ctxt_vdxDsSetUrl, lumbrel::kKeyVdxDsSetUrl, &t_vlraOperatorSettings::vdxDsSetUrl);
}
void AppDelegate::OnTxt_vdxDsGetUrl() {
    applyUrl(_ctxt_vdxDsGetUrl, lumbrel::kKeyVdxDsGetUrl, &t_vlraOperatorSettings::vdxDsGetUrl);
}
void AppDelegate::OnTxt_vdxTrObjUrl() {
    applyUrl(_ctxt_vdxTrObjUrl, lumbrel::kKeyVdxTrustObjectUrl, &t_vlraOperatorSettings::vdxTrustObjectUrl);
}

void AppDelegate::OnBtn_devMode() {
    requireGuiThread(__func__);
    _isDevelopmentMode = _cbtn_devMode->isChecked();
    _txt_testInfo->setText(_isDevelopmentMode ? QStringLiteral("!!! Development Mode !!!") : QString());
    for (QWidget* w : std::initializer_list<QWidget*>{_cbtn_vdxManualSet, _ctxt_vdxBinPathInput, _cbtn_vdxDryrun,
                                                      _cbtn_vdxTestSet, _cbtn_hubrEnable})
        w->setHidden(!_isDevelopmentMode);
    const bool dev = _isDevelopmentMode;
    for (CVLRA_cg_testSession* session : _testSession)
        session->updateOperatorSettings([dev](t_vlraOperatorSettings& o) { o.isDevelopmentMode = dev; });
}

void AppDelegate::OnBtn_hubrEnable() {
    requireGuiThread(__func__);
    const bool on = _cbtn_hubrEnable->isChecked();
    for (CVLRA_cg_testSession* session : _testSession)
        session->updateOperatorSettings([on](t_vlraOperatorSettings& o) { o.isHubrEnabled = on; });
}

void AppDelegate::OnBtn_vdxDryrunSelect() {
    requireGuiThread(__func__);
    // The log root is the station's application folder (it holds the dry-run files).
    const std::string path = _cbtn_vdxDryrun->isChecked() ? _logPath_root : std::string();
    for (CVLRA_cg_testSession* session : _testSession)
        session->updateOperatorSettings([&](t_vlraOperatorSettings& o) { o.vdxDryRunPath = path; });
}

void AppDelegate::OnBtn_vdxUploadonFail() {
    requireGuiThread(__func__);
    const bool on = _cbtn_vdxUploadOnFail->isChecked();
    _lm->printText(kVL1, on ? "*** VDX Enable Upload on Failure" : "*** VDX Disable Upload on Failure");
    for (CVLRA_cg_testSession* session : _testSession)
        session->updateOperatorSettings([on](t_vlraOperatorSettings& o) { o.vdxUploadOnFail = on; });
}

void AppDelegate::OnBtn_vdxTestOnRandomData() {
    requireGuiThread(__func__);
    const bool on = _cbtn_vdxTestOnRandomData->isChecked();
    _lm->printText(kVL1, on ? "*** VDX Use Random Data for Testing" : "*** VDX Use Input Data for Testing");
    _ctxt_vdxSnInput->setEnabled(!on);
    _ctxt_vdxBinPathInput->setReadOnly(on);
}

void AppDelegate::OnBtn_vdxTestSet() { requireGuiThread(__func__); }

void AppDelegate::OnBtn_vdxLogLevel() {
    requireGuiThread(__func__);
    const int index = _ccmb_vdxLogLevel->currentIndex();
    if (index >= 0 && index <= 7) nkVdx_setVdxLogLevel(u8(index));
}

void AppDelegate::OnBtn_parseAtst() {
    requireGuiThread(__func__);
    vlra_parseAtstFile(_lm, text(_ctxt_atstBin), _logPath_root);
}

void AppDelegate::OnBtn_parseUnif() {
    requireGuiThread(__func__);
    vlra_parseUnifFile(_lm, text(_ctxt_unifBin), _logPath_root);
}

void AppDelegate::OnBtn_CalcAfactor() {
    requireGuiThread(__func__);
    t_vlraCalcAOptions options = calcAOptions(text(_ctxt_calcABin));
    // The run's titles reach the button through the GUI loop; termination joins
    // the run before the button goes.
    QPushButton* button = _cbtn_calcA;
    options.progress = [button](const std::string& title, bool visible) {
        const QString t = QString::fromStdString(title);
        QMetaObject::invokeMethod(
            button,
            [button, t, visible] {
                button->setText(t);
                button->setVisible(visible);
            },
            Qt::QueuedConnection);
    };
    if (!startTool([options](const std::atomic<bool>& stop) mutable {
            options.stop = &stop;
            nkVlra_calcAFactors(options);
        }))
        _lm->printText(kVL1, "[Err] a tool is running; the calibration did not start");
}

t_vdxToolSettings AppDelegate::toolSettings() const {
    requireGuiThread(__func__);
    t_vdxToolSettings s;
    s.lm = _lm;
    s.caUrl = text(_ctxt_vdxCaUrl);
    s.dsSetUrl = text(_ctxt_vdxDsSetUrl);
    s.dsGetUrl = text(_ctxt_vdxDsGetUrl);
    s.trustObjectUrl = text(_ctxt_vdxTrObjUrl);
    s.dryRun = _cbtn_vdxDryrun->isChecked();
    s.permission = _vdxCert;
    s.dataRoot = settings_.dataRoot;
    s.uploadFolder = text(_ctxt_vdxBinPathInput);
    s.appFolder = _logPath_root;
    // The window log keeps no file of its own: a run's file is closed at its end.
    return s;
}

bool AppDelegate::startButtonTool(QPushButton* button, const char* what, CVLRA_vdxToolThread::t_job job) {
    requireGuiThread(__func__);
    const bool started = startTool([button, job = std::move(job)](const std::atomic<bool>& stop) {
        job(stop);
        QMetaObject::invokeMethod(button, [button] { button->setEnabled(true); }, Qt::QueuedConnection);
    });
    // The queued enabling runs on this thread, so never before this.
    if (started) button->setEnabled(false);
    else _lm->printText(kVL1, "[Err] a tool is running; %s did not start", what);
    return started;
}

void AppDelegate::OnBtn_vdxTestGet() {
    requireGuiThread(__func__);
    const t_vdxToolSettings s = toolSettings();
    const std::string input = text(_ctxt_vdxSnInput);
    startButtonTool(_cbtn_vdxTestGet, "the download",
                    [s, input, progress = buttonTitles(_cbtn_vdxTestGet)](const std::atomic<bool>& stop) {
                        vdxTool_batchDownload(s, input, progress, stop);
                    });
}

void AppDelegate::OnBtn_vdxManualSet() {
    requireGuiThread(__func__);
    const t_vdxToolSettings s = toolSettings();
    // The box and the sessions follow the upload's dry-run choice on the GUI thread.
    QCheckBox* box = _cbtn_vdxDryrun;
    auto applyDryRun = [this, box](bool on) {
        QMetaObject::invokeMethod(
            box,
            [this, box, on] {
                box->setChecked(on);
                OnBtn_vdxDryrunSelect();
            },
            Qt::QueuedConnection);
    };
    startButtonTool(_cbtn_vdxManualSet, "the upload",
                    [s, applyDryRun, progress = buttonTitles(_cbtn_vdxManualSet)](const std::atomic<bool>& stop) {
                        vdxTool_manualUpload(s, applyDryRun, progress, stop);
                    });
}

void AppDelegate::OnBtn_ValidateVDXData() {
    requireGuiThread(__func__);
    const t_vdxToolSettings s = toolSettings();
    const std::string folder = text(_ctxt_vdxPath);
    // A folder of many units takes long: the window stays live meanwhile.
    startButtonTool(_cbtn_vdxValidate, "the validation",
                    [s, folder, progress = buttonTitles(_cbtn_vdxValidate)](const std::atomic<bool>& stop) {
                        progress("VDX Validating ....");
                        const t_vdxToolResult r = vdxTool_validateCellFolder(s, folder, stop);
                        progress(r.code == 0 ? "VDX Validation Pass!!!" : "VDX Validation Failed!!!");
                    });
}

// ---------------------------------------------------------------- timers

void AppDelegate::OnTimer33() {
    requireGuiThread(__func__);
    // The relay never waits for this thread: it only appends under the lock.
    const std::string pending = takeLogString();
    if (!pending.empty()) _ctxt_log->appendStr(pending.c_str(), 2);
    const int64_t resident = pf::host::residentBytes();
    if (resident >= 0)
        _txt_memUsage->setText(QString::asprintf("Mem: %.1f MB", double(float(resident) * 9.536743e-07f)));
}

void AppDelegate::OnTimer1000() {}
