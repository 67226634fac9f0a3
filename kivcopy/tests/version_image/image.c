/* SPDX-License-Identifier: Zlib */
/* The code of the DLLs that carry version.rc: one function, so that the
   linker lays out a whole image around the resource. */
__declspec(dllexport) int kiv_version_image(void) { return 1; }
