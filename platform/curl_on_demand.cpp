// libcurl, loaded the first time one of its functions is called.
//
// The runtime loads netlib and the wininet stand-in at start. Linked to libcurl, each
// brought it in then, with the thirty libraries it needs, and mapping and initialising
// them was more than half of a headless start; yet the start itself fetches nothing
// through libcurl (netlib speaks plain HTTP itself). The libraries that link this one
// get these definitions instead of libcurl's: the same names and types, from libcurl's
// own header, each finding its counterpart in libcurl.so.4 on its first call. They are
// hidden, so they stand in only inside the library that links them.
//
// When libcurl cannot be loaded, every call fails the way libcurl reports running out
// of resources (a null handle, CURLE_FAILED_INIT), and the reason is said once on stderr.
#define CURL_DISABLE_TYPECHECK  // the checking macros would hide the definitions below
#include <curl/curl.h>

#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>

namespace {

constexpr const char* kLibcurl = "libcurl.so.4";

void* libcurl()
{
    static void* handle = [] {
        void* loaded = dlopen(kLibcurl, RTLD_NOW | RTLD_LOCAL);
        if (!loaded)
            std::fprintf(stderr, "nimbra: cannot load %s: %s\n", kLibcurl, dlerror());
        return loaded;
    }();
    return handle;
}

// Null when libcurl or the function is missing.
template <typename Function>
Function find(const char* name)
{
    void* handle = libcurl();
    return handle ? reinterpret_cast<Function>(dlsym(handle, name)) : nullptr;
}

// The options and the information asked for take one argument after their number: a
// long, a pointer or a curl_off_t. On x86-64 each of them travels in one integer
// register or stack slot, so it is taken and passed on as a pointer-sized word.
void* one_argument(va_list arguments) { return va_arg(arguments, void*); }

}  // namespace

// Each stand-in looks its counterpart up once; `fail` is what it gives without one.
#define NIMBRA_CURL_FORWARD(result, name, parameters, arguments, fail)                                                 \
    extern "C" result name parameters                                                                                  \
    {                                                                                                                  \
        static const auto real = find<result(*) parameters>(#name);                                                    \
        return real ? real arguments : fail;                                                                           \
    }
#define NIMBRA_CURL_FORWARD_VOID(name, parameters, arguments)                                                          \
    extern "C" void name parameters                                                                                    \
    {                                                                                                                  \
        static const auto real = find<void(*) parameters>(#name);                                                      \
        if (real)                                                                                                      \
            real arguments;                                                                                            \
    }

NIMBRA_CURL_FORWARD(CURLcode, curl_global_init, (long flags), (flags), CURLE_FAILED_INIT)
NIMBRA_CURL_FORWARD(CURL*, curl_easy_init, (void), (), nullptr)
NIMBRA_CURL_FORWARD(CURLcode, curl_easy_perform, (CURL * handle), (handle), CURLE_FAILED_INIT)
NIMBRA_CURL_FORWARD(CURLcode, curl_easy_pause, (CURL * handle, int mask), (handle, mask), CURLE_FAILED_INIT)
NIMBRA_CURL_FORWARD_VOID(curl_easy_cleanup, (CURL * handle), (handle))
NIMBRA_CURL_FORWARD_VOID(curl_easy_reset, (CURL * handle), (handle))
NIMBRA_CURL_FORWARD_VOID(curl_free, (void* pointer), (pointer))
NIMBRA_CURL_FORWARD(time_t, curl_getdate, (const char* text, const time_t* now), (text, now), time_t(-1))
NIMBRA_CURL_FORWARD(CURLM*, curl_multi_init, (void), (), nullptr)
NIMBRA_CURL_FORWARD(CURLMcode, curl_multi_add_handle, (CURLM * multi, CURL* handle), (multi, handle),
                    CURLM_INTERNAL_ERROR)
NIMBRA_CURL_FORWARD(CURLMcode, curl_multi_remove_handle, (CURLM * multi, CURL* handle), (multi, handle),
                    CURLM_INTERNAL_ERROR)
NIMBRA_CURL_FORWARD(CURLMcode, curl_multi_cleanup, (CURLM * multi), (multi), CURLM_INTERNAL_ERROR)
NIMBRA_CURL_FORWARD(CURLMcode, curl_multi_perform, (CURLM * multi, int* running), (multi, running),
                    CURLM_INTERNAL_ERROR)
NIMBRA_CURL_FORWARD(CURLMsg*, curl_multi_info_read, (CURLM * multi, int* left), (multi, left), nullptr)
NIMBRA_CURL_FORWARD(CURLMcode, curl_multi_poll,
                    (CURLM * multi, struct curl_waitfd* extra, unsigned int count, int timeout_ms, int* ready),
                    (multi, extra, count, timeout_ms, ready), CURLM_INTERNAL_ERROR)
NIMBRA_CURL_FORWARD(CURLMcode, curl_multi_wakeup, (CURLM * multi), (multi), CURLM_INTERNAL_ERROR)
NIMBRA_CURL_FORWARD(struct curl_slist*, curl_slist_append, (struct curl_slist * list, const char* text), (list, text),
                    nullptr)
NIMBRA_CURL_FORWARD_VOID(curl_slist_free_all, (struct curl_slist * list), (list))
NIMBRA_CURL_FORWARD(CURLU*, curl_url, (void), (), nullptr)
NIMBRA_CURL_FORWARD_VOID(curl_url_cleanup, (CURLU * url), (url))
NIMBRA_CURL_FORWARD(CURLUcode, curl_url_get, (CURLU * url, CURLUPart part, char** out, unsigned int flags),
                    (url, part, out, flags), CURLUE_OUT_OF_MEMORY)
NIMBRA_CURL_FORWARD(CURLUcode, curl_url_set, (CURLU * url, CURLUPart part, const char* text, unsigned int flags),
                    (url, part, text, flags), CURLUE_OUT_OF_MEMORY)

// libcurl's prototypes end their named parameters with an enum; its values fit an int,
// so it is passed unpromoted, which is what clang's warning is about.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wvarargs"
#endif

extern "C" CURLcode curl_easy_setopt(CURL* handle, CURLoption option, ...)
{
    static const auto real = find<CURLcode (*)(CURL*, CURLoption, ...)>("curl_easy_setopt");
    va_list arguments;
    va_start(arguments, option);
    void* value = one_argument(arguments);
    va_end(arguments);
    return real ? real(handle, option, value) : CURLE_FAILED_INIT;
}

extern "C" CURLcode curl_easy_getinfo(CURL* handle, CURLINFO info, ...)
{
    static const auto real = find<CURLcode (*)(CURL*, CURLINFO, ...)>("curl_easy_getinfo");
    va_list arguments;
    va_start(arguments, info);
    void* value = one_argument(arguments);
    va_end(arguments);
    return real ? real(handle, info, value) : CURLE_FAILED_INIT;
}
