// The real veltrace program on a real X display (Xvfb, started by xvfb-run), driven by keyboard
// with xdotool against the simulated ECU: it goes online, shows the green picture, and leaves
// with a goodbye when the operator chooses File > Exit. Also measures how soon the window shows
// and how much memory the program holds while online.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <QScopeGuard>

#include <signal.h>

#include <fstream>

#include "support/simprocess.h"
#include "support/tempdir.h"

namespace {

// A program on the X display, with the environment every program of the test gets.
struct TDisplay {
    QProcessEnvironment env;

    // True when the program ran and succeeded; `out` takes its first output line.
    bool run(const QString& program, const QStringList& args, QString* out = nullptr) const {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(program, args);
        const bool done = p.waitForFinished(5000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        if (out) *out = QString::fromLocal8Bit(p.readLine()).trimmed();
        return done;
    }
    bool key(const QString& keys) const { return run("xdotool", {"key", "--delay", "50", keys}); }
    // The id of the shown window with that title, or an empty text.
    QString shownWindow(const QString& title) const {
        QString id;
        return run("xdotool", {"search", "--onlyvisible", "--name", "^" + title + "$"}, &id) ? id : QString();
    }
};

// Whether the green connected lamp shows where the main window draws it (x 138..170, below
// the menu bar).
bool greenLampIn(const QImage& image) {
    int green = 0;
    for (int y = 10; y < std::min(image.height(), 90); ++y)
        for (int x = 140; x < 168; ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.green() > c.red() + 60 && c.green() > c.blue() + 60) ++green;
        }
    return green > 100;
}

int rssKb(qint64 pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stoi(line.substr(6));
    return -1;
}

bool sent(const TSimProcess& sim, const std::string& kind, const std::string& bytes) {
    return joinedBytes(sim.transcript(), kind).find(bytes) != std::string::npos;
}

}  // namespace

