#include "ui/hwconfig.h"

#include <QComboBox>
#include <QEvent>
#include <QFocusEvent>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QStyleOptionFocusRect>
#include <QStylePainter>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <exception>
#include <numeric>
#include <stdexcept>

#include "data/namematch.h"
#include "ecu/ecu.h"
#include "platform/convert.h"
#include "platform/services.h"
#include "ui/ecuwork.h"

namespace {

// A value the operator gave that the ECU cannot take, or a setting its table lacks.
class EEditorError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

constexpr const char* rangeError = "Range check error";

// The pages, in tab order; the dialog opens on the last.
enum TPage { lcdPage, wbo2Page, knockSensorPage, triggerSetupPage, outputsPage, outputDebugPage, pageCount };
constexpr int oneColumn = 1000;  // more rows than any page has
struct TPageSpec {
    const char* name;
    const char* caption;
    int rowsPerColumn;  // of labelled boxes, before the next pair of columns starts
};
constexpr TPageSpec pageSpecs[pageCount] = {
    {"LCD", "LCD", oneColumn},
    {"WBO2", "O2 Sensor", 11},
    {"knockPage", "Knock Sensor", oneColumn},
    {"triggerPage", "Trigger Setup", oneColumn},
    {"outputPage", "Outputs", oneColumn},
    {"outputDebug", "Output Debug", oneColumn},
};

// When a plain box commits: when it loses the focus, or at every change of its text.
enum class TCommit { exit, change };

struct TBoxSpec {
    TPage page;
    const char* name;
    const char* caption;
    const char* setting;
    TCommit commit;
};

// The plain boxes, in the order their page fills them.
constexpr TBoxSpec boxSpecs[] = {
    {lcdPage, "lcd_c0", "lcd_c0", "lcd_c0", TCommit::exit},
    {lcdPage, "lcd_backlight", "lcd_backlight", "lcd_backlight", TCommit::exit},
    {lcdPage, "lcd_delay", "lcd_delay", "lcd_delay", TCommit::exit},
    {lcdPage, "lcd_default_view", "lcd_default_view", "lcd_default_view", TCommit::exit},
    {lcdPage, "lcd_offs0", "lcd_offs[0]", "lcd_offs[0]", TCommit::exit},
    {lcdPage, "lcd_offs1", "lcd_offs[1]", "lcd_offs[1]", TCommit::exit},
    {lcdPage, "lcd_offs2", "lcd_offs[2]", "lcd_offs[2]", TCommit::exit},
    {lcdPage, "lcd_offs3", "lcd_offs[3]", "lcd_offs[3]", TCommit::exit},
    {wbo2Page, "wbo2_warmup_ramp", "wbo2_warmup_ramp", "wbo2_warmup_ramp", TCommit::exit},
    {wbo2Page, "wbo2_warmup_target", "wbo2_warmup_target", "wbo2_warmup_target", TCommit::exit},
    {wbo2Page, "wbo2_abs_limit", "wbo2_abs_limit", "wbo2_abs_limit", TCommit::exit},
    {wbo2Page, "wbo2_limit_maxt", "wbo2_limit_maxt", "wbo2_limit_maxt", TCommit::exit},
    {wbo2Page, "wbo2_fallback", "wbo2_fallback", "wbo2_fallback", TCommit::exit},
    {wbo2Page, "wbo2_retry_t", "wbo2_retry_t", "wbo2_retry_t", TCommit::exit},
    {wbo2Page, "wbo2_edgetime_corr", "wbo2_edgetime_corr", "wbo2_edgetime_corr", TCommit::exit},
    {wbo2Page, "wbo2_edgetime_min", "wbo2_edgetime_min", "wbo2_edgetime_min", TCommit::exit},
    {wbo2Page, "wbo2_ri_target", "wbo2_ri_target", "wbo2_ri_target", TCommit::exit},
    {wbo2Page, "wbo2_pump_pw_zero", "wbo2_pump_pw_zero", "wbo2_pump_pw_zero", TCommit::exit},
    {wbo2Page, "wbo2_calibration", "wbo2_calibration", "wbo2_calibration", TCommit::exit},
    {wbo2Page, "wbo2_heater_pid_kp", "wbo2_heater_pid_kp", "wbo2_heater_pid_kp", TCommit::change},
    {wbo2Page, "wbo2_heater_pid_ki", "wbo2_heater_pid_ki", "wbo2_heater_pid_ki", TCommit::exit},
    {wbo2Page, "wbo2_heater_pid_kd", "wbo2_heater_pid_kd", "wbo2_heater_pid_kd", TCommit::exit},
    {wbo2Page, "wbo2_heater_pid_ilimit", "wbo2_heater_pid_ilimit", "wbo2_heater_pid_ilimit", TCommit::exit},
    {wbo2Page, "wbo2_pump_pid_kp", "wbo2_pump_pid_kp", "wbo2_pump_pid_kp", TCommit::exit},
    {wbo2Page, "wbo2_pump_pid_ki", "wbo2_pump_pid_ki", "wbo2_pump_pid_ki", TCommit::exit},
    {wbo2Page, "wbo2_pump_pid_kd", "wbo2_pump_pid_kd", "wbo2_pump_pid_kd", TCommit::exit},
    {wbo2Page, "wbo2_pump_pid_ilimit", "wbo2_pump_pid_ilimit", "wbo2_pump_pid_ilimit", TCommit::exit},
    {wbo2Page, "wbo2_ri_confidence_scale", "wbo2_ri_confidence_scale", "wbo2_ri_confidence_scale", TCommit::exit},
    {outputsPage, "fan_temp", "Fan On Temp", "fan_temp", TCommit::exit},
};

// The form is built page by page, and `boxes` must stay in the order of this table.
constexpr bool boxesInPageOrder() {
    for (size_t i = 1; i < std::size(boxSpecs); ++i)
        if (boxSpecs[i].page < boxSpecs[i - 1].page) return false;
    return true;
}
static_assert(boxesInPageOrder(), "the box table goes page by page");

constexpr int boxesOn(int page) {
    int n = 0;
    for (const TBoxSpec& entry : boxSpecs) n += entry.page == page;
    return n;
}

// Output channel codes: the low four bits pick a group of outputs, the high four bits count
// 0 to 7 within it (coil n is n*16 + 2).
struct TPanelEntry {
    const char* name;
    const char* caption;
    uint8_t code;
    int column;  // on the page: injectors, coils, drives, LEDs
};
constexpr int outputColumns = 4;
constexpr TPanelEntry panelEntries[] = {
    {"LED1", "LED1 (onboard)", 39, 3},      {"LED2", "LED2 (onboard)", 55, 3},
    {"DRIVEA", "MISCA (18-12)", 1, 2},      {"DRIVEB", "MISCB (18-6)", 17, 2},
    {"DRIVE08", "DRIVE08 (36-4)", 7, 2},    {"DRIVE09", "DRIVE09 (36-6)", 23, 2},
    {"DRIVE10", "DRIVE10 (36-31)", 99, 2},  {"DRIVE11", "DRIVE11 (36-30)", 115, 2},
    {"Panel1", "FUELP (36-15)", 83, 2},     {"COIL0", "COIL0 (36-35)", 2, 1},
    {"COIL1", "COIL1 (36-33)", 18, 1},      {"COIL2", "COIL2 (36-34)", 34, 1},
    {"COIL3", "COIL3 (36-36)", 50, 1},      {"COIL4", "COIL4 (36-11)", 66, 1},
    {"COIL5", "COIL5 (36-12)", 82, 1},      {"COIL6", "COIL6 (36-24)", 98, 1},
    {"COIL7", "COIL7 (36-10)", 114, 1},     {"INJ0", "Injector Pos #1", 0, 0},
    {"INJ1", "Injector Pos #2", 16, 0},     {"INJ2", "Injector Pos #3", 32, 0},
    {"INJ3", "Injector Pos #4", 48, 0},     {"INJ4", "Injector Pos #5", 64, 0},
    {"INJ5", "Injector Pos #6", 80, 0},     {"INJ6", "Injector Pos #7", 96, 0},
    {"Panel9", "Injector Pos #8", 112, 0},
};

// The fan's output channel, by the same codes.
struct TFanItem {
    const char* text;
    uint8_t code;
};
constexpr TFanItem fanItems[] = {
    {"Misc A", 1},  {"Misc B", 17}, {"Coil 0", 2},  {"Coil 1", 18},  {"Coil 2", 34},
    {"Coil 3", 50}, {"Coil 4", 66}, {"Coil 5", 82}, {"Coil 6", 98},  {"Coil 7", 114},
    {"Drive 8", 7}, {"Drive 9", 23}, {"LED 1", 39}, {"LED 2", 55},
};
constexpr uint8_t noFanChannel = 15;  // the code when no item is chosen

// "config13" bit 1 switches the wide-band sensor; the whole byte is replaced.
constexpr uint8_t wbo2Enabled = 2;
constexpr uint8_t egoConfWbo2 = 7;

constexpr const char* warningText = "WARNING: Activating outputs connected to fuel injectors or coils may be hazardous!";
constexpr int boxWidth = 56;
constexpr int panelWidth = 148, panelHeight = 30;
// An output that is on: a red panel with white text and an "ON" mark, seen across the room.
constexpr QRgb outputOnColour = qRgb(0xd0, 0x10, 0x10);
constexpr const char* onMarkName = "onMark";
constexpr int pauseSliceMs = 20;  // the window repaints at least this often during a pause

QString latin(const char* text) { return QString::fromLatin1(text); }

// A number from 0 to 255 in a box; the operator's message when it is none.
uint8_t byteOf(const QString& text) {
    const int value = strToInt(text.toStdString());
    if (value < 0 || value > 255) throw EEditorError(rangeError);
    return static_cast<uint8_t>(value);
}

QLineEdit* newBox(QWidget* parent, const char* name) {
    auto* box = new QLineEdit(parent);
    box->setObjectName(latin(name));
    box->setFixedWidth(boxWidth);
    return box;
}

// A label beside `field`, named after it.
QLabel* labelFor(QWidget* field, const char* caption) {
    auto* label = new QLabel(latin(caption), field->parentWidget());
    label->setObjectName(QStringLiteral("lbl") + field->objectName());
    label->setBuddy(field);
    return label;
}

// An output's switch panel. It takes the keyboard focus (Tab, a click) and shows it with a
// focus frame inside its bevel.
class TOutputPanel : public QFrame {
public:
    using QFrame::QFrame;

protected:
    void paintEvent(QPaintEvent* event) override {
        QFrame::paintEvent(event);
        if (!hasFocus()) return;
        QStylePainter painter(this);
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = contentsRect().adjusted(1, 1, -1, -1);
        painter.drawPrimitive(QStyle::PE_FrameFocusRect, option);
    }
};

QPushButton* newButton(QWidget* parent, const char* name, const char* caption) {
    auto* button = new QPushButton(latin(caption), parent);
    button->setObjectName(latin(name));
    button->setAutoDefault(false);  // Return in a box commits it; it never closes the dialog
    return button;
}

// One arrow of the calibration's up-down control.
QToolButton* newArrow(QWidget* parent, const char* name, Qt::ArrowType arrow) {
    auto* button = new QToolButton(parent);
    button->setArrowType(arrow);
    button->setObjectName(latin(name));
    button->setAutoRepeat(true);
    button->setFixedSize(18, 11);
    return button;
}

// The n-th field of a grid of labelled fields, after its label; a column pair holds
// `perColumn` of them.
void placeField(QGridLayout* grid, QWidget* field, const char* caption, int n, int perColumn) {
    const int row = n % perColumn, column = 2 * (n / perColumn);
    grid->addWidget(labelFor(field, caption), row, column);
    grid->addWidget(field, row, column + 1);
}

// An output's switch panel, raised (off), with its caption and the hidden "ON" mark.
QFrame* newOutputPanel(QWidget* parent, const TPanelEntry& entry) {
    auto* frame = new TOutputPanel(parent);
    frame->setObjectName(latin(entry.name));
    frame->setFrameStyle(QFrame::Panel | QFrame::Raised);
    frame->setLineWidth(2);
    frame->setFixedSize(panelWidth, panelHeight);
    frame->setFocusPolicy(Qt::StrongFocus);
    auto* onMark = new QLabel(QStringLiteral("ON"), frame);
    onMark->setObjectName(latin(onMarkName));
    QFont bold = onMark->font();
    bold.setBold(true);
    onMark->setFont(bold);
    onMark->setAttribute(Qt::WA_TransparentForMouseEvents);
    onMark->hide();
    auto* caption = new QLabel(latin(entry.caption), frame);
    caption->setAlignment(Qt::AlignCenter);
    caption->setAttribute(Qt::WA_TransparentForMouseEvents);
    auto* inside = new QHBoxLayout(frame);
    inside->setContentsMargins(6, 2, 4, 2);
    inside->addWidget(onMark);
    inside->addWidget(caption, 1);
    return frame;
}

// Tab goes down each column in turn, as the panels (in the order of the panel table) stand.
void tabDownColumns(const std::vector<QFrame*>& panels) {
    std::vector<size_t> byColumn(panels.size());
    std::iota(byColumn.begin(), byColumn.end(), size_t{0});
    std::stable_sort(byColumn.begin(), byColumn.end(),
                     [](size_t a, size_t b) { return panelEntries[a].column < panelEntries[b].column; });
    for (size_t k = 1; k < byColumn.size(); ++k) QWidget::setTabOrder(panels[byColumn[k - 1]], panels[byColumn[k]]);
}

// A page's layout: `grid` at the top left; what stands above it is inserted at 0.
QVBoxLayout* layOutPage(QWidget* page, QGridLayout* grid) {
    auto* layout = new QVBoxLayout(page);
    grid->setColumnStretch(grid->columnCount(), 1);
    layout->addLayout(grid);
    layout->addStretch(1);
    return layout;
}

}  // namespace

