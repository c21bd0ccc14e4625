#include "api/ryvo_api_client.h"

#include <utility>

namespace ryvoobs {

UploadTransport make_api_upload_transport(std::shared_ptr<RyvoApiClient> client) {
    if (!client) {
        return {};
    }
    return [client = std::move(client)](const PluginConfig&, const SegmentData& segment) {
        return client->upload_segment(segment);
    };
}

}  // namespace ryvoobs
