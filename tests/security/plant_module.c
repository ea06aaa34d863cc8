/* plant_module.c: what an attacker drops where the library might look for a module. Its entry
 * notification leaves a mark in the file KX_TEST_PLANT_MARKER names, so a test can tell
 * whether any of it ran. */
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

__attribute__((visibility("default"))) int DllMain(void* module, uint32_t reason, void* reserved) {
    (void)module;
    (void)reserved;
    const char* marker = getenv("KX_TEST_PLANT_MARKER");
    if (reason == 1 && marker != NULL) {
        const int fd = open(marker, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            static const char kLine[] = "planted code ran\n";
            if (write(fd, kLine, strlen(kLine)) < 0) {
                /* the mark is best effort */
            }
            close(fd);
        }
    }
    return 1;
}
