#include "server/ConfigurationFetch.h"

#include "server/HttpClient.h"
#include "server/Protocol.h"

namespace orvane {

std::unique_ptr<rapidjson::Document> FetchConfiguration(const std::string& AApiUrl,
                                                        const TCredentials& ACredentials,
                                                        const std::string& AMachineDigest,
                                                        const std::atomic<bool>* ACancelled) {
    const std::string LEndPoint = ConfigurationEndpoint(ACredentials.Mode, AMachineDigest);
    THttpClient LClient;
    const auto LRequireWanted = [ACancelled] {
        if (ACancelled && *ACancelled) {
            throw THttpError("The download was cancelled");
        }
    };
    LRequireWanted();
    const std::string LToken = ReadTokenAnswer(LClient.GetText(TokenUrl(AApiUrl, ACredentials)));
    LRequireWanted();
    return ParseAnswer(LClient.GetText(RequestUrl(LEndPoint, AApiUrl, LToken)));
}

} // namespace orvane
