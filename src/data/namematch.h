#pragma once
// Settings matched by name between two layouts: a table and the table of another firmware, a
// backup and the table it goes back into. A table may hold one name in several slots; such a
// name is matched by its order among them: the first slot holding it on one side to the first
// on the other, the second to the second, and so on. A slot without a name is never matched.

#include <string>
#include <vector>

#include "data/ecusettings.h"

struct TNamedSlot {
    int slot = 0;
    std::string name;
};

struct TNameMatch {
    std::vector<int> toOf;    // for every entry of `from`: the index of its match in `to`, or -1
    std::vector<int> fromOf;  // for every entry of `to`: the index of its match in `from`, or -1
};

// The entries may come in any order; the order among the slots of one name is their slot order.
TNameMatch matchByName(const std::vector<TNamedSlot>& from, const std::vector<TNamedSlot>& to);

// The first `count` slots of a table (the lines the ECU sent; at most the 256 slots), named or not.
std::vector<TNamedSlot> tableSlots(const TECUSettings& table, int count = TECUSettings::slotCount);

// The slots that hold `name`, in slot order.
std::vector<int> slotsNamed(const TECUSettings& table, const std::string& name);
