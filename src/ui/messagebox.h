#pragma once
// The app's message box. Its texts are plain text with their line breaks kept: a message that
// holds a file name, a setting name or a version the ECU sent shows it as it came, never as
// markup, so that nothing it names is loaded or opened. It keeps within the screen: a text too
// tall for it is cut to its start and its last line with "... and N more lines", and the whole
// message is under "Show Details...".

#include <QMessageBox>

class TMessageBox : public QMessageBox {
    Q_OBJECT

public:
    // `detail` is the smaller text under the message (the reason); none when empty.
    TMessageBox(Icon icon, const QString& title, const QString& text, const QString& detail, StandardButtons buttons,
                QWidget* parent = nullptr);

    // The texts as given, before any cut.
    const QString& fullText() const { return whole; }
    const QString& fullDetail() const { return wholeDetail; }

    // What the box may take of the screen's height, its window frame left out.
    int roomOnScreen() const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    // Cuts the texts until the box fits roomOnScreen(); the whole message goes to the details.
    void fitScreen();
    void setPlainInformative(const QString& text);

    QString whole, wholeDetail;
};
