// Small text and byte helpers, in place of the C runtime's.
#include "sectorsweep.h"

int TextLength(const char* text) {
    int length = 0;
    while (text[length] != 0) ++length;
    return length;
}

void CopyText(char* out, const char* text, int capacity) {
    int i = 0;
    for (; i < capacity - 1 && text[i] != 0; ++i) out[i] = text[i];
    out[i] = 0;
}

void FillBytes(void* block, BYTE value, SIZE_T bytes) {
    BYTE* p = static_cast<BYTE*>(block);
    for (SIZE_T i = 0; i < bytes; ++i) p[i] = value;
}

void StripTrailingChar(char* text, char ch) {
    int length = TextLength(text);
    if (length > 0 && text[length - 1] == ch) text[length - 1] = 0;
}
