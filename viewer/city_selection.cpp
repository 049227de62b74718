// City selection. Each pick reads the whole settings file again and rebuilds the next
// list from nothing; nothing is kept between picks, and no failure is reported: a missing
// file or section only leaves the next box empty.
//
// The settings file holds sections "<name>\r\n ... \r\n</name>" whose entries read
// province-city-district@code#; a province's section gives its cities (the text between
// "province-" and the next "-"), a city's section its districts ("city-" up to "@").
#include "viewer/city_selection.h"

#include "runtime/commands.h"
#include "runtime/owned.h"
#include "text/text_routines.h"
#include "viewer/text_lists.h"
#include "viewer/selected_item.h"

using namespace qx::rt;
using nimbra::combo;
using nimbra::SelectedItemText;

namespace {

char* ReadSettingsText()
{
    Text directory(GetProgramDirectory());
    Text path(JoinTexts(directory.get(), "/config.ini"));
    ByteSet bytes(ReadFile(path.get()));
    return ToText(bytes_of(bytes));
}

// True when the box no longer shows `picked`, or `Target` was filled again: another pick
// in `Source` has been handled since `Target` was emptied.
template <uint32_t Source, uint32_t Target>
bool LaterPickFilled(const char* picked)
{
    Text now(SelectedItemText<Source>());
    return CompareTextBytes(now.get(), picked) != 0 || ItemCount(combo<Target>()) != 0;
}

// The pick in `Source` names a section; its entries' fields (the text between
// "<name>-" and `terminator`) replace the items of `Target`. The list is cleaned of
// repeats twice, as one pass can leave copies; each added item is followed by a 10 ms
// pause, so a long list appears item by item.
template <uint32_t Source, uint32_t Target>
void FillNextList(const char* terminator)
{
    Text settings(ReadSettingsText());
    Text name(SelectedItemText<Source>());
    void* list = nimbra::NewTextList();
    {
        Text open_tag(JoinTexts("<", name.get(), ">\r\n"));
        Text close_tag(JoinTexts("\r\n</", name.get(), ">"));
        Text body(TextBetween(settings.get(), open_tag.get(), close_tag.get()));
        settings.reset();
        Text key(JoinTexts(name.get(), "-"));
        CollectFields(body.get(), key.get(), terminator, &list, false, 0, "", "", false, false);
    }

    int32_t old_items = ItemCount(combo<Target>());
    for (int32_t i = 0; i < old_items; ++i)
        DeleteItem(combo<Target>(), 0);

    RemoveDuplicates(&list);
    RemoveDuplicates(&list);

    // Window events ran while the list was cleaned. If the user picked again meanwhile, that
    // pick's handler has run to its end and filled the box for the current choice; adding
    // this list after it would show two places' items under one choice.
    if (LaterPickFilled<Source, Target>(name.get())) {
        FreeTextArray(list);
        return;
    }

    uint32_t count = ArrayElementCount(list);
    for (uint32_t i = 1; i <= count; ++i) {
        AddItem(combo<Target>(), TextElement(list, int32_t(i)), omitted);
        Delay(10);
    }
    FreeTextArray(list);
}

}  // namespace

extern "C" {

void FillCityList() { FillNextList<nimbra::kUnitCombo1, nimbra::kUnitCombo2>("-"); }

void FillDistrictList() { FillNextList<nimbra::kUnitCombo2, nimbra::kUnitCombo3>("@"); }

int32_t CollectFields(const char* source, const char* key, const char* terminator, void** list, bool ignore_case,
                      int32_t maximum, const char* before, const char* after, bool prepend_key, bool append_terminator)
{
    void* piece_list = SplitText(source, key, omitted);
    // What stands before the first key is no entry.
    if (ArrayElementCount(piece_list) >= 1)
        nimbra::RemoveFromTextList(&piece_list, 1);

    int32_t piece_count = int32_t(ArrayElementCount(piece_list));
    for (int32_t i = 1; i <= piece_count; ++i) {
        const char* piece = TextElement(piece_list, i);
        int32_t end = FindText(piece, terminator, omitted, ignore_case);
        if (end == -1)
            continue;
        Text field(LeftText(piece, end - 1));
        if (maximum != 0 && TextLength(field.get()) > maximum)
            continue;
        field = Text(JoinTexts(before, field.get(), after));
        if (prepend_key)
            field = Text(JoinTexts(key, field.get()));
        else if (append_terminator)
            field = Text(JoinTexts(field.get(), terminator));
        nimbra::AppendToTextList(list, field.release());
    }
    FreeTextArray(piece_list);
    return int32_t(ArrayElementCount(*list));
}

// Compares every element with every other, the later copy of a pair being removed. The
// counts are read again as the steps go, because an element removed behind the outer
// position shifts it; the loop shapes follow that exactly, so which copy survives is
// fixed (for A B A A it is the last A, giving B A after two passes).
void RemoveDuplicates(void** list)
{
    int32_t i = 0;
    int32_t j = 0;
    int32_t n = int32_t(ArrayElementCount(*list));
    if (n == 0)
        return;
    for (;;) {
        // Next outer element.
        if (i >= n)
            return;
        n = int32_t(ArrayElementCount(*list));
        ++i;
        for (;;) {
            // Next inner element.
            if (j == n) {
                j = 0;
                break;
            }
            ++j;
            n = int32_t(ArrayElementCount(*list));
            if (j > n || i > n) {
                j = 0;
                break;
            }
            if (CompareTextBytes(TextElement(*list, i), TextElement(*list, j)) == 0 && j != i)
                nimbra::RemoveFromTextList(list, j);
            ProcessEvents();
        }
    }
}

}  // extern "C"
