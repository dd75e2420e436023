#include "install/https_fetch.h"

#include <curl/curl.h>

#include <mutex>

namespace vm::install {

namespace {

struct Sink {
    Bytes* body;
    size_t max;
    bool tooBig = false;
};

size_t onData(char* data, size_t size, size_t count, void* user) {
    auto* s = static_cast<Sink*>(user);
    const size_t n = size * count;
    if (s->body->size() + n > s->max) {
        s->tooBig = true;
        return 0;
    }
    s->body->insert(s->body->end(), reinterpret_cast<uint8_t*>(data), reinterpret_cast<uint8_t*>(data) + n);
    return n;
}

}  // namespace

FetchResult httpsGet(const std::string& url, const FetchOptions& options) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    FetchResult r;
    if (url.rfind("https://", 0) != 0) {
        r.error = "https가 아닌 주소는 받지 않는다 (" + url + ")";
        return r;
    }
    CURL* curl = curl_easy_init();
    if (!curl) {
        r.error = "libcurl을 못 열었다";
        return r;
    }
    char errbuf[CURL_ERROR_SIZE] = {};
    Sink sink{&r.body, options.maxBytes};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 20L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, options.timeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options.maxBytes));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onData);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "vellomark-updater");
    if (!options.caInfo.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, options.caInfo.c_str());

    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    if (rc == CURLE_OK) {
        r.ok = true;
    } else {
        r.body.clear();
        r.error = sink.tooBig ? std::string("너무 크다") : std::string(errbuf[0] ? errbuf : curl_easy_strerror(rc));
    }
    return r;
}

}  // namespace vm::install
