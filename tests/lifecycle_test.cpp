// Load and unload, against a scripted port.
#include "driver/exports.h"
#include "driver/lifecycle.h"
#include "serial/ucommw32.h"
#include "tests/fake_port.h"

#include <gtest/gtest.h>
#include <string>

namespace {

TEST(Lifecycle, LoadOpensTheBuildsPortWithItsMode)
{
    fakeport::Reset();
    LibraryStart();
    EXPECT_EQ(fakeport::OpenedName(), "Com1:");
    EXPECT_EQ(fakeport::OpenedMode(), "baud=4800 parity=n data=8 stop=1");
    EXPECT_EQ(fakeport::OpenedTimeout(), 1000u);
    EXPECT_EQ(fakeport::Counted().opens, 1u);
    EXPECT_STREQ(titre(), "phm\xE8tre Handylab2 en Com1:");
    EXPECT_STREQ(detail(),
                 "DLL pour phm\xE8tre Schott Handylab2 en com1:, par Vosquet, le 23 janvier 2003");
    LibraryStop(false);
}

TEST(Lifecycle, UnloadClosesThePortSoThatALaterLoadReadsAgain)
{
    fakeport::Reset();
    LibraryStart();
    fakeport::Feed("\npH  7.01   25.\r\n");
    EXPECT_EQ(ead(0), 7.01);
    LibraryStop(false);
    EXPECT_FALSE(fakeport::IsOpen());

    LibraryStart(); // loaded again in the same process: fresh state, port open again
    EXPECT_TRUE(fakeport::IsOpen());
    EXPECT_STREQ(nea(0), "xxxxxxxx");
    fakeport::Feed("\n  -80mV\r\n");
    EXPECT_EQ(ead(0), -80.0);
    LibraryStop(false);
}

TEST(Lifecycle, ProcessEndLeavesThePortToTheSystem)
{
    fakeport::Reset();
    LibraryStart();
    LibraryStop(true);
    EXPECT_EQ(fakeport::Counted().closes, 0u);
}

TEST(Lifecycle, MissingPortStillLoads)
{
    fakeport::Reset();
    fakeport::SetOpenFails(true);
    LibraryStart();
    EXPECT_EQ(ea(0), -777);
    EXPECT_EQ(ea(1), -777);
    EXPECT_STREQ(titre(), "phm\xE8tre Handylab2 en Com1:");
    LibraryStop(false);
    EXPECT_EQ(fakeport::Counted().closes, 0u); // nothing to close
}

} // namespace
