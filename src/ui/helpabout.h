#pragma once
// The about box: the product's name and icon, the program file's version and a legal notice.

#include <QDialog>

#include "platform/versionreader.h"

class QLabel;

class TAboutBox : public QDialog {
    Q_OBJECT
public:
    // `version` is the version information shown; it must outlive the box.
    explicit TAboutBox(const TVersionReader& version = programVersion(), QWidget* parent = nullptr);

protected:
    // Each time the box opens: "Version: " and the file version, the box centred on the screen.
    void showEvent(QShowEvent* event) override;

private:
    const TVersionReader& version;
    QLabel* versionLabel;
};
