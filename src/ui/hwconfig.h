#pragma once
// The hardware configuration editor: a modal dialog over the ECU's settings table in which the
// operator edits the LCD, wide-band oxygen sensor and cooling-fan settings and switches single
// outputs on and off to test the wiring.
//
// A page shows the table's values each time it comes into view. Every change the operator
// commits is put into the table and written to the ECU at once; "Save Changes" has the ECU store
// them. Nothing is read back from the ECU. Outputs switched on here are switched off again when
// the dialog closes.

#include <QDialog>

#include <cstdint>
#include <string>
#include <vector>

class QComboBox;
class QFrame;
class QGridLayout;
class QKeyEvent;
class QLayout;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QToolButton;
class TECU;
class TMainServices;
struct TOperator;

// True, with the reason told to the operator, while the ECU is known to answer only through its
// bootloader: the bootloader takes the bytes of setting writes and output commands for its own
// commands (the "e" of "mde02" erases the flash, an "E" in a value starts what is flashed).
bool refusedForBootloader(const TECU& ecu, TMainServices& messages);

class ThardwareConfig : public QDialog {
    Q_OBJECT

public:
    // Works on `ecu`'s table; messages go to the operator's window, notes to the debug log, and
    // the pause of "Test Fan" runs on the operator's clock. Both outlive the dialog.
    ThardwareConfig(TECU& ecu, TOperator& op, QWidget* owner = nullptr);
    // Switches off what is still switched on.
    ~ThardwareConfig() override;

    // "Save Changes" is enabled exactly while changes are pending.
    void setChangesPending(bool pending);
    // A raised panel becomes lowered (true: switch the output on), a lowered one raised (false).
    static bool togglePanel(QFrame* panel);
    // An output panel as on (lowered, red, marked "ON") or off (raised, as the page).
    static void showPanel(QFrame* panel, bool on);

    // ---- Page fills, run when the page comes into view. A setting the table lacks stops the
    // fill with a message; the boxes not yet filled keep their text.
    void LCDShow();
    void WBO2Show();
    void outputPageShow();

    // ---- Handlers
    // The plain box of row `box` of the box table: its number goes into the table and to the
    // ECU, unless the operator has not changed it since it was filled or last committed.
    void commitBox(int box);
    void btn_wbenableClick();
    void btnCalibrateClick();
    void btnCalAdjustClick(bool up);
    void fan_channelChange();
    void fan_off_tempExit();
    void testFanBtnClick();
    // The output panel of row `panel` of the panel table: its output is switched, and the
    // panel shows the new state once the link has confirmed the command.
    void outputClick(int panel);
    void btnSaveClick();
    // Switches off every output this dialog switched on (the panel goes up again), with a note
    // in the debug log for each. An output whose switch-off the link did not confirm keeps its
    // panel down and is named, with the advice to power the ECU down, in the error raised.
    void switchOutputsOff();

    // ---- The form's parts, by their names
    QTabWidget* hwConfigs = nullptr;
    QWidget* LCD = nullptr;
    QWidget* WBO2 = nullptr;
    QWidget* knockPage = nullptr;
    QWidget* triggerPage = nullptr;
    QWidget* outputPage = nullptr;
    QWidget* outputDebug = nullptr;
    QPushButton* btnSave = nullptr;
    QPushButton* Close = nullptr;
    QLineEdit* wbo2_nernstdc_target = nullptr;
    QWidget* btnCalAdjust = nullptr;  // the up-down control: two arrows
    QToolButton* btnCalUp = nullptr;
    QToolButton* btnCalDown = nullptr;
    QPushButton* btnCalibrate = nullptr;
    QPushButton* btn_wbenable = nullptr;
    QLineEdit* Edit1 = nullptr;  // under "ego_pid_kp": never filled, commits nothing
    QComboBox* fan_channel = nullptr;
    QLineEdit* fan_off_temp = nullptr;
    QPushButton* testFanBtn = nullptr;
    std::vector<QLineEdit*> boxes;  // the plain boxes, in the order of the box table
    std::vector<QFrame*> panels;    // the output panels, in the order of the panel table
    // The box of that object name; null when none.
    QLineEdit* box(const char* name) const;
    // The output panel of that object name; null when none.
    QFrame* panel(const char* name) const;

    bool changesPending = false;
    int calPosition = 0;  // the up-down control's position, 0..255
    // The pause of "Test Fan" between the 0 and the box's value.
    static constexpr int testFanPauseMs = 1000;

signals:
    // A setting of the table was changed and written to the ECU.
    void settingsWritten();

protected:
    // Leaving a box commits it; a click on a panel, or Space on it, switches its output.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void done(int result) override;

private:
    void fillPage(int page);
    // The slot of the setting; raises the operator's message when the table has none.
    uint8_t slotOf(const char* name) const;
    // Into the table and out to the ECU.
    void writeValue(uint8_t slot, uint8_t value);
    void fill(QLineEdit* box, const char* setting);
    // Runs a handler; an error it raises is shown to the operator.
    template <class Handler>
    void guarded(Handler handler);

    TECU& ecu;
    TOperator& op;

    // ---- The form, built page by page from the page, box and panel tables
    void addPages();
    // The page's plain boxes from the box table, each after its label, in a grid of their own.
    QGridLayout* addBoxes(int page);
    void buildWbo2Page();
    // "O2 Sensor"'s row above its boxes: the sensor calibration and its buttons.
    QLayout* calibrationRow();
    // "Outputs": the fan's boxes.
    void buildOutputsPage();
    // "Output Debug": the warning and a switch panel per output.
    void buildOutputDebugPage();
    // "Save Changes" and "Close" under the pages.
    void addButtons();
    void connectHandlers();
};
