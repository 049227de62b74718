// Names a global directly, which compiles to a PC-relative reference.
extern "C" char* CurrentVersion;
char* CurrentVersion = nullptr;
extern "C" char* ReadsGlobalDirectly() { return CurrentVersion; }
