#include "StoreContract.h"

namespace orvane::test {

INSTANTIATE_TEST_SUITE_P(Sqlite, StoreContract,
                         ::testing::Values(TStoreFactory{"Sqlite",
                                                         [](const std::filesystem::path& ATempDir) {
                                                             return OpenSqliteRegistryStore(
                                                                 ATempDir / "registry.sqlite");
                                                         }}),
                         FactoryName);

} // namespace orvane::test
