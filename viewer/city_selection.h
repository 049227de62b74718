// City selection: the two combo-box handlers that fill the city and district lists from
// the settings file, and the two list routines they are built on.
#pragma once

#include <stdint.h>

extern "C" {

// Event 0 of 组合框1: refills 组合框2 with the picked province's cities.
void FillCityList();
// Event 0 of 组合框2: refills 组合框3 with the picked city's districts.
void FillDistrictList();

// Appends one field per entry of `source` to the list in `*list` and returns the list's
// element count. An entry starts at each occurrence of `key` and runs to the next one;
// its field is the bytes before the first `terminator` in it (an entry without one gives
// nothing). `ignore_case` goes to the terminator search; a field longer than `maximum`
// bytes is left out unless `maximum` is 0. Each field is wrapped in `before` and `after`,
// then prefixed with the key (`prepend_key`) or else followed by the terminator
// (`append_terminator`).
int32_t CollectFields(const char* source, const char* key, const char* terminator, void** list, bool ignore_case,
                      int32_t maximum, const char* before, const char* after, bool prepend_key, bool append_terminator);

// Removes repeated texts from the list in `*list`, in place, letting window events run
// after every comparison. One pass can leave copies behind (five equal texts become two);
// the handlers run it twice.
void RemoveDuplicates(void** list);

}  // extern "C"
