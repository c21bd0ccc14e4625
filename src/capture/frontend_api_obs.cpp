#include "capture/frontend_api.h"

#include <util/bmem.h>

#include "capture/streaming_service_backup_obs.h"

namespace ryvoobs {
namespace {

class ObsFrontendApi final : public FrontendApi {
  public:
    void add_event_callback(obs_frontend_event_cb callback, void* data) override {
        obs_frontend_add_event_callback(callback, data);
    }
    void remove_event_callback(obs_frontend_event_cb callback, void* data) override {
        obs_frontend_remove_event_callback(callback, data);
    }
    bool streaming_active() override { return obs_frontend_streaming_active(); }
    bool recording_active() override { return obs_frontend_recording_active(); }
    // Both getters hand out a new reference in every OBS version this builds against.
    obs_output_t* streaming_output() override { return obs_frontend_get_streaming_output(); }
    obs_output_t* recording_output() override { return obs_frontend_get_recording_output(); }

    obs_service_t* streaming_service() override { return obs_frontend_get_streaming_service(); }
    void set_streaming_service(obs_service_t* service) override {
        obs_frontend_set_streaming_service(service);
    }
    std::string current_profile_name() override {
        char* name = obs_frontend_get_current_profile();
        std::string result = name != nullptr ? name : "";
        bfree(name);
        return result;
    }

    void ensure_streaming_service_selected() override {
        ryvoobs::ensure_streaming_service_selected();
    }
    void capture_initial_service_backup() override { ryvoobs::capture_initial_service_backup(); }
    bool active_streaming_service_is_ryvo() override {
        return ryvoobs::active_streaming_service_is_ryvo();
    }
};

ObsFrontendApi obs_frontend;
FrontendApi* installed = nullptr;

}  // namespace

FrontendApi& frontend_api() {
    return installed != nullptr ? *installed : obs_frontend;
}

void set_frontend_api(FrontendApi* api) {
    installed = api;
}

}  // namespace ryvoobs
