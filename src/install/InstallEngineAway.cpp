#include "install/InstallEngine.h"

#include <future>

namespace orvane {

void TInstallEngine::AwayFromHost(const std::function<void()>& AWork) {
    std::future<void> LDone = std::async(std::launch::async, AWork);
    while (LDone.wait_for(KHostPumpStep) != std::future_status::ready) {
        FHost->ProcessPending();
    }
    LDone.get();
}

} // namespace orvane
