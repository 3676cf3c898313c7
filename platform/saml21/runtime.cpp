// The few language-runtime hooks a program without heap, exceptions or exit
// needs. The firmware never returns from its loop, so destructors of
// globals are never registered, and nothing is ever deleted.
#include <stddef.h>

extern "C" {
void* __dso_handle = nullptr;
int __cxa_atexit(void (*)(void*), void*, void*) { return 0; }
void __cxa_pure_virtual() {
    for (;;) {
    }
}
}

// Referenced by the deleting destructors of classes with a virtual
// destructor (Print); no object of the firmware lives on a heap.
void operator delete(void*) noexcept {}
void operator delete(void*, size_t) noexcept {}
