// zel_tolk_client: the shipped client operations, the business layer of zel_tolk.h.
#include "app_sdk_porting/sdk_porting.h"

#include "zel_app_sdk/zel_tolk/zel_tolk.h"

namespace {

void *_zel_tolk_client_init(void *)
{
    return zel_tolk_init();
}

int _zel_tolk_client_deinit(void *client_data)
{
    return zel_tolk_deinit(client_data);
}

int _zel_tolk_client_push_stream_data(void *, sdk_media_frame_t *frame)
{
    if (!frame || !frame->data)
        return -1;
    return zel_tolk_push_media_data(frame->channel, frame->data, frame->len, frame->type, frame->key, 0, frame->ts_ms,
                                    frame->seq);
}

int _zel_tolk_client_push_event_data(void *, int event_type)
{
    return zel_tolk_push_event_data(&event_type, 0);
}

} // namespace

extern "C" const client_base_t zel_tolk_client = {"zel_tolk_client", _zel_tolk_client_init, _zel_tolk_client_deinit,
                                                  _zel_tolk_client_push_stream_data,
                                                  _zel_tolk_client_push_event_data};

client_base_holder_t *zel_tolk_client_setup(void)
{
    return _client_base_auto_setup(&zel_tolk_client);
}
