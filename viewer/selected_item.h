// The combo boxes as the handlers read them.
#pragma once

#include "runtime/commands.h"
#include "viewer/unit_ids.h"

namespace nimbra {

template <uint32_t Unit>
qx::rt::ControlRef combo()
{
    return qx::rt::Control<kWindowId, Unit, qx::kDataTypeComboBox>();
}

// The text of the box's selected item: ItemText at the selected-index property (a new
// text). With nothing selected that index is -1, for which the runtime gives the empty
// text.
template <uint32_t Unit>
char* SelectedItemText()
{
    int32_t index = qx::rt::as_integer(qx::rt::GetUnitProperty<kWindowId, Unit>(19));
    return qx::rt::ItemText(combo<Unit>(), index);
}

}  // namespace nimbra
