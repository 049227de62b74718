// The entry routine of the text routines' test image. The tests call the routines at
// their code offsets; nothing runs the entry itself.
extern "C" void TextTestEntry() {}
