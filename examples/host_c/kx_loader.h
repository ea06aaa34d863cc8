/* kx_loader.h: the platform layer's module loader for programs written in C.
 *
 * On Linux, KXEvent.DLL must be loaded through the platform loader (it runs the library's
 * start-up and shares one registry with it); the loader's own interface is C++. These three
 * functions hand it to C code. */
#ifndef KX_LOADER_H
#define KX_LOADER_H

#ifdef __cplusplus
extern "C" {
#endif

/* The module at `path`, or null when it cannot be loaded (or its start-up refused). */
void* kx_load_library(const char* path);
/* An export of the module, or null. */
void* kx_get_proc(void* module, const char* name);
/* Releases the module; its shutdown runs when this was the last reference. */
int kx_free_library(void* module);

#ifdef __cplusplus
}
#endif

#endif /* KX_LOADER_H */
