#include "link/communicator.h"

TCommunicator::TCommunicator(TOperator& op) : op(op) {}

bool TCommunicator::expect(const std::string& text) {
    if (debugEcho) op.log.appendText("\rExpect: " + text + "\r", expectedColor);
    received.clear();
    size_t match = 0;
    while (match < text.size()) {
        int b = readByte();
        if (b < 0) return false;
        const char c = static_cast<char>(b);
        received += c;
        // A byte that breaks a partial match starts nothing new: it is not compared again
        // with the first character.
        if (c == text[match]) ++match;
        else match = 0;
    }
    return true;
}
