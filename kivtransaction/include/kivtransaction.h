/* SPDX-License-Identifier: Zlib */
/* kivtransaction: several installs and text patches as one change, so
 * that after a kill, a cancel or a power cut every target holds its old
 * content or every target holds its new content, never a mix.
 *
 * A transaction is begun on a journal folder that the caller chooses on
 * the targets' volume. Each member is staged beside its target under a
 * hidden name (nothing changes at the target yet); the commit records in
 * the journal that the transaction is committed, syncs that record on its
 * own, and only then puts every member in place. Recovery (KivRecover, and
 * the start of every KivTransactionBegin on the folder) finishes a
 * transaction whose commit record is durable and undoes any other.
 *
 * A target that another program holds so that its member could not be put
 * in place (on Windows a file held open without delete sharing, or, for a
 * patch, without write sharing) fails KivTransactionCommit before the
 * commit record with KIVINSTALL_IN_USE (-5032): every target stays old and
 * nothing of the transaction is left, unless every such target is one
 * that its install (KIVINSTALL_AT_RESTART) lets wait for the restart:
 * then nothing changes now, every member (patches too, their staged files
 * given the targets' times) is queued to take its target's place at the
 * next restart, in order, and the commit returns KIVTRANSACTION_AT_RESTART
 * (1). The journal stays: until the restart, recovery leaves it as it is
 * (KIVTRANSACTION_PENDING, nothing touched); after it, recovery finishes
 * whatever the restart left undone (a power cut in the middle of it) and
 * removes the journal. A file that Windows
 * lets be renamed and yet refuses to replace (a running program or a
 * loaded DLL) is set aside in the commit, as KivInstallFile sets one
 * aside: the new file takes its name, the program goes on running from
 * the old one, which goes once the program lets go or at the next restart.
 *
 * A target that became read-only (Windows) after its member was staged
 * without KIVINSTALL_READ_ONLY fails the commit before its record with
 * KIVCOPY_TARGET_NOT_WRITTEN (-5010), every target old.
 *
 * On Windows the journal folder is held open without delete sharing while
 * a transaction or a recovery works in it, and a folder that is a reparse
 * point (a link or a junction) is refused; a journal is trusted only as a
 * plain file with one name whose owner is the caller's user (or, for an
 * elevated caller, the Administrators group). Who else may write it is for
 * the folder's permissions to keep, which the caller chooses.
 *
 * The library exports each function under its plain, undecorated name,
 * and on Windows a wide twin of each one that takes a path or text (its
 * name ends in W).
 */
#ifndef KIVTRANSACTION_H
#define KIVTRANSACTION_H

#include <stdint.h>
#if defined(_WIN32)
#include <wchar.h>
#endif

#if defined(_WIN32)
#  if defined(KIVTRANSACTION_BUILDING)
#    define KIVTRANSACTION_API __declspec(dllexport)
#  else
#    define KIVTRANSACTION_API __declspec(dllimport)
#  endif
/* __stdcall, the default of installer engines, unless the library was
   built for __cdecl (CMake option KIV_CDECL); 64-bit Windows has one
   calling convention, so the switch changes nothing there. */
#  if defined(KIV_CDECL)
#    define KIVTRANSACTION_CALL __cdecl
#  else
#    define KIVTRANSACTION_CALL __stdcall
#  endif
#else
#  define KIVTRANSACTION_API __attribute__((visibility("default")))
#  define KIVTRANSACTION_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results of the transaction's own steps. A member's staging gives its
   own call's result instead: KivInstallFile's for KivTransactionInstall,
   replaceString's and replaceText's for the patches. */
#define KIVTRANSACTION_OK                 0
#define KIVTRANSACTION_AT_RESTART         1 /* commit (Windows): a target cannot be replaced before a
                                               restart and its install allows that: nothing changed
                                               now, every member waits beside its target and all
                                               take their places at the next restart */
#define KIVTRANSACTION_FINISHED           2 /* KivRecover: a committed transaction finished: all new */
#define KIVTRANSACTION_UNDONE             3 /* KivRecover: a transaction undone: all old */
#define KIVTRANSACTION_PENDING            4 /* commit: left to recovery (KivRecover, or the next
                                               KivTransactionBegin on the folder), which finishes
                                               it where the commit record reached the disk and
                                               undoes it where it did not; KivRecover: a
                                               transaction waits for the restart, left as it is */
