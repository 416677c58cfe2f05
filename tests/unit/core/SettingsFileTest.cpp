// The settings file as the config command writes it: every value read back
// exactly as given, the file's comments, owner and mode kept.
#include "core/SettingsFile.h"
#include "platform/SettingsStore.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace smtpin::test {
namespace {

TEST(SettingsFile, EveryValueReadsBackAsWritten)
{
    TempDir dir;
    const std::string file = dir.file("smtpin.ini");
    ASSERT_TRUE(core::WriteDefaultSettingsFile(file, nullptr));
    ::chmod(file.c_str(), 0640);
    const SettingsStore store(file);
    for (const std::string value :
         {"127.0.0.1:9125", "Driver=FreeTDS;Server=%DataSource%;UID=a;PWD=p;q", "C:\\logs\\smtp", "say \"hi\", twice",
          " padded ", "@Variant(x)", "@", "#not a comment", ""}) {
        std::string why;
        ASSERT_TRUE(core::SetSettingsFileValue(file, "Database", "ConnectionString", value, &why)) << why;
        EXPECT_EQ(store.ReadValue("Software\\VORN\\HXS\\Database", "ConnectionString", 4096), value) << value;
        EXPECT_EQ(store.Problem(), std::nullopt) << value;
    }
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(SettingsFile, AKeyGoesWhereItsDefaultStandsAndNothingElseMoves)
{
    TempDir dir;
    const std::string file = dir.file("smtpin.ini");
    TempDir::write(file, "; top\n[Status]\n; the endpoint\n;Listen=127.0.0.1:9125\n\n[Logs]\nFolder=/a\n");
    struct Step {
        const char *group, *key, *value;
    };
    for (const Step& s : {Step{"status", "Listen", "[::1]:9125"}, Step{"Status", "listen", "0.0.0.0:1"},
                          Step{"Logs", "Folder", "/b"}, Step{"Spool", "Folder", "/c"}})
        ASSERT_TRUE(core::SetSettingsFileValue(file, s.group, s.key, s.value, nullptr));
    EXPECT_EQ(TempDir::read(file), "; top\n[Status]\n; the endpoint\n;Listen=127.0.0.1:9125\nlisten=0.0.0.0:1\n\n"
                                   "[Logs]\nFolder=/b\n\n[Spool]\nFolder=/c\n");
}

}  // namespace
}  // namespace smtpin::test
