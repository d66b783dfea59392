// A device's identity and its other users, from a made-up sysfs, by-id folder and /proc.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/serialidentity.h"
#include "support/tempdir.h"

namespace fs = std::filesystem;

namespace {

struct TFakeSystem {
    TTempDir dir;
    TSerialRoots roots{dir.path + "/sys", dir.path + "/by-id", dir.path + "/proc"};
    std::string dev = dir.path + "/dev";

    TFakeSystem() {
        for (const char* node : {"ttyUSB0", "ttyACM0", "ttyS1"}) file("dev/" + std::string(node), "");
        // An FTDI adapter with a by-id name, and a CDC-ACM ECU, on USB.
        const std::string ftdi = "sys/devices/pci0000:00/usb1/1-2";
        usbDevice(ftdi, "0403", "6001", "FTDI", "FT232R USB UART", "A50285BI");
        tty("ttyUSB0", ftdi + "/1-2:1.0/ttyUSB0", "ftdi_sio");
        link("by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", dev + "/ttyUSB0");
        const std::string ecu = "sys/devices/pci0000:00/usb1/1-3";
        usbDevice(ecu, "0483", "5740", "STMicroelectronics", "", "");
        tty("ttyACM0", ecu + "/1-3:1.0", "cdc_acm");
        file("sys/class/tty/ttyS1/type", "0\n");
        // minicom holds the ECU; ModemManager runs.
        file("proc/4242/comm", "minicom\n");
        link("proc/4242/fd/7", fs::canonical(dev + "/ttyACM0").string());
        file("proc/612/comm", "ModemManager\n");
    }
    void file(const std::string& path, const std::string& text) {
        fs::create_directories(fs::path(dir.path + "/" + path).parent_path());
        std::ofstream(dir.path + "/" + path) << text;
    }
    void link(const std::string& path, const std::string& target) {
        fs::create_directories(fs::path(dir.path + "/" + path).parent_path());
        fs::create_symlink(target, dir.path + "/" + path);
    }
    void usbDevice(const std::string& at, const char* vendor, const char* product, const char* maker,
                   const char* name, const char* serial) {
        file(at + "/idVendor", std::string(vendor) + "\n");
        file(at + "/idProduct", std::string(product) + "\n");
        file(at + "/manufacturer", std::string(maker) + "\n");
        if (*name) file(at + "/product", std::string(name) + "\n");
        if (*serial) file(at + "/serial", std::string(serial) + "\n");
    }
    void tty(const std::string& name, const std::string& deviceDir, const std::string& driver) {
        fs::create_directories(dir.path + "/" + deviceDir);
        link(deviceDir + "/driver", dir.path + "/sys/bus/usb/drivers/" + driver);
        link("sys/class/tty/" + name + "/device", dir.path + "/" + deviceDir);
    }
};

}  // namespace

TEST(SerialIdentity, NamesTheAdapterItsByIdLinkAndWhoElseIsOnTheLine) {
    TFakeSystem sys;
    const std::string byId = sys.roots.byId + "/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    const std::string ftdi = "FTDI FT232R USB UART, serial A50285BI, USB 0403:6001, driver ftdi_sio";
    const std::string rule = R"(ATTRS{idVendor}=="0483", ATTRS{idProduct}=="5740", ENV{ID_MM_DEVICE_IGNORE}="1")";
    const struct {
        std::string device, description;
    } cases[] = {
        {sys.dev + "/ttyUSB0", sys.dev + "/ttyUSB0\nby-id " + byId + "\n" + ftdi},
        {byId, byId + "\ndevice " + fs::canonical(sys.dev + "/ttyUSB0").string() + "\n" + ftdi},
        {sys.dev + "/ttyACM0", sys.dev + "/ttyACM0\nSTMicroelectronics, USB 0483:5740, driver cdc_acm\n"
                                         "ModemManager is running: it probes ttyACM devices with AT commands, which "
                                         "the ECU takes for garbage, and holds the port meanwhile. This udev rule (a "
                                         "file in /etc/udev/rules.d/, then plug the device in again) makes it leave "
                                         "this device alone: " + rule},
        {sys.dev + "/ttyS1", sys.dev + "/ttyS1"},
        {sys.dev + "/missing", sys.dev + "/missing"},
    };
    for (const auto& c : cases) EXPECT_EQ(serialDeviceDescription(c.device, sys.roots), c.description);

    EXPECT_TRUE(serialIdentity(sys.dev + "/ttyS1", sys.roots).noUart);
    EXPECT_EQ(serialHoldersText(serialDeviceHolders(sys.dev + "/ttyACM0", sys.roots)), "minicom (PID 4242)");
    EXPECT_TRUE(serialDeviceHolders(sys.dev + "/ttyUSB0", sys.roots).empty());
    fs::remove(sys.dir.path + "/proc/612/comm");
    EXPECT_EQ(modemManagerNote(serialIdentity(sys.dev + "/ttyACM0", sys.roots), sys.roots), "");
}
