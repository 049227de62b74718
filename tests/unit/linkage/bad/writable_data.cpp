// A writable variable that is not one of the program's globals.
extern "C" int CallCounter;
int CallCounter = 0;
extern "C" int CountCall() { return ++CallCounter; }