bool refusedForBootloader(const TECU& ecu, TMainServices& messages) {
    if (!ecu.needsFirmware) return false;
    messages.reportMessage("The ECU answered only through its bootloader: nothing is written to it until it runs "
                           "a firmware. Update its firmware (ECU > Firmware Update), then go offline and online "
                           "again.");
    return true;
}

ThardwareConfig::ThardwareConfig(TECU& ecu, TOperator& op, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint), ecu(ecu), op(op) {
    setObjectName(QStringLiteral("hardwareConfig"));
    setWindowTitle(QStringLiteral("hardwareConfig"));
    addPages();
    layOutPage(LCD, addBoxes(lcdPage));
    buildWbo2Page();
    for (QWidget* empty : {knockPage, triggerPage}) layOutPage(empty, new QGridLayout);
    buildOutputsPage();
    buildOutputDebugPage();
    addButtons();
    connectHandlers();
    // Opens on "Output Debug", which needs no fill; the others fill whenever they are shown.
    hwConfigs->setCurrentIndex(outputDebugPage);
    connect(hwConfigs, &QTabWidget::currentChanged, this, &ThardwareConfig::fillPage);
    setChangesPending(false);
}

// ---- The form, page by page -------------------------------------------------------------

void ThardwareConfig::addPages() {
    hwConfigs = new QTabWidget(this);
    hwConfigs->setObjectName(QStringLiteral("hwConfigs"));
    QWidget** named[pageCount] = {&LCD, &WBO2, &knockPage, &triggerPage, &outputPage, &outputDebug};
    for (int p = 0; p < pageCount; ++p) {
        *named[p] = new QWidget;
        (*named[p])->setObjectName(latin(pageSpecs[p].name));
        hwConfigs->addTab(*named[p], latin(pageSpecs[p].caption));
    }
}

