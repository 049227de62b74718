// The three weather pages. One builder runs the same steps for each button; a variant
// says where the browser stands, which block of the city's page to cut out and how to
// dress it. The builder reports nothing: a missing settings entry, a failed download or
// a missing marker only makes the page shorter, and every step runs to the end.
//
// The page is written to a file beside the executable, shown from there and deleted
// again; the browser control reads a local file when its address is set, so the
// deletions that follow cannot empty the page.
#include "runtime/commands.h"
#include "runtime/owned.h"
#include "text/text_routines.h"
#include "viewer/selected_item.h"
#include "viewer/unit_ids.h"
#include "web/http_request.h"
#include "web/page_contract.h"

using namespace qx::rt;
using nimbra::SelectedItemText;
namespace page_contract = nimbra::page_contract;

#ifndef NIMBRA_WEATHER_HOST
#error "NIMBRA_WEATHER_HOST (host[:port] of the weather service) must be defined by the build"
#endif

namespace {

constexpr int32_t kBrowserTop = 56;
constexpr int32_t kBrowserHeight = 216;

// The chosen place's city code: the bytes after "province-city-district@" in the
// settings text, up to the next "#".
char* CityCode(const char* settings)
{
    Text province(SelectedItemText<nimbra::kUnitCombo1>());
    Text city(SelectedItemText<nimbra::kUnitCombo2>());
    Text district(SelectedItemText<nimbra::kUnitCombo3>());
    Text key(JoinTexts(province.get(), "-", city.get(), "-", district.get(), "@"));
    return TextBetween(settings, key.get(), "#");
}

// Images get the weather service's address in front of their path (even one that has
// a scheme already), and anchors lose the name of their href attribute, so that the
// page cannot be left through a link.
char* DressBlock(const char* block)
{
    Text wrapped(JoinTexts(page_contract::kForecastStart, block, page_contract::kForecastEnd));
    Text images(ReplacePairs(wrapped.get(), omitted, omitted, omitted, "<img src=\"",
                             "<img src=\"http://" NIMBRA_WEATHER_HOST));
    return ReplacePairs(images.get(), omitted, omitted, omitted, "<a href", "<a ");
}

// What sets one page apart from the others.
//
//                  forecast                 live                    living indexes
//  browser         0, 56, 672, 216          0, 56, 672, 216         180, 56, 300, 216
//  block           weatherYubaoBox ...      " <div class="live">"   todayLiving ...
//                  ... weatherYubao2        ... first "</div>"      ... cleardiv
//  wrapped,        yes                      no                      yes, in the forecast's
//  rewritten                                                        wrapper
//  separator       "<p>&nbsp;</p>"          none                    none
//
// The variant travels as the builder's arguments: a table of texts in data could not be
// placed in the image (its pointers would need relocating), while arguments are immediates.
[[gnu::noinline]] void BuildWeatherPage(int32_t left, int32_t width, const char* start_marker, const char* end_marker,
                                        bool dressed, const char* separator)
{
    using nimbra::kUnitBrowser1;
    using nimbra::kWindowId;
    SetUnitProperty<kWindowId, kUnitBrowser1>(qx::kPropLeft, uint32_t(left));
    SetUnitProperty<kWindowId, kUnitBrowser1>(qx::kPropTop, uint32_t(kBrowserTop));
    SetUnitProperty<kWindowId, kUnitBrowser1>(qx::kPropWidth, uint32_t(width));
    SetUnitProperty<kWindowId, kUnitBrowser1>(qx::kPropHeight, uint32_t(kBrowserHeight));

    Text directory(GetProgramDirectory());
    Text settings;
    {
        Text settings_path(JoinTexts(directory.get(), "/config.ini"));
        ByteSet settings_bytes(ReadFile(settings_path.get()));
        settings = Text(ToText(bytes_of(settings_bytes)));
    }
    Text code(CityCode(settings.get()));
    settings.reset();
    Text page_path(JoinTexts(directory.get(), "\\显示页.htm"));

    Text content;
    {
        // The engine rewrites the address it is given (it drops the scheme).
        char* address = JoinTexts("http://" NIMBRA_WEATHER_HOST "/weather/", code.get(), ".shtml");
        Text page_text(FetchPageText(&address));
        Free(address);
        Text block(TextBetween(page_text.get(), start_marker, end_marker));
        content = Text(dressed ? DressBlock(block.get()) : block.release());
    }

    Text head(as_text(GetUnitProperty<kWindowId, nimbra::kUnitEditBox1>(qx::kPropText)));
    Text page(JoinTexts(head.get(), separator, content.get()));
    head.reset();
    content.reset();
    {
        ByteSet page_bytes(ToByteSet(page.get()));
        page.reset();
        WriteFile(page_path.get(), bytes_of(page_bytes));
    }

    SetUnitText<kWindowId, kUnitBrowser1>(qx::kPropAddress, page_path.get());
    Delay(10);
    DeleteFile(page_path.get());
    Delay(100);
    DeleteFile(page_path.get());
}

}  // namespace

extern "C" {

void ShowForecastPage()
{
    BuildWeatherPage(0, 672, page_contract::kForecastStart, page_contract::kForecastEnd, true, "<p>&nbsp;</p>");
}

void ShowLivePage() { BuildWeatherPage(0, 672, page_contract::kLiveStart, page_contract::kLiveEnd, false, ""); }

void ShowLivingIndexPage()
{
    BuildWeatherPage(180, 300, page_contract::kLivingStart, page_contract::kLivingEnd, true, "");
}

}  // extern "C"
