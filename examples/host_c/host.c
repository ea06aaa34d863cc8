/* host.c: a reporting product in C. It loads KXEvent.DLL from an installation directory,
 * reports one event with a virus name and a file, and prints the library's result and the
 * expanded long description.
 *
 *   kxhost_c INSTALL_DIR [PRODUCT EVENT]      e.g. kxhost_c /usr/lib/velmora 1 1000 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kxevent/kxevent.h"
#include "kxevent/kxplatform.h"

typedef int(KX_API* SendVELMessageFn)(uint32_t, int32_t, MessageRecord*, DetailRecord*,
                                      ContextRecord*);

/* Bounded copy into a fixed field: never more than the field holds, always terminated. */
static void set_field(char* field, size_t width, const char* text) {
    strncpy(field, text, width - 1);
    field[width - 1] = '\0';
}

int main(int argc, char** argv) {
    char path[4096];
    char reason[1024];
    kx_module* module;
    SendVELMessageFn send;
    static MessageRecord message;
    static DetailRecord detail;
    static ContextRecord context;
    unsigned long product = argc > 2 ? strtoul(argv[2], NULL, 10) : 1;
    long event = argc > 3 ? strtol(argv[3], NULL, 10) : 1000;
    int result;

    if (argc < 2) {
        fprintf(stderr, "usage: %s INSTALL_DIR [PRODUCT EVENT]\n", argv[0]);
        return 2;
    }
    snprintf(path, sizeof path, "%s/KXEvent.DLL", argv[1]);
    /* The platform loader runs the library's start-up (its DllMain attach); dlopen would not. */
    module = kx_load_module(path, 0);
    if (module == NULL) {
        unsigned long error = kx_last_error();
        /* A cut reason still ends in a terminator: print what fits. */
        kx_load_refusal(reason, sizeof reason, NULL);
        fprintf(stderr, "%s: cannot load %s (error %lu): %s\n", argv[0], path, error, reason);
        return 1;
    }
    send = (SendVELMessageFn)kx_get_function(module, "EVENT_SendVELMessage");
    if (send == NULL) {
        fprintf(stderr, "%s: %s has no EVENT_SendVELMessage\n", argv[0], path);
        kx_free_module(module);
        return 1;
    }
    set_field(detail.szVirusName, sizeof detail.szVirusName, "Sample.Virus");
    set_field(detail.szFileName, sizeof detail.szFileName, "/srv/share/invoice.pdf.exe");
    set_field(message.szSoftwareVersion, sizeof message.szSoftwareVersion, "1.0");

    result = send((uint32_t)product, (int32_t)event, &message, &detail, &context);
    printf("result: %d\n", result);
    printf("description: %.*s\n", (int)sizeof message.szLongDescript, message.szLongDescript);
    kx_free_module(module);
    return result == EVENT_OK ? 0 : 1;
}
