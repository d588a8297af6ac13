#include "server/ConfigurationFetch.h"

#include "server/Downloader.h"
#include "server/HostThread.h"
#include "server/Protocol.h"

#include <chrono>
#include <iterator>
#include <stdexcept>

namespace orvane {

std::string FetchConfigurationText(const std::string& AApiUrl, const TCredentials& ACredentials,
                                   const std::string& AMachineDigest,
                                   std::shared_ptr<const std::atomic<bool>> ACancelled) {
    const std::string LEndPoint = ConfigurationEndpoint(ACredentials.Mode, AMachineDigest);
    auto LHost = std::make_shared<TQueuedHostThread>();
    bool LDone = false;
    std::string LBody;
    std::string LError;
    // Deletes itself after its final notification, which runs here below.
    auto* LDownloader = new TDownloader(AApiUrl, "", LHost);
    LDownloader->Credentials = ACredentials;
    LDownloader->Cancelled = std::move(ACancelled);
    LDownloader->OnCompleted = [&LDone, &LBody](TDownloader& ASender) {
        std::iostream& LStream = *ASender.Stream();
        LStream.clear();
        LStream.seekg(0);
        LBody.assign(std::istreambuf_iterator<char>(LStream), {});
        LDone = true;
    };
    LDownloader->OnError = [&LDone, &LError](const std::exception& AError) {
        LError = AError.what();
        LDone = true;
    };
    LDownloader->Download(LEndPoint, "", true);
    while (!LDone) {
        LHost->WaitForWork(std::chrono::milliseconds(100));
    }
    if (!LError.empty()) {
        throw std::runtime_error(LError);
    }
    return LBody;
}

std::unique_ptr<rapidjson::Document>
FetchConfiguration(const std::string& AApiUrl, const TCredentials& ACredentials,
                   const std::string& AMachineDigest,
                   std::shared_ptr<const std::atomic<bool>> ACancelled) {
    return ParseAnswer(
        FetchConfigurationText(AApiUrl, ACredentials, AMachineDigest, std::move(ACancelled)));
}

} // namespace orvane
