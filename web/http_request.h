// The HTTP request engine: one exchange through the WinINet functions of the image's DLL
// command table (commands 0-7), the body handed back as a byte set.
//
// Texts are NUL-terminated GBK bytes; a null text is the empty text. Every text and byte
// set returned is a new block of the allocation service that the receiver frees.
#pragma once

#include <stdint.h>

extern "C" {

// The bytes of `count` byte sets end to end, in argument order (a null set is empty),
// as one new byte set; null, the empty byte set, when they hold no bytes at all.
void* JoinByteSets(int32_t count, const void* const* byte_sets);

// One GET or POST exchange; the response body as a byte set (null when the server sent
// none). `method` is "GET", "POST" or empty (GET), compared byte for byte.
//
// The caller's texts are rewritten: `*url` loses its leading scheme, and `*headers`
// (header lines, each ending in CR LF) gains the default Accept, Referer and
// Accept-Language lines it lacks, and for a POST with a body a Content-Type and a
// Content-Length line. Either pointer may be null (no headers of the caller's own).
//
// "https://" addresses go over TLS, to port 443 unless they name one; any other address
// is plain HTTP, port 80 unless it names one. A non-empty `proxy` (host:port) serves
// plain HTTP requests. Cookies the response sets are recorded in the library's store
// under the address's scheme and host.
//
// The failure value, 255 zero bytes, comes back when a handle cannot be opened, the
// method is none of the three, or the request cannot be sent (nothing answered). A
// transfer that breaks off gives the bytes received until then.
void* HttpRequest(char** url, const char* method, const char* proxy, char** headers, const char* body);

// The page at `*url` as text: a GET with no headers, proxy or body of the caller's own;
// "http://" is put in front of an address that begins with "www" (the caller's text is
// then left alone, else it loses its scheme as with HttpRequest). Empty when nothing
// could be fetched, which cannot be told from an empty page.
char* FetchPageText(char** url);

}  // extern "C"
