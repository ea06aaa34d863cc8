/* installed_host.c: a product that uses an installed kxevent, for wine_install_test.sh.
 *
 *   installed_host send DLL EVENT      reports EVENT through DLL; prints the send's result
 *   installed_host render SOURCE [ID]  renders an entry of the event-log call's SOURCE ("-" for
 *                                      none) as Event Viewer would: the source's registered
 *                                      message file, the entry's event ID (or ID); prints the
 *                                      text
 *
 * Exit status 0 on success, 1 with a line on stderr saying what failed. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "kxevent/kxevent.h"
#include "platform/eventlog_ids.h"

typedef int(KX_API* SendFn)(uint32_t, int32_t, MessageRecord*, DetailRecord*, ContextRecord*);

static MessageRecord message;
static DetailRecord detail;
static ContextRecord context;

static int Send(const char* dll, const char* event) {
    HMODULE library = LoadLibraryA(dll);
    SendFn send;
    int result;
    if (library == NULL) {
        fprintf(stderr, "LoadLibrary %s: error %lu\n", dll, GetLastError());
        return 1;
    }
    send = (SendFn)(void (*)(void))GetProcAddress(library, "EVENT_SendVELMessage");
    if (send == NULL) {
        fprintf(stderr, "%s exports no EVENT_SendVELMessage\n", dll);
        FreeLibrary(library);
        return 1;
    }
    strcpy(detail.szVirusName, "EICAR-Test");
    strcpy(detail.szFileName, "C:\\eicar.com");
    result = send(1, atoi(event), &message, &detail, &context);
    FreeLibrary(library);
    printf("%d\n", result);
    return 0;
}

static int Render(const char* sourceArgument, const char* idArgument) {
    kx_event_log_key key =
        kx_event_log_key_of(strcmp(sourceArgument, "-") == 0 ? NULL : sourceArgument);
    char keyPath[512];
    char file[MAX_PATH];
    char text[4096];
    DWORD size = sizeof file;
    DWORD type = 0;
    DWORD typesSupported = 0;
    DWORD typesSize = sizeof typesSupported;
    HKEY registered;
    HMODULE messages;
    const char* strings[] = {"label: text", "label", "0x00000000", "text"};
    if (idArgument != NULL) key.id = (unsigned)strtoul(idArgument, NULL, 0);
    snprintf(keyPath, sizeof keyPath,
             "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\%s", key.source);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &registered) != ERROR_SUCCESS) {
        fprintf(stderr, "source \"%s\" is not registered (no HKLM\\%s)\n", key.source, keyPath);
        return 1;
    }
    if (RegQueryValueExA(registered, "EventMessageFile", NULL, &type, (BYTE*)file, &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || size == 0 || size > sizeof file ||
        RegQueryValueExA(registered, "TypesSupported", NULL, NULL, (BYTE*)&typesSupported,
                         &typesSize) != ERROR_SUCCESS) {
        fprintf(stderr, "source \"%s\": no EventMessageFile or TypesSupported\n", key.source);
        RegCloseKey(registered);
        return 1;
    }
    RegCloseKey(registered);
    file[size - 1] = '\0';
    messages = LoadLibraryExA(file, NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (messages == NULL) {
        fprintf(stderr, "source \"%s\": message file %s: error %lu\n", key.source, file,
                GetLastError());
        return 1;
    }
    if (FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, messages,
                       key.id, 0, text, sizeof text, (va_list*)strings) == 0) {
        fprintf(stderr, "source \"%s\": %s has no message 0x%08X (error %lu)\n", key.source, file,
                key.id, GetLastError());
        FreeLibrary(messages);
        return 1;
    }
    FreeLibrary(messages);
    printf("%s|%u|%u|%s", key.source, key.id & 0xFFFFu, key.category, text);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "send") == 0) return Send(argv[2], argv[3]);
    if ((argc == 3 || argc == 4) && strcmp(argv[1], "render") == 0)
        return Render(argv[2], argc == 4 ? argv[3] : NULL);
    fprintf(stderr, "usage: installed_host send DLL EVENT | render SOURCE [ID]\n");
    return 2;
}
