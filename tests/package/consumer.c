/* SPDX-License-Identifier: Zlib */
/* Uses both exports through their installed headers. */
#include <kivcopy.h>
#include <kivsubst.h>
#include <stdio.h>
#include <string.h>

/* The installed headers say which version they came with. */
#if !defined(KIVCOPY_VERSION_MAJOR) || !defined(KIVSUBST_VERSION_MAJOR)
#error "the installed headers carry no version"
#endif

int main(void) {
    int copied = KivCopyFile(NULL, NULL, 0);
    int replaced = replaceString(NULL, NULL, 0, NULL, 0);
    printf("%d %d %s %s\n", copied, replaced, KIVCOPY_VERSION, KIVSUBST_VERSION);
    return copied == KIVCOPY_SOURCE_NOT_OPENED && replaced == KIVSUBST_INVALID_ARGUMENT &&
                   strcmp(KIVCOPY_VERSION, EXPECTED_VERSION) == 0 &&
                   strcmp(KIVSUBST_VERSION, EXPECTED_VERSION) == 0
               ? 0
               : 1;
}
