#pragma once
// How the main window runs its modal dialogs: the file choosers, the message boxes, the reflash
// question, the settings dialog and the about box. The app runs them for the operator; tests
// hand in a runner of their own that answers them without showing anything.

#include <QDialog>

class TModalRunner {
public:
    virtual ~TModalRunner() = default;
    // Runs `dialog` modally; its result (for a message box, the standard button pressed).
    virtual int run(QDialog& dialog) { return dialog.exec(); }
};
