// A 64-bit absolute address inside code: no relocation kind can hold it.
extern "C" void Target() {}
asm(".text\n.globl HoldsAddress\nHoldsAddress:\n.quad Target\n");
