// A table of pointers in read-only data: each entry would need a relocation in const.
extern "C" const char* const MonthNames[] = {"Jan", "Feb", "Mar"};
extern "C" const char* MonthName(int i) { return MonthNames[i]; }
