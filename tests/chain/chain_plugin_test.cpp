// NP_Install of the real plug-in, loaded as an installer loads it (through
// npshell's loader, which initialises COM on Windows): on POSIX over scratch
// hives, on Windows under Wine's registry, document object and crypt32.
#include "tests/chain/ChainTestSupport.h"
#include "tools/npshell/PluginLibrary.h"

#include <gtest/gtest.h>

TEST(ChainPlugin, NpInstallReplacesTheWithdrawnHierarchyWithTheCurrentOne) {
    ResetMachine();
    for (const char* file : {"w-rsa-ca-1", "w-sm2-ca-4", "w-rsa-root-2"})
        ASSERT_TRUE(InstallWithdrawn(file)) << file;

    std::string error;
    std::unique_ptr<npshell::PluginLibrary> plugin =
        npshell::PluginLibrary::Load(ORVANE_NPPELLIN_PATH, &error);
    ASSERT_TRUE(plugin) << error;
    ASSERT_TRUE(plugin->Install());

    std::set<std::string> roots;
    for (const char* file :
         {"rsa-root-g1", "rsa-root-g2", "sm2-root", "test-rsa-root", "test-sm2-root"})
        roots.insert(ThumbprintOf(DemoCertificate(file)));
    EXPECT_EQ(RootEntryThumbprints(), roots);
    std::multiset<std::string> intermediates;
    for (const char* file : {"rsa-ca-1", "rsa-ca-2", "rsa-ca-3", "rsa-g2-ca-1", "rsa-g2-ca-2",
                             "sm2-ca-1", "sm2-ca-2", "sm2-ca-3", "test-rsa-ca-1", "test-rsa-ca-2",
                             "test-rsa-ca-3", "test-sm2-ca-1", "test-sm2-ca-2", "test-sm2-ca-3"})
        intermediates.insert(SubjectOf(DemoCertificate(file)));
    EXPECT_EQ(CaSubjects(CERT_SYSTEM_STORE_LOCAL_MACHINE), intermediates);
    EXPECT_TRUE(CaSubjects(CERT_SYSTEM_STORE_CURRENT_USER).empty());
    ResetMachine();
}