#define KIVTRANSACTION_FOLDER_EXISTS      5 /* KivTransactionMakeFolder: a folder is there already:
                                               nothing to make, and members go into it as it is */
#define KIVTRANSACTION_INVALID_ARGUMENT   -6001 /* a null or empty path, a null handle pointer */
#define KIVTRANSACTION_NO_JOURNAL         -6002 /* the journal folder cannot be opened, or the journal not written */
#define KIVTRANSACTION_JOURNAL_REFUSED    -6003 /* a journal in the folder is not one to trust: nothing done with it */
#define KIVTRANSACTION_UNKNOWN            -6004 /* no open transaction has this number */
#define KIVTRANSACTION_MUST_ABORT         -6005 /* a member failed while staging: only an abort is left */
#define KIVTRANSACTION_TARGET_CHANGED     -6006 /* commit: a target is no longer what its member was staged for */

KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionBegin(const char *journal_folder,
                                                                   int32_t *transaction);
KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionInstall(int32_t transaction,
                                                                     const char *source,
                                                                     const char *target,
                                                                     int32_t flags);
KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionReplace(int32_t transaction,
                                                                     const char *path,
                                                                     const char *pattern, int32_t n,
                                                                     const char *replacement,
                                                                     int32_t m);
KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionReplaceText(int32_t transaction,
                                                                         const char *path,
                                                                         const char *pattern,
                                                                         const char *replacement,
                                                                         int32_t encoding);
/* Makes the folder `path` as a member: made at once under a hidden name
   beside where it goes, it takes its name at the commit, after the members
   staged inside it (paths through `path`, spelled as here: separators run
   together or at the end aside, and on Windows either separator and
   letters of either case) are in place, never replacing what appeared at
   its name meanwhile (the commit then fails, every target old); an abort
   or a recovery that undoes the transaction removes it while it is empty.
   0, or KIVTRANSACTION_FOLDER_EXISTS where a folder is there already,
   KIVCOPY_TARGET_EXISTS where anything else is, KIVCOPY_TARGET_NOT_WRITTEN
   where the folder that holds it cannot be opened or written,
   KIVTRANSACTION_INVALID_ARGUMENT for a null or empty path; a failure
   after its name was recorded leaves only an abort. */
KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionMakeFolder(int32_t transaction,
                                                                        const char *path);
KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionCommit(int32_t transaction);
KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionAbort(int32_t transaction);
/* After a commit or an abort: the member whose guard failed the commit, as
   its place (from 0) among the members staged (the Install and Replace calls
   that returned 0, KIVCOPY_TIMES_NOT_SET or 1), or -1 where none did;
   KIVTRANSACTION_UNKNOWN for a number that no ended transaction had. */
KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionFailedMember(int32_t transaction);
KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivRecover(const char *journal_folder);

#if defined(_WIN32)
/* The wide twins: the same calls, results and outcomes, with paths (and
   KivTransactionReplaceTextW's text) in UTF-16. The narrow functions take
   their paths as text in the ANSI code page, as KivInstallFile and
   replaceString do: a path that is not valid text there names no file
   (KivTransactionBegin and KivRecover: KIVTRANSACTION_NO_JOURNAL;
   KivTransactionInstall: 10 for the source, -5010 for the target; the
   patches: 3). KivTransactionReplaceText's pattern and replacement stay
   UTF-8, as replaceText's do; KivTransactionReplace's are bytes in both. */
KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionBeginW(const wchar_t *journal_folder,
                                                                    int32_t *transaction);
KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionInstallW(int32_t transaction,
                                                                      const wchar_t *source,
                                                                      const wchar_t *target,
                                                                      int32_t flags);
KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionReplaceW(int32_t transaction,
                                                                      const wchar_t *path,
                                                                      const char *pattern, int32_t n,
                                                                      const char *replacement,
                                                                      int32_t m);
KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionReplaceTextW(int32_t transaction,
                                                                          const wchar_t *path,
                                                                          const wchar_t *pattern,
                                                                          const wchar_t *replacement,
                                                                          int32_t encoding);
KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionMakeFolderW(int32_t transaction,
                                                                         const wchar_t *path);
KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivRecoverW(const wchar_t *journal_folder);
#endif

#ifdef __cplusplus
}
#endif

#endif
