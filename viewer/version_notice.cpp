// The version notice, run once the main window exists: the notice server's short text
// "<latest version>----<download address>" tells whether a newer version exists.
//
// Nothing in the notice is trimmed, and at least two fields are needed before the
// versions are compared, so a notice without "----" never shows a message. The address
// goes to OpenWebPage as it is, a final line break included; that command opens web
// addresses only, without the line breaks and blanks they end in.
#include "runtime/commands.h"
#include "runtime/owned.h"
#include "text/text_routines.h"
#include "viewer/globals.h"
#include "viewer/text_lists.h"

using namespace qx::rt;

#ifndef NIMBRA_NOTICE_HOST
#error "NIMBRA_NOTICE_HOST (host[:port] of the notice server) must be defined by the build"
#endif

extern "C" {

void OnWindowCreated()
{
    void* fields = nimbra::NewTextList();

    // The program's own version is the const text itself, never a copy.
    char*& current = nimbra::current_version();
    Free(current);
    current = const_cast<char*>(const_version_text());

    ByteSet notice_bytes(FetchUrl("http://" NIMBRA_NOTICE_HOST "/day/shenzhen.txt"));
    Text notice(ToText(bytes_of(notice_bytes)));
    notice_bytes.reset();

    void* split = SplitText(notice.get(), "----", omitted);
    notice.reset();
    FreeTextArray(fields);
    fields = split;

    int32_t count = int32_t(ArrayElementCount(fields));
    if (count >= 1) {
        char*& latest = nimbra::latest_version();
        Free(latest);
        latest = ToText(TextElement(fields, 1));
    }
    if (count == 0)
        MessageBox("服务器正在更新或你未连接到网络", 0, omitted);
    if (count >= 2 && CompareTextBytes(current, nimbra::latest_version()) != 0) {
        MessageBox("当前不是最新版本。起下载最新版本。", 0, omitted);
        OpenWebPage(TextElement(fields, 2));
    }
    FreeTextArray(fields);
}

}  // extern "C"
