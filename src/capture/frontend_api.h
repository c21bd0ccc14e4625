#pragma once

#include <obs-frontend-api.h>

#include <string>

namespace ryvoobs {

// The few things the frontend hook needs from the OBS application: its event stream, its two
// outputs, its streaming service and profile, and the plug-in's streaming-service selection that
// runs against them. The OBS application alone can provide them, so they sit behind this one seam.
class FrontendApi {
  public:
    virtual ~FrontendApi() = default;

    virtual void add_event_callback(obs_frontend_event_cb callback, void* data) = 0;
    virtual void remove_event_callback(obs_frontend_event_cb callback, void* data) = 0;
    virtual bool streaming_active() = 0;
    virtual bool recording_active() = 0;
    // A reference the caller releases, or null.
    virtual obs_output_t* streaming_output() = 0;
    virtual obs_output_t* recording_output() = 0;

    // OBS's active streaming service, borrowed (not to be released), or null.
    virtual obs_service_t* streaming_service() = 0;
    // Makes `service` OBS's active streaming service in memory; OBS takes its own reference.
    virtual void set_streaming_service(obs_service_t* service) = 0;
    // The name of OBS's current profile, "" when there is none.
    virtual std::string current_profile_name() = 0;

    virtual void ensure_streaming_service_selected() = 0;
    virtual void capture_initial_service_backup() = 0;
    virtual bool active_streaming_service_is_ryvo() = 0;
};

// The OBS application's, unless another one is installed.
FrontendApi& frontend_api();
// Installs `api` in place of the OBS application's; null puts that back.
void set_frontend_api(FrontendApi* api);

}  // namespace ryvoobs
