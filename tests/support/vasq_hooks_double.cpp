// The recording double of the P2P service's hooks.
#include "vasq_hooks_double.h"

#include <string.h>

#include <algorithm>
#include <chrono>

#include "zel_test_support.h"
#include "zelmar/zel_crypto.h"

namespace vasqhooks {

Hooks &Hooks::get()
{
    static Hooks *h = new Hooks; // session threads may call while the process ends
    return *h;
}

void Hooks::clear()
{
    std::lock_guard<std::mutex> g(lock_);
    calls_.clear();
    media_.clear();
    live_.clear();
    connect_result = 0;
    statistics_result = 0;
}

void Hooks::add(Call c)
{
    {
        std::lock_guard<std::mutex> g(lock_);
        calls_.push_back(std::move(c));
    }
    changed_.notify_all();
}

std::vector<Call> Hooks::calls(const std::string &what)
{
    std::lock_guard<std::mutex> g(lock_);
    std::vector<Call> out;
    for (const Call &c : calls_)
        if (c.what == what)
            out.push_back(c);
    return out;
}

size_t Hooks::count(const std::string &what)
{
    return calls(what).size();
}

bool Hooks::wait(const std::function<bool()> &pred, int timeout_ms)
{
    return zeltest::wait_until(pred, std::chrono::milliseconds(timeout_ms));
}

bool Hooks::wait_count(const std::string &what, size_t n, int timeout_ms)
{
    return wait([&] { return count(what) >= n; }, timeout_ms);
}

Media Hooks::media(const void *session)
{
    std::lock_guard<std::mutex> g(lock_);
    return media_[session];
}

void Hooks::with_media(const void *session, const std::function<void(Media &)> &fn)
{
    std::lock_guard<std::mutex> g(lock_);
    fn(media_[session]);
}

std::vector<vasq_session *> Hooks::sessions()
{
    std::lock_guard<std::mutex> g(lock_);
    return live_;
}

void Hooks::take(vasq_session *s)
{
    std::lock_guard<std::mutex> g(lock_);
    live_.push_back(s);
}

void Hooks::drop(const void *s)
{
    std::lock_guard<std::mutex> g(lock_);
    live_.erase(std::remove(live_.begin(), live_.end(), s), live_.end());
}

} // namespace vasqhooks

using vasqhooks::Hooks;

extern "C" {

int vasq_on_connect(vasq_session *s, void **user_data)
{
    static std::atomic<int> slot{0};
    Hooks &h = Hooks::get();
    const int result = h.connect_result;
    h.add({"connect", s, result, "", "", nullptr});
    if (result != 0)
        return result;
    *user_data = reinterpret_cast<void *>(static_cast<intptr_t>(++slot));
    h.take(s);
    return 0;
}

// The P2P service hands the session back at once.
void vasq_on_disconnect(vasq_session *s, int code, void *)
{
    Hooks::get().drop(s);
    Hooks::get().add({"disconnect", s, code, "", "", nullptr});
    vasq_server_session_close(s);
    Hooks::get().add({"closed", s, code, "", "", nullptr});
}

void vasq_on_error(vasq_session *s, int code, void *)
{
    Hooks::get().add({"error", s, code, "", "", nullptr});
}

int vasq_on_cmd(vasq_session *s, int code, const char *data, int length, void *)
{
    Hooks::get().add({"cmd", s, code, std::string(data, static_cast<size_t>(length)), "", nullptr});
    return 0;
}

int vasq_on_video_data(vasq_session *s, const vasq_frame_info *header, const char *data, int length, void *)
{
    Hooks::get().with_media(s, [&](vasqhooks::Media &m) {
        m.video.append(data, static_cast<size_t>(length));
        m.video_headers.push_back(*header);
    });
    return 0;
}

int vasq_on_audio_data(vasq_session *s, const vasq_frame_info *header, const char *data, int length, void *)
{
    Hooks::get().with_media(s, [&](vasqhooks::Media &m) {
        m.audio.append(data, static_cast<size_t>(length));
        m.audio_headers.push_back(*header);
    });
    return 0;
}

int vasq_on_rdt_data(vasq_session *s, const char *data, int length, void *)
{
    Hooks::get().add({"rdt", s, 0, std::string(data, static_cast<size_t>(length)), "", nullptr});
    return 0;
}

int vasq_on_server_ready(void)
{
    Hooks::get().add({"ready", nullptr, 0, "", "", nullptr});
    return 0;
}

int vasq_rpc_send(void *context, const char *method, const char *params)
{
    Hooks::get().add({"rpc", nullptr, 0, params ? params : "", method ? method : "", context});
    return 0;
}

int vasq_ack_send(const char *text, int length)
{
    Hooks::get().add({"ack", nullptr, 0, std::string(text, static_cast<size_t>(length)), "", nullptr});
    return 0;
}

int vasq_statistics(vasq_session *s, const char *text, int length)
{
    Hooks::get().add({"report", s, 0, std::string(text, static_cast<size_t>(length)), "", nullptr});
    return Hooks::get().statistics_result;
}

int vasq_encrypt_data(vasq_crypt_req *req, const uint8_t key[16], const uint8_t iv[16])
{
    uint8_t *body = req->out + 20;
    return zel_crypto_aes128_cbc_encrypt(key, iv, body, body, static_cast<size_t>(req->in_len + req->pad_len));
}

int vasq_decrypt_data(vasq_crypt_req *req, const uint8_t key[16], const uint8_t iv[16])
{
    uint8_t *body = req->out + 20;
    return zel_crypto_aes128_cbc_decrypt(key, iv, body, body, static_cast<size_t>(req->in_len + req->pad_len));
}

} // extern "C"
