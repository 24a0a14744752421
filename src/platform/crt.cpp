// Windows only: the memory and string routines the compiler emits calls to. There is
// no C runtime in the program; these must not turn into calls to themselves, so
// this file is built without loop-to-library-call rewriting.
#include <stddef.h>

extern "C" {

void* memset(void* block, int value, size_t bytes) {
    unsigned char* p = static_cast<unsigned char*>(block);
    while (bytes-- > 0) *p++ = static_cast<unsigned char>(value);
    return block;
}

void* memcpy(void* out, const void* in, size_t bytes) {
    unsigned char* o = static_cast<unsigned char*>(out);
    const unsigned char* i = static_cast<const unsigned char*>(in);
    while (bytes-- > 0) *o++ = *i++;
    return out;
}

void* memmove(void* out, const void* in, size_t bytes) {
    unsigned char* o = static_cast<unsigned char*>(out);
    const unsigned char* i = static_cast<const unsigned char*>(in);
    if (o < i) {
        while (bytes-- > 0) *o++ = *i++;
    } else {
        while (bytes-- > 0) o[bytes] = i[bytes];
    }
    return out;
}

int memcmp(const void* a, const void* b, size_t bytes) {
    const unsigned char* x = static_cast<const unsigned char*>(a);
    const unsigned char* y = static_cast<const unsigned char*>(b);
    for (; bytes > 0; --bytes, ++x, ++y)
        if (*x != *y) return *x < *y ? -1 : 1;
    return 0;
}

size_t strlen(const char* text) {
    size_t length = 0;
    while (text[length] != 0) ++length;
    return length;
}

}  // extern "C"