QGridLayout* ThardwareConfig::addBoxes(int page) {
    auto* grid = new QGridLayout;
    int n = 0;
    for (const TBoxSpec& entry : boxSpecs) {
        if (entry.page != page) continue;
        QLineEdit* field = newBox(hwConfigs->widget(page), entry.name);
        placeField(grid, field, entry.caption, n++, pageSpecs[page].rowsPerColumn);
        boxes.push_back(field);
        if (entry.commit == TCommit::change) {
            const int i = static_cast<int>(boxes.size()) - 1;
            connect(field, &QLineEdit::textEdited, this, [this, i] { commitBox(i); });
        } else {
            field->installEventFilter(this);
        }
    }
    return grid;
}

void ThardwareConfig::buildWbo2Page() {
    QLayout* calibration = calibrationRow();
    QGridLayout* grid = addBoxes(wbo2Page);
    Edit1 = newBox(WBO2, "Edit1");
    placeField(grid, Edit1, "ego_pid_kp", boxesOn(wbo2Page), pageSpecs[wbo2Page].rowsPerColumn);
    grid->setColumnMinimumWidth(1, boxWidth + 24);
    layOutPage(WBO2, grid)->insertLayout(0, calibration);
}

QLayout* ThardwareConfig::calibrationRow() {
    wbo2_nernstdc_target = newBox(WBO2, "wbo2_nernstdc_target");
    wbo2_nernstdc_target->setReadOnly(true);
    btnCalAdjust = new QWidget(WBO2);
    btnCalAdjust->setObjectName(QStringLiteral("btnCalAdjust"));
    auto* arrows = new QVBoxLayout(btnCalAdjust);
    arrows->setContentsMargins(0, 0, 0, 0);
    arrows->setSpacing(0);
    btnCalUp = newArrow(btnCalAdjust, "btnCalUp", Qt::UpArrow);
    btnCalDown = newArrow(btnCalAdjust, "btnCalDown", Qt::DownArrow);
    arrows->addWidget(btnCalUp);
    arrows->addWidget(btnCalDown);
    btnCalibrate = newButton(WBO2, "btnCalibrate", "Calibrate WBO2");
    btn_wbenable = newButton(WBO2, "btn_wbenable", "Enable WBO2");
    auto* row = new QHBoxLayout;
    row->addWidget(labelFor(wbo2_nernstdc_target, "Sensor Calibration"));
    row->addWidget(wbo2_nernstdc_target);
    row->addWidget(btnCalAdjust);
    row->addSpacing(12);
    row->addWidget(btnCalibrate);
    row->addWidget(btn_wbenable);
    row->addStretch(1);
    return row;
}

