/* SPDX-License-Identifier: Zlib */
/* Uses both exports through their installed headers. */
#include <kivcopy.h>
#include <kivsubst.h>
#include <stdio.h>

int main(void) {
    int copied = KivCopyFile(NULL, NULL, 0);
    int replaced = replaceString(NULL, NULL, 0, NULL, 0);
    printf("%d %d\n", copied, replaced);
    return copied == KIVCOPY_SOURCE_NOT_OPENED && replaced == KIVSUBST_INVALID_ARGUMENT ? 0 : 1;
}
