#include "smtp/AllowList.h"

#include <gtest/gtest.h>

using namespace smtpin;

namespace {

TEST(AllowList, AddressesAndRangesOfBothFamilies)
{
    std::string why;
    const auto list = AllowList::Parse(" 10.1.0.0/16, 192.0.2.7 ,2001:db8::/32,::1", &why);
    ASSERT_TRUE(list) << why;
    EXPECT_TRUE(list->Allows("10.1.0.0"));
    EXPECT_TRUE(list->Allows("10.1.255.255"));
    EXPECT_FALSE(list->Allows("10.2.0.0"));
    EXPECT_FALSE(list->Allows("10.0.255.255"));
    EXPECT_TRUE(list->Allows("192.0.2.7"));
    EXPECT_FALSE(list->Allows("192.0.2.8"));
    EXPECT_TRUE(list->Allows("2001:db8:ffff::1"));
    EXPECT_FALSE(list->Allows("2001:db9::1"));
    EXPECT_TRUE(list->Allows("::1"));
    EXPECT_FALSE(list->Allows("127.0.0.1"));
    // An IPv4 sender seen through an IPv6 listener.
    EXPECT_TRUE(list->Allows("::ffff:10.1.2.3"));
    EXPECT_FALSE(list->Allows("not an address"));
    EXPECT_EQ(list->Describe(), "10.1.0.0/16, 192.0.2.7/32, 2001:db8::/32, ::1/128");
}

TEST(AllowList, EmptyAllowsEveryoneAndBadEntriesAreNamed)
{
    const auto all = AllowList::Parse(" , ");
    ASSERT_TRUE(all);
    EXPECT_TRUE(all->empty());
    EXPECT_TRUE(all->Allows("203.0.113.9"));
    for (const char* bad : {"10.0.0.0/33", "10.0.0.0/-1", "host.example", "10.0.0.256", "::1/129", "10.0.0.0/"}) {
        std::string why;
        EXPECT_FALSE(AllowList::Parse(std::string("127.0.0.1,") + bad, &why)) << bad;
        EXPECT_NE(why.find(bad), std::string::npos) << why;
    }
    // /0 is everyone of that family.
    EXPECT_TRUE(AllowList::Parse("0.0.0.0/0")->Allows("198.51.100.1"));
    EXPECT_FALSE(AllowList::Parse("0.0.0.0/0")->Allows("::2"));
}

}  // namespace
