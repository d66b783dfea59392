// The simulator's state file, read in-process.

#include <gtest/gtest.h>

#include "identity.h"

using namespace ecusim;

TEST(EcusimState, AStateReadsBackAsItWasWrittenAndDamagedOnesAreRefused) {
    TFirmwareIdentity id{"1.2.3", {{"idle", 30}, {"", 0}, {"fan_temp", 95}}};
    EXPECT_EQ(parseState(formatState(id), "s"), id);

    for (const char* bad : {"version\t1.0\r\r\n",  // a CR in the version: it would not read back
                            "0\tidle\t1\n",         // no version line
                            "version\t1\n0\tidle\t256\n", "version\t1\n256\tidle\t1\n",
                            "version\t1\n0\ta=b\t1\n", "version\t1\n0\ta\t1\n0\tb\t2\n"}) {
        EXPECT_THROW(parseState(bad, "s"), ESimFileError) << bad;
    }
}
