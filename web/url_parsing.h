// Splitting an address into host, path and port for the HTTP request engine.
//
// An address is [scheme] authority [path]: the scheme "http://" or "https://" (any
// letter case) or none, the authority up to the first "/" after it, the path from that
// "/" on, query and fragment included. The scheme is dropped; the request engine looks
// at it first (an "https://" address goes over TLS).
#pragma once

#include <stdint.h>

extern "C" {

// Removes a leading "https://" and then a leading "http://" from the caller's text (the
// old block is freed and replaced), and returns the lower-cased authority: everything
// before the first "/", or the whole address when there is none (a query then stays
// part of it, and so does ":port").
char* UrlHost(char** address);

// Rewrites the caller's text as UrlHost does and returns everything from the first "/"
// at or after the host to the end, or "/" when there is none.
char* UrlPath(char** address);

// The number after the first ":" of the authority (0 when nothing follows it), or 80
// when the authority holds no ":". The address is left as it is.
int32_t UrlPort(const char* address);

}  // extern "C"
