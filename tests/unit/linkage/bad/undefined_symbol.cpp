// Calls a routine no object defines.
extern "C" void NoSuchRoutine();
extern "C" void CallsMissingRoutine() { NoSuchRoutine(); }
