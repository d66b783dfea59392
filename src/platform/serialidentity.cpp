#include "platform/serialidentity.h"

// The words about a serial device, the same on every system; what is known of it comes from
// serialidentity_posix.cpp or serialidentity_win32.cpp.

std::string serialIdentityText(const TSerialIdentity& id) {
    std::vector<std::string> parts;
    const std::string name = id.maker.empty() || id.product.empty() ? id.maker + id.product
                                                                    : id.maker + " " + id.product;
    if (!name.empty()) parts.push_back(name);
    if (!id.serial.empty()) parts.push_back("serial " + id.serial);
    if (!id.vendorId.empty()) parts.push_back("USB " + id.vendorId + ":" + id.productId);
    if (!id.driver.empty()) parts.push_back("driver " + id.driver);
    std::string text;
    for (const std::string& p : parts) text += (text.empty() ? "" : ", ") + p;
    return text;
}

std::string serialHoldersText(const std::vector<TSerialHolder>& holders) {
    std::string text;
    for (const TSerialHolder& h : holders)
        text += (text.empty() ? "" : ", ") + (h.program.empty() ? std::string("a program") : h.program) +
                " (PID " + std::to_string(h.pid) + ")";
    return text;
}

std::string modemManagerIgnoreRule(const TSerialIdentity& id) {
    const std::string vendor = id.vendorId.empty() ? "VVVV" : id.vendorId;
    const std::string product = id.productId.empty() ? "PPPP" : id.productId;
    return "ATTRS{idVendor}==\"" + vendor + "\", ATTRS{idProduct}==\"" + product +
           "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"";
}

std::vector<std::string> serialDeviceDetails(const std::string& device, const TSerialIdentity& id,
                                             const std::string& note) {
    std::vector<std::string> lines;
    if (!id.node.empty() && id.node != device) lines.push_back("device " + id.node);
    if (!id.byId.empty() && id.byId != device) lines.push_back("by-id " + id.byId);
    if (std::string about = serialIdentityText(id); !about.empty()) lines.push_back(std::move(about));
    if (!note.empty()) lines.push_back(note);
    return lines;
}

std::string serialDeviceDescription(const std::string& device, const TSerialRoots& roots) {
    const TSerialIdentity id = serialIdentity(device, roots);
    std::string text = device;
    for (const std::string& line : serialDeviceDetails(device, id, modemManagerNote(id, roots))) text += "\n" + line;
    return text;
}
