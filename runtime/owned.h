// Holders for the blocks a routine receives: each frees its block through the free
// service when it goes out of scope or takes a new value, so a temporary is released as
// soon as its holder ends and a variable's old value before the new one is stored.
// Pointers into the const section may be held too; the free service leaves them alone.
#pragma once

#include "runtime/arrays.h"

namespace qx::rt {

template <typename P, void (*Release)(P)>
class Owned {
public:
    Owned() = default;
    explicit Owned(P p) : p_(p) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) : p_(other.release()) {}
    Owned& operator=(Owned&& other)
    {
        reset(other.release());
        return *this;
    }
    ~Owned() { reset(); }

    P get() const { return p_; }
    P release()
    {
        P p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(P p = nullptr)
    {
        if (p_ && p_ != p)
            Release(p_);
        p_ = p;
    }
    explicit operator bool() const { return p_ != nullptr; }

private:
    P p_ = nullptr;
};

inline void free_text(char* p) { Free(p); }
inline void free_block(void* p) { Free(p); }

using Text = Owned<char*, free_text>;
using ByteSet = Owned<void*, free_block>;
using TextArray = Owned<void*, FreeTextArray>;

inline ByteSetArg bytes_of(const ByteSet& b) { return ByteSetArg{b.get()}; }

}  // namespace qx::rt