TEST(RealProgram, WithoutADisplayItSaysSoAndBadArgumentsAreUsageErrors) {
    const std::vector<std::string> bare = {"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u",
                                           "QT_QPA_PLATFORM"};
    const std::string app = VELTRACE_APP_PATH;
    const struct {
        std::vector<std::string> run;  // after env's own arguments
        int status;
        const char* says;
    } cases[] = {
        {{app}, 1, "no display: neither DISPLAY nor WAYLAND_DISPLAY is set"},
        {{app, "--bogus"}, 2, "unexpected argument '--bogus'"},
        {{app, "-platform", "offscreen", "--bogus"}, 2, "unexpected argument '--bogus'"},
        {{"QT_QPA_PLATFORM=offscreen", app, "-style"}, 2, "unexpected argument '-style'"},
        {{"DISPLAY=:0", app, "extra"}, 2, "unexpected argument 'extra'"},
        {{app, "--help"}, 0, ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = bare;
        argv.insert(argv.end(), c.run.begin(), c.run.end());
        const TProgramResult r = runProgram(argv);
        EXPECT_EQ(r.exitCode, c.status) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Reinstalling"), std::string::npos) << r.err;
    }
}

TEST(RealProgram, GoesOnlineByKeyboardOnAnXDisplayAndLeavesWithAGoodbye) {
    for (const char* tool : {"xvfb-run", "xdotool"})
        if (QStandardPaths::findExecutable(tool).isEmpty())
            GTEST_SKIP() << tool << " is missing: scripts/setup.sh test installs it (packages xvfb, xauth, xdotool)";
    ASSERT_FALSE(QStandardPaths::findExecutable("import").isEmpty())
        << "import (package imagemagick) takes the screenshot: scripts/setup.sh test installs it";

    TSimProcess sim(simTcp());
    TTempDir home;
    QDir().mkpath(QString::fromStdString(home.path + "/config/Harnwick"));
    std::ofstream(home.path + "/config/Harnwick/Veltrace.conf")
        << "[General]\ncom.Type=network\ncomm.hostname=127.0.0.1\ncomm.portnum=" << sim.port() << "\n";

    // A display of its own for as long as the test needs it: xvfb-run keeps it while its
    // command (a shell that tells where the display is, then sleeps) runs. Without -noreset the
    // server resets whenever its last client leaves, and refuses connections meanwhile: an
    // xdotool look that ends while the program is still starting would shut the program out.
    QProcess xvfb;
    xvfb.start("xvfb-run", {"-a", "-s", "-noreset -screen 0 1024x768x24", "sh", "-c",
                            "echo \"$$ $DISPLAY $XAUTHORITY\"; exec sleep 120"});
    ASSERT_TRUE(xvfb.waitForReadyRead(15000)) << xvfb.readAllStandardError().toStdString();
    const QStringList where = QString::fromLocal8Bit(xvfb.readLine()).trimmed().split(' ');
    ASSERT_EQ(where.size(), 3) << where.join(' ').toStdString();
    const auto stopDisplay = qScopeGuard([&] {
        ::kill(where[0].toInt(), SIGTERM);
        xvfb.waitForFinished(10000);
    });

    TDisplay display;
    display.env = QProcessEnvironment::systemEnvironment();
    display.env.remove("QT_QPA_PLATFORM");
    display.env.insert("DISPLAY", where[1]);
    display.env.insert("XAUTHORITY", where[2]);
    display.env.insert("XDG_CONFIG_HOME", QString::fromStdString(home.path + "/config"));
    display.env.insert("XDG_DATA_HOME", QString::fromStdString(home.path + "/data"));

    QProcess app;
    app.setProcessEnvironment(display.env);
    app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer sinceStart;
    sinceStart.start();
    app.start(VELTRACE_APP_PATH, QStringList{});
    ASSERT_TRUE(app.waitForStarted(5000));
    const auto stopApp = qScopeGuard([&] {
        if (app.state() != QProcess::NotRunning) {
            app.kill();
            app.waitForFinished(5000);
        }
    });
    QString window;
    while ((window = display.shownWindow("Veltrace")).isEmpty() && sinceStart.elapsed() < 15000) QThread::msleep(10);
    const qint64 shownMs = sinceStart.elapsed();
    ASSERT_FALSE(window.isEmpty()) << "the main window did not show";
    RecordProperty("window_shown_ms", static_cast<int>(shownMs));

    // E&CU > &Online, by keyboard. Without a window manager the keyboard goes where it is sent.
    ASSERT_TRUE(display.run("xdotool", {"windowfocus", "--sync", window}));
    ASSERT_TRUE(display.key("alt+c"));
    QThread::msleep(300);
    ASSERT_TRUE(display.key("o"));

    // Online once the settings have come and the window shows the green picture.
    const QString shot = QStringLiteral(VELTRACE_SCREENSHOT_DIR "/veltrace-online.png");
    QDir().mkpath(QStringLiteral(VELTRACE_SCREENSHOT_DIR));
    bool online = false;
    QElapsedTimer waiting;
    waiting.start();
    while (!online && waiting.elapsed() < 20000) {
        QThread::msleep(250);
        QFile::remove(shot);
        online = display.run("import", {"-window", "root", shot}) && greenLampIn(QImage(shot));
    }
    ASSERT_TRUE(online) << "no green picture in " << shot.toStdString();
    const int rss = rssKb(app.processId());
    RecordProperty("online_rss_kb", rss);
    std::cout << "window shown after " << shownMs << " ms; " << rss / 1024 << " MB resident while online; screenshot "
              << shot.toStdString() << std::endl;
    EXPECT_TRUE(sent(sim, "rx", "Man"));
    EXPECT_TRUE(sent(sim, "tx", "Hello>\r"));
    EXPECT_TRUE(sent(sim, "rx", "mdVmcd"));
    EXPECT_FALSE(sent(sim, "rx", "bye"));

    // File > E&xit: the goodbye first, then the program ends by itself.
    ASSERT_TRUE(display.key("alt+f"));
    QThread::msleep(300);
    ASSERT_TRUE(display.key("x"));
    ASSERT_TRUE(app.waitForFinished(10000)) << "still running after File > Exit";
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
    EXPECT_TRUE(sim.waitForLog([](const TSimLogLine& l) { return l.kind == "rx" && l.bytes == "bye"; }));
    EXPECT_TRUE(sim.waitForLog([](const TSimLogLine& l) { return l.text.rfind("disconnect", 0) == 0; }));
}
