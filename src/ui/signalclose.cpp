#include "ui/signalclose.h"

#include <QSocketNotifier>
#include <QWidget>

#include "platform/stopsignals.h"

void closeOnSignals(QWidget& window) {
    const int fd = watchStopSignals();
    if (fd < 0) return;
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window, fd] {
        drainStopSignals(fd);
        window.close();
    });
}
