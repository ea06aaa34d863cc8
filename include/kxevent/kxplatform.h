/* kxplatform.h: the platform loader for hosts written in C (Linux).
 *
 * On Linux, KXEvent.DLL is loaded through the platform library (libkxplatform), not with
 * dlopen: its loader runs the module's DllMain attach (which binds the siblings and loads the
 * resource module) and the module shares one registry cache and module table with its host.
 * These functions give a C host that loader: plain C (C89 and later, or C++), nothing but
 * size_t and unsigned long in the interface. Link with -lkxplatform (pkg-config kxevent, or the
 * CMake package KXEvent).
 *
 *     kx_module* lib = kx_load_module("/usr/lib/x86_64-linux-gnu/velmora/KXEvent.DLL", 0);
 *     if (lib == NULL) {
 *         char why[512];
 *         kx_load_refusal(why, sizeof why, NULL);
 *         fprintf(stderr, "error %lu: %s\n", kx_last_error(), why);
 *     }
 *
 * No call raises a C++ exception or lets one through: a failure inside the platform is a
 * failed call with its code in kx_last_error().
 *
 * Texts are copied into the caller's buffer, never handed out as pointers into the library:
 * at most size - 1 characters and always a terminator, even when cut. The result says whether
 * the whole text fitted (KX_TEXT_OK) or was cut (KX_TEXT_TRUNCATED); `length`, when not null,
 * receives the whole text's length without the terminator, so that a cut text can be asked for
 * again with a buffer of length + 1. With size 0 nothing is written and `buffer` may be null: a
 * question for the length alone. */
#ifndef KXEVENT_KXPLATFORM_H
#define KXEVENT_KXPLATFORM_H

#include <stddef.h>

#ifdef __cplusplus
#define KX_C_NOEXCEPT noexcept
extern "C" {
#else
#define KX_C_NOEXCEPT
#endif

/* A loaded module. Only the functions below use it; freed with kx_free_module. A handle is no
 * address: once its last reference is freed it is invalid for good, and no later load returns
 * it again. */
typedef struct kx_module kx_module;

/* kx_load_module flags. */
/* Load the module only when nobody but its owner and root can change its file or any directory
 * above it (the check the library applies to the modules its configuration names); a refusal
 * fails with error 5 (access denied) and names the file or directory at fault in
 * kx_load_refusal. */
#define KX_LOAD_TRUSTED_ONLY 0x1u

/* kx_last_error codes a host meets, Windows error codes as the platform keeps them. */
#define KX_ERROR_SUCCESS 0ul
#define KX_ERROR_ACCESS_DENIED 5ul      /* refused by KX_LOAD_TRUSTED_ONLY, or not a file */
#define KX_ERROR_INVALID_HANDLE 6ul     /* not a module this loader holds */
#define KX_ERROR_NOT_ENOUGH_MEMORY 8ul  /* the platform ran out of memory */
#define KX_ERROR_BAD_FORMAT 11ul        /* not a loadable module */
#define KX_ERROR_GEN_FAILURE 31ul       /* a module's DllMain threw (nothing is let through) */
#define KX_ERROR_INVALID_PARAMETER 87ul /* a null or empty path, unknown flags */
#define KX_ERROR_MOD_NOT_FOUND 126ul    /* no such file, or a library it needs is missing */
#define KX_ERROR_PROC_NOT_FOUND 127ul   /* no such export */
#define KX_ERROR_DLL_INIT_FAILED 1114ul /* its DllMain refused the attach */

/* Results of the text calls. */
#define KX_TEXT_OK 0         /* the whole text and its terminator were copied */
#define KX_TEXT_TRUNCATED 1  /* the text did not fit: cut to size - 1 characters */
#define KX_TEXT_INVALID (-1) /* buffer null with a size above 0: nothing written */

/* Loads the module at `path` ('/' or '\\' separators; the last component may differ in case)
 * and runs its DllMain attach the first time it is loaded; a module loaded again gets another
 * reference. `flags` is 0 or KX_LOAD_TRUSTED_ONLY. Returns null on failure, with the reason in
 * kx_last_error() and, as text, in kx_load_refusal(). */
kx_module* kx_load_module(const char* path, unsigned flags) KX_C_NOEXCEPT;

/* The module's own export `name` (a dependency's symbols do not count), or null with
 * KX_ERROR_PROC_NOT_FOUND (or KX_ERROR_INVALID_HANDLE). Cast it to the export's function type. */
void* kx_get_export(kx_module* module, const char* name) KX_C_NOEXCEPT;

/* The same export as a function pointer. ISO C has no conversion between object and function
 * pointers, so a host compiled with -pedantic warns on every cast of kx_get_export's result;
 * casting one function pointer type to another is plain C:
 *
 *     send = (SendVELMessageFn)kx_get_function(lib, "EVENT_SendVELMessage");
 *
 * Null, with the same errors as kx_get_export, when there is no such export. */
typedef void (*kx_function)(void);
kx_function kx_get_function(kx_module* module, const char* name) KX_C_NOEXCEPT;

/* Drops one reference; the last one runs the module's DllMain detach and unloads it. Returns 1,
 * or 0 with KX_ERROR_INVALID_HANDLE for a module this loader does not hold (null, or freed:
 * a handle freed for the last time never names a module again, not even one loaded later from
 * the same file). */
int kx_free_module(kx_module* module) KX_C_NOEXCEPT;

/* The calling thread's last error: set by a failed call of this interface (and by the platform
 * calls the library makes on that thread), left as it was by a successful one. */
unsigned long kx_last_error(void) KX_C_NOEXCEPT;

/* Why the last kx_load_module failed, as text: the causes the library noted during a refused
 * attach (a sibling that could not be bound, the resource module paths tried, a module refused
 * by the trust check) joined with "; ", or otherwise the path and the error's text. Empty after
 * a successful load. Read it right after the failed load: the record is one per process, and a
 * later load anywhere in the process (another thread, a module the library loads while it
 * sends) may replace it or add to it. */
int kx_load_refusal(char* buffer, size_t size, size_t* length) KX_C_NOEXCEPT;

/* The text of an error code from kx_last_error (without a line end), as kx_load_refusal copies
 * it; empty, with KX_TEXT_OK, for a code the platform has no text for. */
int kx_error_text(unsigned long error, char* buffer, size_t size, size_t* length) KX_C_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#undef KX_C_NOEXCEPT

#endif /* KXEVENT_KXPLATFORM_H */
