// One short description of a disk from its vendor and product texts.
#include "sectorsweep.h"

namespace {

void AppendText(char* out, int* length, const char* text, int count, int capacity) {
    for (int i = 0; i < count && *length < capacity; ++i) out[(*length)++] = text[i];
    out[*length] = 0;
}

DWORD ReadDword(const BYTE* bytes, int offset) {
    return static_cast<DWORD>(bytes[offset]) | static_cast<DWORD>(bytes[offset + 1]) << 8 |
           static_cast<DWORD>(bytes[offset + 2]) << 16 | static_cast<DWORD>(bytes[offset + 3]) << 24;
}

// A text of the reply, cut to its working text and never read past the reply.
void CopyReplyText(const BYTE* reply, DWORD offset, DWORD size, char* out) {
    if (offset == 0 || offset >= size) return;
    for (int i = 0; i < kIdTextSize - 1 && offset + static_cast<DWORD>(i) < kDescriptorReplySize; ++i) {
        char ch = static_cast<char>(reply[offset + static_cast<DWORD>(i)]);
        if (ch == 0) break;
        out[i] = ch;
    }
}

}  // namespace

void MaskControlBytes(char* text) {
    for (; *text != 0; ++text)
        if (static_cast<BYTE>(*text) < 0x20 || *text == 0x7F) *text = '?';
}

DWORD ReplaceAllCaseless(char* text, const char* find, const char* replacement, ULONGLONG capacity) {
    int t = TextLength(text);
    int f = TextLength(find);
    int r = TextLength(replacement);
    if (f == 0 || static_cast<ULONGLONG>(t) > capacity) return 0;
    // No result can be longer than every match replaced; a larger capacity
    // changes no outcome, and bounding it keeps the buffer size from wrapping.
    ULONGLONG growth = static_cast<ULONGLONG>(r > f ? r - f : 0);
    ULONGLONG longest = static_cast<ULONGLONG>(t) + static_cast<ULONGLONG>(t / f) * growth;
    if (capacity > longest) capacity = longest;
    char* plain = static_cast<char*>(AllocZeroed(static_cast<ULONGLONG>(t) + 1));
    char* upperText = static_cast<char*>(AllocZeroed(static_cast<ULONGLONG>(t) + 1));
    char* upperFind = static_cast<char*>(AllocZeroed(static_cast<ULONGLONG>(f) + 1));
    CopyText(plain, text, t + 1);
    CopyText(upperText, text, t + 1);
    CopyText(upperFind, find, f + 1);
    CharUpperA(upperText);
    CharUpperA(upperFind);
    ULONGLONG room = capacity + growth;
    char* result = static_cast<char*>(AllocZeroed(room + 1));
    int resultLength = 0;
    int roomLimit = static_cast<int>(room);
    DWORD count = 0;
    int position = 0;
    for (;;) {
        const char* match = StrStrA(upperText + position, upperFind);
        if (match == nullptr) break;
        int at = static_cast<int>(match - upperText);
        if (static_cast<ULONGLONG>(resultLength + (t - position)) > capacity) break;
        AppendText(result, &resultLength, plain + position, at - position, roomLimit);
        AppendText(result, &resultLength, replacement, r, roomLimit);
        ++count;
        position = at + f;
    }
    bool fits = static_cast<ULONGLONG>(resultLength + (t - position)) <= capacity;
    if (fits) AppendText(result, &resultLength, plain + position, t - position, roomLimit);
    if (fits) CopyText(text, result, resultLength + 1);
    FreeChecked(result);
    FreeChecked(upperFind);
    FreeChecked(upperText);
    FreeChecked(plain);
    return fits ? count : 0;
}

DWORD ReplaceAllCaseless(char* text, const char* find, const char* replacement) {
    return ReplaceAllCaseless(text, find, replacement, static_cast<ULONGLONG>(TextLength(text)));
}

void BuildDeviceDescription(const char* vendor, const char* product, char* out, DWORD capacity) {
    CopyText(out, vendor, static_cast<int>(capacity));
    StrTrimA(out, " \t");
    char trimmedProduct[kDescriptionSize];
    CopyText(trimmedProduct, product, kDescriptionSize);
    StrTrimA(trimmedProduct, " \t");
    if (StrStrA(trimmedProduct, out) == trimmedProduct) out[0] = 0;
    int v = TextLength(out);
    int p = TextLength(trimmedProduct);
    if (static_cast<DWORD>(v + p + 2) < capacity) {
        int length = v;
        if (v > 0 && p > 0) AppendText(out, &length, " ", 1, static_cast<int>(capacity) - 1);
        AppendText(out, &length, trimmedProduct, p, static_cast<int>(capacity) - 1);
    }
    ReplaceAllCaseless(out, "Generic- ", "Generic ");
}

void DescribeReply(const BYTE* reply, char* out) {
    char vendor[kIdTextSize];
    char product[kIdTextSize];
    FillBytes(vendor, 0, sizeof vendor);
    FillBytes(product, 0, sizeof product);
    DWORD size = ReadDword(reply, 4);
    CopyReplyText(reply, ReadDword(reply, 12), size, vendor);
    CopyReplyText(reply, ReadDword(reply, 16), size, product);
    BuildDeviceDescription(vendor, product, out, kDescriptionSize);
    MaskControlBytes(out);
}

void QueryDeviceDescription(HANDLE disk, char* out) {
    alignas(8) BYTE reply[kDescriptorReplySize];
    if (!QueryDescriptor(disk, reply)) return;
    char description[kDescriptionSize];
    FillBytes(description, 0, sizeof description);
    DescribeReply(reply, description);
    CopyText(out, description, kDescriptionSize);
}
