// WebPane on Windows: the hypertext browser control. The program calls none of its
// commands; the Win32 window builds its browser units through the control factory this
// library offers as its extension (support/browser_pane.h), as the GTK window does.
//
// Each control is the system's WebBrowser control, hosted through OLE in a window of its
// own (the window the Win32 window places at the unit's rectangle): a client site that
// activates it in place and nothing more. A local page comes as the bytes the window read
// at once; the control is given a private copy of them (the program deletes its page file
// 10 ms later), an address is navigated to as it is. Where the system has no browser
// engine the pane stays an empty white area; what it was given is recorded by the window
// all the same.
#include "platform/windows/wide_text.h"
#include "support/browser_pane.h"
#include "support/support_library.h"

#include <windows.h>
#include <exdisp.h>
#include <ole2.h>

#include <atomic>
#include <cstdio>
#include <string>

namespace nimbra::support {

namespace {

constexpr const wchar_t* kPaneClass = L"NimbraWebPane";

// The container side of OLE in-place activation: the least a WebBrowser control needs to
// show itself inside the pane's window. The pane owns it; reference counts are not used.
class Site final : public IOleClientSite, public IOleInPlaceSite, public IOleInPlaceFrame {
public:
    explicit Site(HWND host) : host_(host) {}

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == IID_IOleClientSite)
            *out = static_cast<IOleClientSite*>(this);
        else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceSite)
            *out = static_cast<IOleInPlaceSite*>(this);
        else if (iid == IID_IOleInPlaceUIWindow || iid == IID_IOleInPlaceFrame)
            *out = static_cast<IOleInPlaceFrame*>(this);
        else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    // IOleClientSite
    STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP GetContainer(IOleContainer** container) override
    {
        *container = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

    // IOleWindow
    STDMETHODIMP GetWindow(HWND* window) override
    {
        *window = host_;
        return S_OK;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

    // IOleInPlaceSite
    STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnUIActivate() override { return S_OK; }
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document, RECT* position, RECT* clip,
                                  OLEINPLACEFRAMEINFO* info) override
    {
        *frame = this;
        *document = nullptr;
        GetClientRect(host_, position);
        *clip = *position;
        info->fMDIApp = FALSE;
        info->hwndFrame = GetAncestor(host_, GA_ROOT);
        info->haccel = nullptr;
        info->cAccelEntries = 0;
        return S_OK;
    }
    STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
    STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
    STDMETHODIMP OnInPlaceDeactivate() override { return S_OK; }
    STDMETHODIMP DiscardUndoState() override { return E_NOTIMPL; }
    STDMETHODIMP DeactivateAndUndo() override { return E_NOTIMPL; }
    STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }

    // IOleInPlaceUIWindow
    STDMETHODIMP GetBorder(LPRECT) override { return E_NOTIMPL; }
    STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return E_NOTIMPL; }
    STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return E_NOTIMPL; }
    STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override { return S_OK; }

    // IOleInPlaceFrame
    STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return E_NOTIMPL; }
    STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
    STDMETHODIMP RemoveMenus(HMENU) override { return E_NOTIMPL; }
    STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
    STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
    STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

private:
    HWND host_;
};

bool register_pane_class()
{
    static bool registered = [] {
        WNDCLASSEXW c{};
        c.cbSize = sizeof c;
        c.lpfnWndProc = DefWindowProcW;
        c.hInstance = GetModuleHandleW(nullptr);
        c.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        c.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
        c.lpszClassName = kPaneClass;
        return RegisterClassExW(&c) != 0;
    }();
    return registered;
}

// A file of this process's own for a page's bytes, unique per pane.
std::wstring private_page_file()
{
    static std::atomic<unsigned> counter{0};
    wchar_t directory[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, directory);
    if (length == 0 || length >= MAX_PATH)
        return {};
    return std::wstring(directory) + L"nimbra-pane-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++counter) + L".htm";
}

