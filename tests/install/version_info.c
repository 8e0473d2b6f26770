/* Prints the version resource of a Windows file as Windows reads it
 * (GetFileVersionInfo): one "Name=value" line per string, then the fixed
 * file version. What a technician sees in the file's properties. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main(int argc, char **argv) {
    static const char *const names[] = {"CompanyName", "FileDescription", "FileVersion", "OriginalFilename",
                                        "ProductName", "ProductVersion"};
    if (argc != 2) return 2;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(argv[1], &ignored);
    if (size == 0) {
        fprintf(stderr, "version_info: %s has no version resource\n", argv[1]);
        return 1;
    }
    char *info = (char *)malloc(size);
    if (info == NULL || !GetFileVersionInfoA(argv[1], 0, size, info)) return 1;
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        char query[64];
        char *value = NULL;
        UINT length = 0;
        snprintf(query, sizeof query, "\\StringFileInfo\\040904B0\\%s", names[i]);
        if (VerQueryValueA(info, query, (void **)&value, &length) && length > 0) printf("%s=%s\n", names[i], value);
    }
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    if (VerQueryValueA(info, "\\", (void **)&fixed, &length) && length >= sizeof *fixed)
        printf("Fixed=%lu.%lu.%lu.%lu\n", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
               HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    free(info);
    return 0;
}
