#include "ecu/ecuctl.h"

#include <chrono>

#include "data/ihexfile.h"

namespace ctl = ecu_controller;

namespace {

// Hides the progress dialog when connect ends, also when it ends with an error.
class THideOnExit {
public:
    explicit THideOnExit(TProgress& progress) : progress(progress) {}
    ~THideOnExit() { progress.hide(); }

private:
    TProgress& progress;
};

std::string failureText(const char* what) {
    return what && *what ? what : "The ECU command failed";
}

}  // namespace

// ---- Commands ---------------------------------------------------------------------------

bool TECUCommand::execute(TECU&) {
    if (countdown > 0) --countdown;
    return true;
}

void TECUCommand::reportOutcome(bool success) {
    if (statusByte) *statusByte = success ? succeeded : failed;
}

TECUFlashUpdate::TECUFlashUpdate(std::unique_ptr<TIHexFile> image) : hexFile(std::move(image)) {}

TECUFlashUpdate::~TECUFlashUpdate() = default;

bool TECUFlashUpdate::execute(TECU& ecu) {
    bool done = false;
    try {
        done = ecu.flashFirmware(*hexFile);
    } catch (...) {
        reportOutcome(false);
        throw;
    }
    reportOutcome(done);
    return done;
}

// ---- Controller -------------------------------------------------------------------------

TEcuController::TEcuController(TOperator& op, TLinkFactory linkFactory, bool startSuspended)
    : op(op), linkFactory(std::move(linkFactory)) {
    if (!startSuspended) start();
}

void TEcuController::start() {
    std::lock_guard<std::mutex> lock(listMutex);
    if (worker.joinable() || terminated) return;
    worker = std::thread([this] { run(); });
}

TEcuController::~TEcuController() {
    std::unique_lock<std::mutex> lock(listMutex);
    terminated = true;
    wake.notify_all();
    if (worker.joinable()) {
        // A command still running may be waiting for the GUI thread (a message, the progress
        // dialog): when that is this thread, its events must keep flowing while we wait. The
        // worker itself calls nobody at its end.
        while (!finished) {
            lock.unlock();
            op.window.processPendingEvents();
            lock.lock();
            if (!finished) wake.wait_for(lock, std::chrono::milliseconds(ctl::ecuWaitSliceMs));
        }
        lock.unlock();
        worker.join();
        lock.lock();
    }
    commands.clear();
    lock.unlock();

    std::unique_ptr<TECU> last;
    {
        std::lock_guard<std::mutex> ecuLock(ecuMutex);
        last = std::move(ecuObject);
    }
    last.reset();  // says goodbye when the link is still open
}

void TEcuController::run() {
    std::unique_ptr<TECU> made;
    std::string failure;
    try {
        made = std::make_unique<TECU>(op, linkFactory);
    } catch (const std::exception& e) {
        failure = failureText(e.what());
    } catch (...) {
        failure = "unknown error";
    }
    {
        std::lock_guard<std::mutex> lock(ecuMutex);
        ecuObject = std::move(made);
        ecuFailure = failure;
        ecuSettled = true;
    }
    ecuChanged.notify_all();

    std::unique_lock<std::mutex> lock(listMutex);
    while (!terminated) {
        if (commands.empty()) {
            wake.wait_for(lock, std::chrono::milliseconds(ctl::commandPollMs),
                          [this] { return !waitingForWork(); });
            continue;
        }
        // Last in, first out: of several waiting commands the newest runs first.
        std::unique_ptr<TECUCommand> command = std::move(commands.back());
        commands.pop_back();
        lock.unlock();
        runCommand(*command);
        command.reset();
        lock.lock();
    }
    finished = true;
    wake.notify_all();
}

void TEcuController::runCommand(TECUCommand& command) {
    std::string failure;
    try {
        if (!ecuObject) throw EControllerError("The ECU could not be set up: " + ecuFailure);
        command.execute(*ecuObject);
        return;
    } catch (const std::exception& e) {
        failure = failureText(e.what());
    } catch (...) {
        failure = failureText(nullptr);
    }
    // The operator may be waiting in the modal progress dialog for this command: end the wait,
    // then say why. The worker goes on serving commands.
    try {
        op.progress.close();
        op.window.reportMessage(failure);
    } catch (...) {
    }
}

void TEcuController::queueFirmwareUpdate(std::unique_ptr<TIHexFile> image) {
    queueCommand(std::make_unique<TECUFlashUpdate>(std::move(image)));
}

void TEcuController::queueCommand(std::unique_ptr<TECUCommand> command) {
    std::lock_guard<std::mutex> lock(listMutex);
    commands.push_back(std::move(command));
    wake.notify_all();
}

TECU& TEcuController::ecu() {
    {
        std::lock_guard<std::mutex> lock(listMutex);
        if (!worker.joinable()) throw EControllerError("The ECU controller has not been started");
    }
    const int64_t start = op.clock.nowMs();
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(ecuMutex);
            ecuChanged.wait_for(lock, std::chrono::milliseconds(ctl::ecuWaitSliceMs), [this] { return ecuSettled; });
            if (ecuObject) return *ecuObject;
            if (ecuSettled) throw EControllerError("The ECU could not be set up: " + ecuFailure);
        }
        if (op.clock.nowMs() - start >= ctl::ecuWaitMs)
            throw EControllerError("The ECU was not ready after " + std::to_string(ctl::ecuWaitMs / 1000) +
                                   " s");
        // The worker may be telling the operator something (a store that cannot be read) on
        // this very thread.
        op.window.processPendingEvents();
    }
}

bool TEcuController::connect() {
    TECU& e = ecu();
    op.progress.setCaption(online_text::connectingCaption);
    op.progress.show();
    THideOnExit hide(op.progress);
    return e.connect();
}

TOnlineOutcome TEcuController::goOnline(bool echo, const std::string& linkName) {
    TOnlineOutcome outcome = ecu().goOnline(echo, linkName);
    if (outcome.result != TOnlineOutcome::TResult::OpenFailed) debugEcho = echo;
    return outcome;
}

void TEcuController::useSerialLink(const std::string& port, int baudRate) { ecu().useSerialLink(port, baudRate); }
void TEcuController::useNetworkLink(const std::string& host, int port) { ecu().useNetworkLink(host, port); }
void TEcuController::saveLinkSettings() { ecu().saveLinkSettings(); }
std::string TEcuController::getLinkAddress() { return ecu().getLinkAddress(); }
int TEcuController::getLinkBaudRate() { return ecu().getLinkBaudRate(); }
bool TEcuController::isOnline() { return ecu().isOnline(); }
void TEcuController::setOnline(bool on) { ecu().setOnline(on); }

void TEcuController::setDebugEcho(bool on) {
    debugEcho = on;
    ecu().setDebugEcho(on);
}

void TEcuController::showHardwareConfig() {
    TECU& e = ecu();
    if (!hardwareEditor) throw EControllerError("The hardware configuration editor is not available");
    hardwareEditor(e);
}

TImportOutcome TEcuController::importSettings(const std::string& fileName) { return ecu().importSettings(fileName); }
bool TEcuController::needsFirmware() { return ecu().needsFirmware; }
