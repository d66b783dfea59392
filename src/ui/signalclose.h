#pragma once
// SIGINT and SIGTERM close the main window as its close box does: with a goodbye while online,
// after the ECU work in progress has ended, and not at all while a firmware update runs.

class QWidget;

void closeOnSignals(QWidget& window);
