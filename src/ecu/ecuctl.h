#pragma once
// The one way from the operator's windows to the ECU: a worker thread that owns the TECU and
// serves a list of queued commands (the firmware update), and thin forwarding operations that
// use the TECU on the caller's own thread.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ecu/ecu.h"

class TIHexFile;

// A forwarding call that found no TECU: the worker could not create it, or has not yet.
class EControllerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The controller's timing.
namespace ecu_controller {
// An idle worker looks at its command list at least this often; a queued command or the end
// of the controller wakes it at once.
inline constexpr int commandPollMs = 25;
// How long a forwarding call waits for the worker to create the TECU, and the longest wait
// between two rounds of the GUI's events meanwhile.
inline constexpr int ecuWaitMs = 10000;
inline constexpr int ecuWaitSliceMs = 5;
}  // namespace ecu_controller

// A piece of work for the worker thread. The worker takes it out of the list, executes it and
// destroys it.
class TECUCommand {
public:
    virtual ~TECUCommand() = default;
    // Counts `countdown` down while it is positive. The worker ignores the result.
    virtual bool execute(TECU& ecu);
    // Writes the outcome to `statusByte` when there is one: 1 succeeded, 2 failed.
    void reportOutcome(bool success);

    static constexpr uint8_t succeeded = 1;
    static constexpr uint8_t failed = 2;

    int32_t countdown = 0;
    uint8_t* statusByte = nullptr;
};

// Writes a firmware image into the ECU. The command owns the image; the progress dialog is
// closed when the flash ends, however it ends.
class TECUFlashUpdate : public TECUCommand {
public:
    explicit TECUFlashUpdate(std::unique_ptr<TIHexFile> image);
    ~TECUFlashUpdate() override;
    // Runs the flash. An early end is raised (EFlashError) after the outcome "failed" is
    // written; the worker then tells the operator.
    bool execute(TECU& ecu) override;

    std::unique_ptr<TIHexFile> hexFile;
};

class TEcuController {
public:
    // Opens the hardware configuration editor of the app on the TECU, modally.
    using THardwareEditor = std::function<void(TECU&)>;

    // The worker starts at once unless `startSuspended`; then it waits for start(). The
    // operator seams and the link factory outlive the controller.
    TEcuController(TOperator& op, TLinkFactory linkFactory, bool startSuspended = false);
    // Ends and joins the worker, then destroys the TECU (which says goodbye when the link is
    // still open: the app goes offline itself before). Called on the GUI thread, it keeps the
    // GUI's events flowing meanwhile, so that calls the worker made before its end can run.
    ~TEcuController();
    TEcuController(const TEcuController&) = delete;
    TEcuController& operator=(const TEcuController&) = delete;

    // Starts a worker that was created suspended; does nothing otherwise.
    void start();

    // Handshake, version and settings download on the caller's thread, with the progress
    // dialog showing "Connecting..." meanwhile; the TECU's result.
    bool connect();
    // TECU::goOnline on the caller's thread; the echo is recorded once the link opened.
    TOnlineOutcome goOnline(bool echo, const std::string& linkName);
    // Queues the flash of `image` for the worker.
    void queueFirmwareUpdate(std::unique_ptr<TIHexFile> image);
    // Queues any command; the newest waiting command runs first.
    void queueCommand(std::unique_ptr<TECUCommand> command);

    // Forwarding operations: the TECU's own, on the caller's thread. They wait (bounded) for
    // the worker to create the TECU and raise EControllerError when it is not there.
    void useSerialLink(const std::string& port, int baudRate);
    void useNetworkLink(const std::string& host, int port);
    void saveLinkSettings();
    std::string getLinkAddress();
    int getLinkBaudRate();
    bool isOnline();
    void setOnline(bool on);
    void setDebugEcho(bool on);
    // Runs the editor given with setHardwareEditor; raises EControllerError without one.
    void showHardwareConfig();
    TImportOutcome importSettings(const std::string& fileName);
    bool needsFirmware();

    // The app's hardware configuration editor (the core has no windows of its own).
    void setHardwareEditor(THardwareEditor editor) { hardwareEditor = std::move(editor); }
    // The TECU, once the worker has created it (waits like the forwarding operations).
    TECU& ecu();

    // The last setDebugEcho argument. Written on the GUI thread only.
    bool debugEcho = false;

private:
    void run();
    void runCommand(TECUCommand& command);
    bool waitingForWork() const { return !terminated && commands.empty(); }

    TOperator& op;
    TLinkFactory linkFactory;
    THardwareEditor hardwareEditor;

    // The TECU and what became of its creation; guarded by ecuMutex.
    std::mutex ecuMutex;
    std::condition_variable ecuChanged;
    std::unique_ptr<TECU> ecuObject;
    bool ecuSettled = false;  // created, or failed with ecuFailure
    std::string ecuFailure;

    // The command list, newest last; guarded by listMutex, which is held only to add or take
    // a command (and to wait for one).
    std::mutex listMutex;
    std::condition_variable wake;
    std::vector<std::unique_ptr<TECUCommand>> commands;
    bool terminated = false;
    bool finished = false;  // the worker has done its last act

    std::thread worker;
};
