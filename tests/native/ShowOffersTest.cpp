#include "offers/ShowOffers.h"

#include <shellapi.h>

#include "Machine.h"

namespace {

class ShowOffersTest : public Machine {
protected:
    static void ExpectPageOpenedOnce()
    {
        std::vector<platform::ShellCall> calls = platform::ShellCalls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].verb, "open");
        EXPECT_EQ(calls[0].file, kOffersAddress);
        EXPECT_EQ(calls[0].parameters, "(null)");
        EXPECT_EQ(calls[0].directory, "(null)");
        EXPECT_EQ(calls[0].owner, "(nil)");
        EXPECT_EQ(calls[0].showMode, SW_SHOWNORMAL);
    }
};

TEST_F(ShowOffersTest, AddressIsTheMakersOffersPageOverHttp)
{
    std::string address = kOffersAddress;
    EXPECT_EQ(address.compare(0, 7, "http://"), 0);
    size_t path = address.find('/', 7);
    ASSERT_NE(path, std::string::npos);
    EXPECT_NE(address.substr(7, path - 7).find("vorla"), std::string::npos);
    EXPECT_EQ(address.substr(path), "/KDLXsuper19/");
}

TEST_F(ShowOffersTest, MissingKeyOpensThePageAndCreatesTheStamp)
{
    ShowOffers();
    ExpectPageOpenedOnce();
    EXPECT_EQ(Stamp(), static_cast<DWORD>(kNow));
}

TEST_F(ShowOffersTest, InstalledAgentSuppressesPageAndStamp)
{
    platform::SetDwordValue(kKeyPath, "Installed", 1);
    platform::SetDwordValue(kKeyPath, "LastCheckDate", 5);
    ShowOffers();
    EXPECT_TRUE(platform::ShellCalls().empty());
    EXPECT_EQ(Stamp(), 5u);
}

class ShowOffersInstalledValueTest : public ShowOffersTest,
                                     public ::testing::WithParamInterface<DWORD> {};

TEST_P(ShowOffersInstalledValueTest, AnythingButOneShowsThePage)
{
    platform::SetDwordValue(kKeyPath, "Installed", GetParam());
    platform::SetDwordValue(kKeyPath, "LastCheckDate", 5);
    ShowOffers();
    ExpectPageOpenedOnce();
    EXPECT_EQ(Stamp(), static_cast<DWORD>(kNow));
}

INSTANTIATE_TEST_SUITE_P(Values, ShowOffersInstalledValueTest,
                         ::testing::Values(0u, 2u, 0x100u, 0xFFFFFFFFu));

TEST_F(ShowOffersTest, AbsentInstalledValueShowsThePage)
{
    platform::SetDwordValue(kKeyPath, "LastCheckDate", 5);
    ShowOffers();
    ExpectPageOpenedOnce();
    EXPECT_EQ(Stamp(), static_cast<DWORD>(kNow));
}

TEST_F(ShowOffersTest, StampThatCannotBeWrittenStillOpensThePage)
{
    platform::SetDwordValue(kKeyPath, "LastCheckDate", 5);
    platform::DenyAccess(kKeyPath, KEY_SET_VALUE);
    ShowOffers();
    ExpectPageOpenedOnce();
    EXPECT_EQ(Stamp(), 5u);
}

TEST_F(ShowOffersTest, PageThatFailsToOpenIsStampedAllTheSame)
{
    platform::FailCall("ShellExecuteA", SE_ERR_NOASSOC);
    ShowOffers();
    EXPECT_EQ(Stamp(), static_cast<DWORD>(kNow));
}

}  // namespace
