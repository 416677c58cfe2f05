#include "platform/SettingsStore.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace smtpin;

namespace {

class SettingsStoreTest : public ::testing::Test {
protected:
    void write(const std::string& text)
    {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    }

    test::TempDir dir;
    std::string file = dir.file("smtpin.ini");
    SettingsStore store{file};
};

TEST_F(SettingsStoreTest, RegistryPathsMapToGroupsBelowTheRoot)
{
    EXPECT_EQ(SettingsStore::groupOf("Software\\VORN\\HXS\\Database"), "Database");
    EXPECT_EQ(SettingsStore::groupOf("software\\vorn\\hxs\\SMTP_S01\\TCPSetup"), "SMTP_S01/TCPSetup");
    EXPECT_EQ(SettingsStore::groupOf("Database"), "Database");
    EXPECT_EQ(SettingsStore::groupOf("SMTP_S01/TCPSetup/"), "SMTP_S01/TCPSetup");
    EXPECT_EQ(SettingsStore::groupOf("Software\\VORN\\HXS"), "");
    // A sibling of the root is not below it.
    EXPECT_EQ(SettingsStore::groupOf("Software\\VORN\\HXSOther\\X"), "Software/VORN/HXSOther/X");

    write("[Database]\nInitialCatalog=CAT\n[SMTP_S01/TCPSetup]\nUserId=s01\n");
    EXPECT_EQ(store.ReadRegistryValue("Software\\VORN\\HXS\\Database", "InitialCatalog"), "CAT");
    EXPECT_EQ(store.ReadRegistryValue("Software\\VORN\\HXS\\SMTP_S01\\TCPSetup", "UserId"), "s01");
}

TEST_F(SettingsStoreTest, MissingThingsReadAsEmptyAndNeverThrow)
{
    EXPECT_EQ(store.ReadRegistryValue("Database", "DataSource"), "");   // no file yet
    write("[Database]\nDataSource=\nOther=1\n");
    EXPECT_EQ(store.ReadRegistryValue("Database", "DataSource"), "");   // present but empty
    EXPECT_EQ(store.ReadRegistryValue("Database", "Missing"), "");
    EXPECT_EQ(store.ReadRegistryValue("Nowhere", "Other"), "");
    EXPECT_EQ(store.ReadRegistryValue("Database", ""), "");
    EXPECT_EQ(SettingsStore("").ReadRegistryValue("Database", "Other"), "");
    // A folder where the file should be.
    EXPECT_EQ(SettingsStore(dir.path()).ReadRegistryValue("Database", "Other"), "");
}

TEST_F(SettingsStoreTest, NamesMatchWithoutLetterCase)
{
    write("[database]\ndatasource=db-host\n[Smtp_S01/tcpsetup]\nUSERID=s01\n");
    EXPECT_EQ(store.ReadRegistryValue("Software\\VORN\\HXS\\Database", "DataSource"), "db-host");
    EXPECT_EQ(store.ReadRegistryValue("SMTP_S01\\TCPSetup", "UserId"), "s01");
}

TEST_F(SettingsStoreTest, EveryReadSeesTheFileAsItIsNow)
{
    write("[Database]\nInitialCatalog=ONE\n");
    EXPECT_EQ(store.ReadRegistryValue("Database", "InitialCatalog"), "ONE");
    write("[Database]\nInitialCatalog=SECOND\n");
    EXPECT_EQ(store.ReadRegistryValue("Database", "InitialCatalog"), "SECOND");
}

TEST_F(SettingsStoreTest, QuotedValuesKeepSeparatorsAndBackslashes)
{
    write("[Database]\n"
          "ConnectionString=\"Driver=FreeTDS;Server=db1,1433;Database=HXSMKII\"\n"
          "DataSource=\"SQL1\\\\INSTANCE\"\n"
          "Unquoted=a,b\n");
    EXPECT_EQ(store.ReadValue("Database", "ConnectionString", 4096), "Driver=FreeTDS;Server=db1,1433;Database=HXSMKII");
    EXPECT_EQ(store.ReadRegistryValue("Database", "DataSource"), "SQL1\\INSTANCE");
    EXPECT_EQ(store.ReadRegistryValue("Database", "Unquoted"), "a,b");
}

TEST_F(SettingsStoreTest, AValueTooLongForTheBufferReadsAsEmpty)
{
    const std::string fits(SettingsStore::kMaxValueLength, 'x');
    write("[Database]\nFits=" + fits + "\nLong=" + fits + "y\n");
    EXPECT_EQ(store.ReadRegistryValue("Database", "Fits"), fits);
    EXPECT_EQ(store.ReadRegistryValue("Database", "Long"), "");
    EXPECT_EQ(store.ReadValue("Database", "Long", 1000), fits + "y");
}

}  // namespace