class OlePane final : public BrowserControl {
public:
    explicit OlePane(const Geometry& geometry)
    {
        if (!register_pane_class())
            return;
        // A window of its own, made hidden and without a parent: the Win32 window adopts it.
        host_ = CreateWindowExW(0, kPaneClass, L"", WS_POPUP | WS_CLIPCHILDREN, geometry.left, geometry.top,
                                geometry.width, geometry.height, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        if (!host_)
            return;
        site_ = new Site(host_);
        HRESULT made = CoCreateInstance(CLSID_WebBrowser, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                                        reinterpret_cast<void**>(&ole_));
        if (FAILED(made)) {
            ole_ = nullptr;
            std::fprintf(stderr,
                         "WebPane: the system's WebBrowser control cannot be made (0x%08lx); the pane stays empty\n",
                         static_cast<unsigned long>(made));
            return;
        }
        ole_->SetClientSite(static_cast<IOleClientSite*>(site_));
        RECT area{0, 0, geometry.width, geometry.height};
        if (FAILED(ole_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, static_cast<IOleClientSite*>(site_), 0, host_,
                                &area)) ||
            FAILED(ole_->QueryInterface(IID_IWebBrowser2, reinterpret_cast<void**>(&web_))))
            return;
        web_->put_Silent(VARIANT_TRUE);  // no script error dialogs over the program's window
    }

    ~OlePane() override
    {
        if (web_)
            web_->Release();
        if (ole_) {
            ole_->Close(OLECLOSE_NOSAVE);
            ole_->SetClientSite(nullptr);
            ole_->Release();
        }
        delete site_;
        if (host_)
            DestroyWindow(host_);
        if (!page_file_.empty())
            DeleteFileW(page_file_.c_str());
    }

    void show(const PageLoad& load) override
    {
        if (!web_)
            return;
        std::wstring target;
        if (load.local_file) {
            if (load.read && keep_page(load.bytes))
                target = page_file_;
        } else {
            target = nimbra::platform::utf8_to_wide(load.url);
        }
        navigate(target.empty() ? L"about:blank" : target);
    }

    void move(const Geometry& geometry) override
    {
        if (!host_)
            return;
        MoveWindow(host_, geometry.left, geometry.top, geometry.width, geometry.height, TRUE);
        IOleInPlaceObject* in_place = nullptr;
        if (ole_ && SUCCEEDED(ole_->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&in_place)))) {
            RECT area{0, 0, geometry.width, geometry.height};
            in_place->SetObjectRects(&area, &area);
            in_place->Release();
        }
    }

    void* widget() override { return host_; }

private:
    bool keep_page(const std::string& bytes)
    {
        if (page_file_.empty())
            page_file_ = private_page_file();
        HANDLE file = CreateFileW(page_file_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_TEMPORARY, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        DWORD written = 0;
        bool ok = WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr) && written == bytes.size();
        return CloseHandle(file) && ok;
    }

    void navigate(const std::wstring& address)
    {
        BSTR url = SysAllocString(address.c_str());
        VARIANT none;
        VariantInit(&none);
        web_->Navigate(url, &none, &none, &none, &none);
        SysFreeString(url);
    }

    HWND host_ = nullptr;
    Site* site_ = nullptr;
    IOleObject* ole_ = nullptr;
    IWebBrowser2* web_ = nullptr;
    std::wstring page_file_;
};

class OlePaneFactory final : public BrowserFactory {
public:
    OlePaneFactory() : ole_(SUCCEEDED(OleInitialize(nullptr))) {}
    ~OlePaneFactory() override
    {
        if (ole_)
            OleUninitialize();
    }
    std::unique_ptr<BrowserControl> create(uint32_t, const Geometry& geometry) override
    {
        return std::make_unique<OlePane>(geometry);
    }

private:
    bool ole_;
};

// Called on the window's thread, which the factory's panes then belong to.
BrowserFactory* create_factory() { return new OlePaneFactory; }

const BrowserPaneExtension kPane = {kBrowserPaneVersion, create_factory};
const LibraryExports kExports = {kSupportAbiVersion, "WebPane", nullptr, 0, &kPane};

}  // namespace

}  // namespace nimbra::support

extern "C" const nimbra::support::LibraryExports* nimbra_support_library(const nimbra::support::RuntimeServices*)
{
    return &nimbra::support::kExports;
}
