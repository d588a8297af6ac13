#include "RegistryTestSupport.h"
#include "StoreContract.h"

namespace orvane::test {

// The deviations are Wine's: on Windows every flag holds and the whole
// contract runs. Under Wine the order and terminator checks are relaxed rather
// than taught Wine's behaviour.
INSTANTIATE_TEST_SUITE_P(
    Win32, StoreContract,
    ::testing::Values(TStoreFactory{
        "Win32", [](const std::filesystem::path&) { return OpenScratchRegistryStore(); },
        !RunningUnderWine(), true, !RunningUnderWine(), !RunningUnderWine()}),
    FactoryName);

} // namespace orvane::test
