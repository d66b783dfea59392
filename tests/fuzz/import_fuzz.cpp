// The settings import's file reader, through TECU on the scripted link: every line goes out as
// it stands, without its line end, and nothing after a NUL.

#include "ecu/ecu.h"
#include "fuzzsupport.h"
#include "support/scriptedlink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TMemoryFile file;
    TFakeOperator<> fake;
    TScriptedLink* link = nullptr;
    TECU ecu(fake.op, [&](TLinkKind, TOperator& op) {
        auto l = std::make_unique<TScriptedLink>(op, fake.clock);
        link = l.get();
        return l;
    });
    link->reply("bye", "Bye");
    link->reply("Man", "Hello>");
    link->setActive(true);
    ecu.importSettings(file.hold(data, size));

    // What the file holds, read independently: the text up to a NUL, its line ends taken out.
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, text.find('\0'));
    std::string bare;
    size_t lines = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n') {
            bare += text[i];
            if (i + 1 == text.size()) ++lines;  // a last line without a break
        } else if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            ++lines;  // CR LF ends a line once
        }
    }
    const auto sent = link->sent();
    // Then the greeting, and the table read again ("mcd").
    check(sent.size() == lines + 3 && sent.front() == "bye" && sent[sent.size() - 2] == "Man" && sent.back() == "mcd",
          "one text per line");
    std::string joined;
    for (size_t i = 1; i + 2 < sent.size(); ++i) joined += sent[i];
    check(joined == bare, "the lines go out unchanged and without their line ends");
    return 0;
}