void ThardwareConfig::buildOutputsPage() {
    QGridLayout* grid = addBoxes(outputsPage);
    fan_channel = new QComboBox(outputPage);
    fan_channel->setObjectName(QStringLiteral("fan_channel"));
    for (const TFanItem& item : fanItems) fan_channel->addItem(latin(item.text));
    fan_off_temp = newBox(outputPage, "fan_off_temp");
    fan_off_temp->installEventFilter(this);
    testFanBtn = newButton(outputPage, "testFanBtn", "Test Fan");
    // Under the fan's temperature.
    const int n = boxesOn(outputsPage), perColumn = pageSpecs[outputsPage].rowsPerColumn;
    placeField(grid, fan_channel, "Fan Channel", n, perColumn);
    placeField(grid, fan_off_temp, "Fan Off Temp", n + 1, perColumn);
    grid->addWidget(testFanBtn, n + 2, 1);
    layOutPage(outputPage, grid);
}

void ThardwareConfig::buildOutputDebugPage() {
    auto* warning = new QLabel(latin(warningText), outputDebug);
    warning->setObjectName(QStringLiteral("lblWarning"));
    warning->setWordWrap(true);
    warning->setStyleSheet(QStringLiteral("color: #c00000; font-weight: bold"));
    auto* grid = new QGridLayout;
    int rows[outputColumns] = {};
    for (const TPanelEntry& entry : panelEntries) {
        QFrame* frame = newOutputPanel(outputDebug, entry);
        frame->installEventFilter(this);
        grid->addWidget(frame, rows[entry.column]++, entry.column);
        panels.push_back(frame);
    }
    tabDownColumns(panels);
    layOutPage(outputDebug, grid)->insertWidget(0, warning);
}

