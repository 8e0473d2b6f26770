/* A program built against an installed Kestrane, as an integrator builds
 * one: it enciphers DATA with Des2 and compares the result with EXPECTED.
 *   consumer "01 23 45 67 89 AB CD EF" "0F A2 7F 57 8F B6 BB 2E"
 * Valid C and C++: the pkg-config check compiles it as C, the find_package
 * check as C++. */
#include <stdio.h>
#include <stdlib.h>

#include "kestrane.h"

static int ParseHex(const char *text, int16_t *out, int limit) {
    int count = 0;
    char *end = NULL;
    for (;;) {
        const long value = strtol(text, &end, 16);
        if (end == text) return count;
        if (count == limit || value < 0 || value > 255) return -1;
        out[count++] = (int16_t)value;
        text = end;
    }
}

int main(int argc, char **argv) {
    int16_t data[255], expected[255];
    if (argc != 3) {
        fprintf(stderr, "usage: consumer DATA EXPECTED (hex bytes)\n");
        return 2;
    }
    const int length = ParseHex(argv[1], data, 255);
    if (length <= 0 || ParseHex(argv[2], expected, 255) != length) {
        fprintf(stderr, "consumer: unreadable hex bytes\n");
        return 2;
    }
    const int16_t result = Des2(data, length, 0);
    if (result != KS_OK) {
        fprintf(stderr, "consumer: Des2 returned %d\n", result);
        return 1;
    }
    for (int i = 0; i < length; ++i) {
        if (data[i] != expected[i]) {
            fprintf(stderr, "consumer: byte %d is %02X, expected %02X\n", i, data[i], expected[i]);
            return 1;
        }
    }
    printf("consumer: Des2 of %d bytes matches\n", length);
    return 0;
}
