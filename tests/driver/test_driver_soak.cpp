// A short randomized soak: the panel's poll through the driver while the
// emulator injects every kind of link fault; no call may succeed with
// anything but the emulator's reply to the line it sent.
#include <gtest/gtest.h>

#include "driver_soak.h"

TEST(DriverSoak, EverySuccessCarriesTheReplyToItsOwnLine)
{
    const soak::Figures f = soak::run(3000, 0.06, 60, 4870);
    EXPECT_EQ(f.exchanges, 3000);
    EXPECT_EQ(f.wrong, 0) << f.firstWrong;
    EXPECT_GT(f.faults, 100);
    EXPECT_GT(f.reopens, 0);
    // Faults cost failed calls, but no more than the faults themselves explain.
    EXPECT_GT(f.failed, f.faults / 3);
    EXPECT_LT(f.failed, 3 * f.faults);
    std::printf("%ld exchanges, %ld faults, %ld failed, %ld reopened, %ld wrong, %.1f s\n", f.exchanges, f.faults,
                f.failed, f.reopens, f.wrong, f.seconds);
}