void ThardwareConfig::addButtons() {
    btnSave = newButton(this, "btnSave", "Save Changes");
    Close = newButton(this, "Close", "Close");
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(btnSave);
    buttons->addWidget(Close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(hwConfigs);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void ThardwareConfig::connectHandlers() {
    connect(btnCalUp, &QToolButton::clicked, this, [this] { btnCalAdjustClick(true); });
    connect(btnCalDown, &QToolButton::clicked, this, [this] { btnCalAdjustClick(false); });
    connect(btnCalibrate, &QPushButton::clicked, this, &ThardwareConfig::btnCalibrateClick);
    connect(btn_wbenable, &QPushButton::clicked, this, &ThardwareConfig::btn_wbenableClick);
    connect(fan_channel, &QComboBox::activated, this, &ThardwareConfig::fan_channelChange);
    connect(testFanBtn, &QPushButton::clicked, this, &ThardwareConfig::testFanBtnClick);
    connect(btnSave, &QPushButton::clicked, this, &ThardwareConfig::btnSaveClick);
    connect(Close, &QPushButton::clicked, this, &QDialog::accept);
}

ThardwareConfig::~ThardwareConfig() {
    // The boxes lose the focus while they are destroyed: nothing may commit by then.
    for (QLineEdit* field : boxes) field->removeEventFilter(this);
    fan_off_temp->removeEventFilter(this);
    try {
        switchOutputsOff();
    } catch (...) {
        // A destructor raises nothing; the debug log names what may still be on.
    }
}

QLineEdit* ThardwareConfig::box(const char* name) const { return findChild<QLineEdit*>(latin(name)); }

QFrame* ThardwareConfig::panel(const char* name) const {
    for (QFrame* frame : panels)
        if (frame->objectName() == latin(name)) return frame;
    return nullptr;
}

void ThardwareConfig::setChangesPending(bool pending) {
    changesPending = pending;
    btnSave->setEnabled(pending);
}

bool ThardwareConfig::togglePanel(QFrame* panel) {
    const bool on = panel->frameShadow() == QFrame::Raised;
    showPanel(panel, on);
    return on;
}

void ThardwareConfig::showPanel(QFrame* panel, bool on) {
    panel->setFrameShadow(on ? QFrame::Sunken : QFrame::Raised);
    QPalette colours;  // nothing of its own: the page's colours
    if (on) {
        colours.setColor(QPalette::Window, QColor(outputOnColour));
        colours.setColor(QPalette::WindowText, Qt::white);
    }
    panel->setPalette(colours);
    panel->setAutoFillBackground(on);
    if (QLabel* mark = panel->findChild<QLabel*>(latin(onMarkName))) mark->setVisible(on);
}

template <class Handler>
void ThardwareConfig::guarded(Handler handler) {
    ::guarded(op.window, handler);
}

uint8_t ThardwareConfig::slotOf(const char* name) const {
    const std::vector<int> holders = slotsNamed(*ecu.settings, name);
    if (holders.empty()) throw EEditorError(std::string("This ECU has no setting named ") + name);
    // Which of them the editor means nobody can tell: writing the first could change the wrong one.
    if (holders.size() > 1) {
        std::string list;
        for (size_t i = 0; i < holders.size(); ++i)
            list += (i == 0 ? "" : i + 1 == holders.size() ? " and " : ", ") + std::to_string(holders[i]);
        throw EEditorError("This ECU's table holds " + std::string(name) + " in " + std::to_string(holders.size()) +
                           " holders (" + list + "): the editor cannot tell which to use; set it in the settings table");
    }
    return static_cast<uint8_t>(holders[0]);
}

void ThardwareConfig::writeValue(uint8_t slot, uint8_t value) {
    // A write awaits no reply; a link that has gone meanwhile is told, not left unnoticed. The
    // windows show the value either way: it may have reached the ECU.
    try {
        ecu.writeSettingConfirmed(slot, value);
    } catch (...) {
        emit settingsWritten();
        throw;
    }
    emit settingsWritten();
}

void ThardwareConfig::fill(QLineEdit* field, const char* setting) {
    field->setText(QString::number(ecu.settings->getValue(slotOf(setting))));
}

// ---- Page fills -------------------------------------------------------------------------

void ThardwareConfig::fillPage(int page) {
    guarded([&] {
        if (page == lcdPage) LCDShow();
        else if (page == wbo2Page) WBO2Show();
        else if (page == outputsPage) outputPageShow();
    });
}

void ThardwareConfig::LCDShow() {
    for (size_t i = 0; i < boxes.size(); ++i)
        if (boxSpecs[i].page == lcdPage) fill(boxes[i], boxSpecs[i].setting);
}

void ThardwareConfig::WBO2Show() {
    fill(wbo2_nernstdc_target, "wbo2_nernstdc_target");
    calPosition = ecu.settings->getValue(slotOf("wbo2_nernstdc_target"));
    const bool enabled = (ecu.settings->getValue(slotOf("config13")) & wbo2Enabled) != 0;
    btn_wbenable->setText(enabled ? QStringLiteral("Disable WBO2") : QStringLiteral("Enable WBO2"));
    for (size_t i = 0; i < boxes.size(); ++i)
        if (boxSpecs[i].page == wbo2Page) fill(boxes[i], boxSpecs[i].setting);
}

void ThardwareConfig::outputPageShow() {
    const uint8_t channel = ecu.settings->getValue(slotOf("fan_channel"));
    const auto item = std::find_if(std::begin(fanItems), std::end(fanItems),
                                   [&](const TFanItem& f) { return f.code == channel; });
    fan_channel->setCurrentIndex(item == std::end(fanItems) ? 0 : static_cast<int>(item - std::begin(fanItems)));
    for (size_t i = 0; i < boxes.size(); ++i)
        if (boxSpecs[i].page == outputsPage) fill(boxes[i], boxSpecs[i].setting);
    const int on = ecu.settings->getValue(slotOf("fan_temp"));
    const int hysteresis = ecu.settings->getValue(slotOf("fan_hyst"));
    fan_off_temp->setText(QString::number(std::max(on - hysteresis, 0)));
}

// ---- Handlers ---------------------------------------------------------------------------

bool ThardwareConfig::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut) {
        // Leaving the box, not the window: a message box or another program taking the focus
        // is no exit.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
            if (watched == fan_off_temp) {
                fan_off_tempExit();
            } else {
                const auto at = std::find(boxes.begin(), boxes.end(), watched);
                if (at != boxes.end()) commitBox(static_cast<int>(at - boxes.begin()));
            }
        }
    } else if (event->type() == QEvent::KeyPress) {
        // Space switches the panel that has the focus, as it does a button.
        const auto* key = static_cast<QKeyEvent*>(event);
        const auto at = std::find(panels.begin(), panels.end(), watched);
        if (at != panels.end() && key->key() == Qt::Key_Space && key->modifiers() == Qt::NoModifier) {
            if (!key->isAutoRepeat()) outputClick(static_cast<int>(at - panels.begin()));
            return true;
        }
    } else if (event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const auto at = std::find(panels.begin(), panels.end(), watched);
        if (at != panels.end() && mouse->button() == Qt::LeftButton &&
            (*at)->rect().contains(mouse->position().toPoint())) {
            outputClick(static_cast<int>(at - panels.begin()));
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void ThardwareConfig::commitBox(int i) {
    QLineEdit* field = boxes[i];
    if (!field->isModified()) return;
    guarded([&] {
        const uint8_t slot = slotOf(boxSpecs[i].setting);
        const uint8_t value = byteOf(field->text());
        // The box now says what the table holds: leaving it again writes nothing.
        field->setModified(false);
        writeValue(slot, value);
        setChangesPending(true);
    });
}

void ThardwareConfig::btn_wbenableClick() {
    guarded([&] {
        const uint8_t config = slotOf("config13");
        const uint8_t ego = slotOf("ego_conf");
        const bool enable = (ecu.settings->getValue(config) & wbo2Enabled) == 0;
        ecu.settings->setValue(ego, enable ? egoConfWbo2 : 0);
        ecu.settings->setValue(config, enable ? wbo2Enabled : 0);
        btn_wbenable->setText(enable ? QStringLiteral("Disable WBO2") : QStringLiteral("Enable WBO2"));
        writeValue(ego, ecu.settings->getValue(ego));
        writeValue(config, ecu.settings->getValue(config));
        setChangesPending(true);
    });
}

void ThardwareConfig::btnCalibrateClick() {
    guarded([&] { ecu.setOutputTestMode(true); });
}

void ThardwareConfig::btnCalAdjustClick(bool up) {
    guarded([&] {
        int value = byteOf(wbo2_nernstdc_target->text());
        if (up && value < 255) ++value;
        if (!up && value > 0) --value;
        wbo2_nernstdc_target->setText(QString::number(value));
        calPosition = value;
        writeValue(slotOf("wbo2_nernstdc_target"), static_cast<uint8_t>(value));
        setChangesPending(true);
    });
}

void ThardwareConfig::fan_channelChange() {
    guarded([&] {
        const uint8_t slot = slotOf("fan_channel");
        const int item = fan_channel->currentIndex();
        writeValue(slot, item < 0 ? noFanChannel : fanItems[item].code);
        setChangesPending(true);
    });
}

void ThardwareConfig::fan_off_tempExit() {
    if (!fan_off_temp->isModified()) return;
    guarded([&] {
        const uint8_t slot = slotOf("fan_hyst");
        const int on = byteOf(box("fan_temp")->text());
        const int off = byteOf(fan_off_temp->text());
        int hysteresis = on - off;
        if (hysteresis < 0) {
            fan_off_temp->setText(QStringLiteral("0"));
            hysteresis = 0;
        }
        fan_off_temp->setModified(false);
        writeValue(slot, static_cast<uint8_t>(hysteresis));
        setChangesPending(true);
    });
}

void ThardwareConfig::testFanBtnClick() {
    guarded([&] {
        const uint8_t slot = slotOf("fan_temp");
        writeValue(slot, 0);
        // The window repaints meanwhile; the operator's input waits.
        const int64_t end = op.clock.nowMs() + testFanPauseMs;
        for (int64_t now = op.clock.nowMs(); now < end; now = op.clock.nowMs()) {
            op.window.processPendingEvents();
            op.clock.sleepMs(static_cast<int>(std::min<int64_t>(pauseSliceMs, end - now)));
        }
        writeValue(slot, byteOf(box("fan_temp")->text()));
    });
}

void ThardwareConfig::outputClick(int i) {
    const bool on = panels[i]->frameShadow() == QFrame::Raised;
    const TPanelEntry& panel = panelEntries[i];
    guarded([&] {
        // The panel follows what the link confirmed, not the click.
        ecu.setOutputConfirmed(panel.code, on, panel.caption);
        showPanel(panels[i], on);
    });
}

void ThardwareConfig::btnSaveClick() {
    if (!changesPending) return;
    setChangesPending(false);
    guarded([&] { ecu.storeConfirmed(); });
}

void ThardwareConfig::switchOutputsOff() {
    std::string stillOn;
    for (size_t i = 0; i < panels.size(); ++i) {
        if (panels[i]->frameShadow() == QFrame::Raised) continue;
        const TPanelEntry& panel = panelEntries[i];
        const std::string output = std::string(panel.caption) + " (output " + std::to_string(panel.code) + ")";
        try {
            ecu.setOutputConfirmed(panel.code, false, panel.caption);
        } catch (const std::exception& e) {
            // The panel stays down: nothing says the output went off.
            const std::string text = output + " may still be on: " + e.what();
            op.log.appendText("\rHardware configuration closed: " + text + "\r", expectedColor);
            stillOn += (stillOn.empty() ? "" : "\n") + text;
            continue;
        }
        showPanel(panels[i], false);
        op.log.appendText("\rHardware configuration closed: " + output + " switched off again\r", expectedColor);
    }
    if (!stillOn.empty())
        throw EEditorError(stillOn + "\nPower the ECU down: an output left on can overheat an injector or a coil.");
}

void ThardwareConfig::keyPressEvent(QKeyEvent* event) {
    // Ctrl+Tab and Ctrl+Shift+Tab turn the pages wherever the focus is (the buttons below too).
    const bool tab = event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab;
    if (tab && (event->modifiers() & Qt::ControlModifier)) {
        const bool back = event->key() == Qt::Key_Backtab || (event->modifiers() & Qt::ShiftModifier);
        const int count = hwConfigs->count();
        hwConfigs->setCurrentIndex((hwConfigs->currentIndex() + (back ? count - 1 : 1)) % count);
        return;
    }
    QDialog::keyPressEvent(event);
}

void ThardwareConfig::done(int result) {
    guarded([&] { switchOutputsOff(); });
    QDialog::done(result);
}
