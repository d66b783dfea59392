#include "platform/versionblock.h"

#include <algorithm>

namespace {

struct TNode {
    size_t end;  // one past its last byte
    std::string_view key;
    std::span<const uint8_t> value;
    size_t childrenStart;
};

size_t align4(size_t n) { return (n + 3) & ~size_t(3); }

size_t get16(std::span<const uint8_t> block, size_t at) {
    return size_t(block[at]) | size_t(block[at + 1]) << 8;
}

// The node starting at `start`, which must end by `limit`; nothing when it does not fit.
std::optional<TNode> parseNode(std::span<const uint8_t> block, size_t start, size_t limit) {
    if (start > limit || limit - start < 4) return std::nullopt;
    const size_t length = get16(block, start);
    const size_t valueLength = get16(block, start + 2);
    if (length < 4 || length > limit - start) return std::nullopt;
    const size_t end = start + length;
    size_t keyEnd = start + 4;
    while (keyEnd < end && block[keyEnd] != 0) ++keyEnd;
    if (keyEnd == end) return std::nullopt;
    const size_t valueStart = start + align4(keyEnd + 1 - start);
    if (valueStart > end || valueLength > end - valueStart) return std::nullopt;
    const auto* keyBytes = reinterpret_cast<const char*>(block.data() + start + 4);
    return TNode{end, std::string_view(keyBytes, keyEnd - start - 4),
                 block.subspan(valueStart, valueLength),
                 std::min(end, start + align4(valueStart + valueLength - start))};
}

std::optional<TNode> findChild(std::span<const uint8_t> block, const TNode& parent,
                               std::string_view key) {
    size_t pos = parent.childrenStart;
    while (pos < parent.end) {
        const std::optional<TNode> child = parseNode(block, pos, parent.end);
        if (!child) return std::nullopt;
        if (child->key == key) return child;
        pos = std::min(parent.end, pos + align4(child->end - pos));
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::span<const uint8_t>> queryVersionValue(std::span<const uint8_t> block,
                                                          std::string_view path) {
    if (path.empty() || path.front() != '\\') return std::nullopt;
    std::optional<TNode> node = parseNode(block, 0, block.size());
    if (!node || node->key != versionRootKey) return std::nullopt;
    size_t pos = 1;
    while (node && pos < path.size()) {
        const size_t next = std::min(path.find('\\', pos), path.size());
        if (next > pos) node = findChild(block, *node, path.substr(pos, next - pos));
        pos = next + 1;
    }
    if (!node) return std::nullopt;
    return node->value;
}

std::string versionString(std::span<const uint8_t> block, std::string_view name) {
    const auto translation = queryVersionValue(block, "\\VarFileInfo\\Translation");
    if (!translation || translation->size() < 4) return {};
    const auto& t = *translation;
    const uint16_t language = uint16_t(t[0] | t[1] << 8);
    const uint16_t codePage = uint16_t(t[2] | t[3] << 8);
    std::string path = "\\StringFileInfo\\" + translationKey(language, codePage) + "\\";
    path.append(name);
    const auto value = queryVersionValue(block, path);
    if (!value) return {};
    const auto zero = std::find(value->begin(), value->end(), uint8_t(0));
    return std::string(value->begin(), zero);
}
