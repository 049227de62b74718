// URL parsing on plain texts with the runtime's text commands.
//
// Only a scheme at the very start of the address is removed. Removing "http://"
// wherever it occurs would also cut it out of a query that carries another address
// (a redirect parameter), and the request would go to a path the caller never named.
#include "web/url_parsing.h"

#include "runtime/commands.h"
#include "runtime/owned.h"
#include "text/text_routines.h"

using namespace qx::rt;

namespace {

// Replaces the caller's text by itself without `scheme` when it begins with it.
void RemoveLeadingScheme(char** address, const char* scheme)
{
    int32_t length = TextByteCount(scheme);
    Text head(LeftText(*address, length));
    if (CompareText(head.get(), scheme, true) != 0)
        return;
    char* rest = ReplaceSpan(*address, 1, length, omitted);
    Free(*address);
    *address = rest;
}

}  // namespace

extern "C" {

char* UrlHost(char** address)
{
    RemoveLeadingScheme(address, "https://");
    RemoveLeadingScheme(address, "http://");

    int32_t slash = FindText(*address, "/", omitted, false);
    if (slash == -1)
        return KernelCommand0x154(*address);
    Text authority(LeftText(*address, slash - 1));
    return KernelCommand0x154(authority.get());
}

char* UrlPath(char** address)
{
    Text host(UrlHost(address));
    // An empty host is not found (-1); the search for "/" then starts at 1.
    int32_t host_at = FindText(*address, host.get(), 1, true);
    int32_t slash = FindText(*address, "/", host_at, true);
    if (slash > 0)
        return RightText(*address, int32_t(TruncToInteger(double(TextLength(*address)) - slash + 1)));
    return JoinTexts("/");
}

int32_t UrlPort(const char* address)
{
    // The authority is either the address itself or a new text held here.
    const char* authority = address;
    Text cut;
    Text head(LeftText(address, 7));
    if (CompareText(head.get(), "http://", false) != 0) {
        int32_t slash = FindText(address, "/", omitted, true);
        if (slash > 0) {
            cut = Text(LeftText(address, slash - 1));
            authority = cut.get();
        }
    } else {
        int32_t slash = FindText(address, "/", 8, true);
        cut = Text(slash > 0 ? MidText(address, 8, slash - 8) : ReplaceSpan(address, 1, 7, omitted));
        authority = cut.get();
    }

    int32_t colon = FindText(authority, ":", 1, false);
    Text port_text;
    if (colon > 0)
        port_text = Text(RightText(authority, int32_t(TruncToInteger(double(TextLength(authority)) - colon))));
    double port = ToNumber(colon > 0 ? port_text.get() : "80");
    return int32_t(TruncToInteger(port));
}

}  // extern "C"
