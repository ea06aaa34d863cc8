/* c_api_test.c: the loader's C interface (kxevent/kxplatform.h) as a C host uses it, compiled as
 * C: real modules on disk, their DllMain notifications, errors and refusal reasons, and the
 * bounded text copies. One case per run, named by the first argument (ctest runs each, its list
 * read from the table at the end of this file). */
#define _XOPEN_SOURCE 700

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kxevent/kxplatform.h"

static int failures = 0;

#define CHECK(condition)                                                                  \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                                   \
        }                                                                                 \
    } while (0)

#define CHECK_TEXT(actual, expected)                                                            \
    do {                                                                                        \
        if (strcmp((actual), (expected)) != 0) {                                                \
            fprintf(stderr, "%s:%d: got \"%s\", wanted \"%s\"\n", __FILE__, __LINE__, (actual), \
                    (expected));                                                                \
            ++failures;                                                                         \
        }                                                                                       \
    } while (0)

/* A private directory for one case: the notification log and copies of modules. */
static char scratch[PATH_MAX];
static char log_path[PATH_MAX + 16];

static void make_scratch(void) {
    char pattern[] = "/tmp/kx_c_api.XXXXXX";
    if (mkdtemp(pattern) == NULL || realpath(pattern, scratch) == NULL) {
        perror("scratch directory");
        exit(2);
    }
    snprintf(log_path, sizeof log_path, "%s/log", scratch);
    setenv("KX_TEST_MODULE_LOG", log_path, 1);
}

static void remove_scratch(void) {
    char command[PATH_MAX + 16];
    snprintf(command, sizeof command, "rm -rf '%s'", scratch);
    if (system(command) != 0) fprintf(stderr, "could not remove %s\n", scratch);
}

/* The notifications the module recorded, one word per line, or "" when none. */
static const char* notifications(void) {
    static char text[256];
    size_t length = 0;
    FILE* in = fopen(log_path, "r");
    if (in != NULL) {
        length = fread(text, 1, sizeof text - 1, in);
        fclose(in);
    }
    text[length] = '\0';
    return text;
}

static const char* test_module(const char* name) {
    static char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/%s", KX_TEST_MODULE_DIR, name);
    return path;
}

/* A copy of a test module in the scratch directory, with the given mode. */
static const char* copy_module(const char* name, mode_t mode) {
    static char path[PATH_MAX + 64];
    char bytes[65536];
    size_t count;
    FILE* in = fopen(test_module(name), "rb");
    FILE* out;
    snprintf(path, sizeof path, "%s/%s", scratch, name);
    out = fopen(path, "wb");
    if (in == NULL || out == NULL) {
        perror(name);
        exit(2);
    }
    while ((count = fread(bytes, 1, sizeof bytes, in)) > 0) fwrite(bytes, 1, count, out);
    fclose(in);
    if (fclose(out) != 0 || chmod(path, mode) != 0) {
        perror(path);
        exit(2);
    }
    return path;
}

static void refusal(char* buffer, size_t size) {
    CHECK(kx_load_refusal(buffer, size, NULL) != KX_TEXT_INVALID);
}

typedef int (*AnswerFn)(void);

static void load_runs_the_attach_and_the_last_free_the_detach(void) {
    kx_module* first;
    kx_module* second;
    AnswerFn answer;
    make_scratch();
    first = kx_load_module(test_module("kxtest_attach.so"), 0);
    CHECK(first != NULL);
    CHECK_TEXT(notifications(), "attach\n");
    answer = (AnswerFn)kx_get_function(first, "ModuleAnswer");
    CHECK(answer != NULL && answer() == 42);
    second = kx_load_module(test_module("kxtest_attach.so"), 0);
    CHECK(second == first);
    CHECK(kx_free_module(second) == 1);
    CHECK_TEXT(notifications(), "attach\n");
    CHECK(kx_free_module(first) == 1);
    CHECK_TEXT(notifications(), "attach\ndetach\n");
    CHECK(kx_free_module(first) == 0);
    CHECK(kx_last_error() == KX_ERROR_INVALID_HANDLE);
    remove_scratch();
}

/* A handle freed for the last time names nothing ever after: not the same module loaded again
 * (the loader may give the new module object the old one's memory), nor another module loaded
 * meanwhile, which a second free must not unload. */
static void a_freed_handle_stays_invalid_whatever_is_loaded_after_it(void) {
    size_t i;
    make_scratch();
    for (i = 0; i < 2; ++i) {
        const char* again =
            i == 0 ? test_module("kxtest_attach.so") : copy_module("kxtest_attach.so", 0755);
        kx_module* freed = kx_load_module(test_module("kxtest_attach.so"), 0);
        kx_module* later;
        AnswerFn answer;
        CHECK(freed != NULL);
        CHECK(kx_free_module(freed) == 1);
        later = kx_load_module(again, 0);
        CHECK(later != NULL && later != freed);
        CHECK(kx_get_export(freed, "ModuleAnswer") == NULL);
        CHECK(kx_last_error() == KX_ERROR_INVALID_HANDLE);
        CHECK(kx_free_module(freed) == 0);
        CHECK(kx_last_error() == KX_ERROR_INVALID_HANDLE);
        /* The later module is still loaded, its attach not undone. */
        CHECK_TEXT(notifications(), "attach\ndetach\nattach\n");
        answer = (AnswerFn)kx_get_function(later, "ModuleAnswer");
        CHECK(answer != NULL && answer() == 42);
        CHECK(kx_free_module(later) == 1);
        CHECK_TEXT(notifications(), "attach\ndetach\nattach\ndetach\n");
        CHECK(remove(log_path) == 0);
    }
    remove_scratch();
}

static void an_export_the_module_lacks_is_null_with_proc_not_found(void) {
    kx_module* module;
    make_scratch();
    module = kx_load_module(test_module("kxtest_attach.so"), 0);
    CHECK(module != NULL);
    CHECK(kx_get_export(module, "NoSuchExport") == NULL);
    CHECK(kx_last_error() == KX_ERROR_PROC_NOT_FOUND);
    /* A symbol of a library the module depends on is not the module's export. */
    CHECK(kx_get_export(module, "printf") == NULL);
    CHECK(kx_get_export(module, NULL) == NULL);
    CHECK(kx_last_error() == KX_ERROR_INVALID_PARAMETER);
    CHECK(kx_get_export(NULL, "ModuleAnswer") == NULL);
    CHECK(kx_last_error() == KX_ERROR_INVALID_HANDLE);
    /* The function-typed look-up fails alike and finds the same address. */
    CHECK(kx_get_function(module, "NoSuchExport") == NULL);
    CHECK(kx_last_error() == KX_ERROR_PROC_NOT_FOUND);
    CHECK(kx_get_function(NULL, "ModuleAnswer") == NULL);
    CHECK(kx_last_error() == KX_ERROR_INVALID_HANDLE);
    CHECK(kx_get_function(module, NULL) == NULL);
    CHECK(kx_last_error() == KX_ERROR_INVALID_PARAMETER);
    CHECK(kx_free_module(module) == 1);
    remove_scratch();
}

static void a_refused_attach_fails_with_dll_init_failed_after_its_detach(void) {
    char reason[PATH_MAX + 256];
    char expected[PATH_MAX + 256];
    make_scratch();
    CHECK(kx_load_module(test_module("kxtest_refuse.so"), 0) == NULL);
    CHECK(kx_last_error() == KX_ERROR_DLL_INIT_FAILED);
    CHECK_TEXT(notifications(), "attach\ndetach\n");
    refusal(reason, sizeof reason);
    snprintf(expected, sizeof expected,
             "Module %s was not loaded: error 1114 (A dynamic link library (DLL) initialization "
             "routine failed.)",
             test_module("kxtest_refuse.so"));
    CHECK_TEXT(reason, expected);
    remove_scratch();
}

static void a_missing_file_fails_with_mod_not_found_and_says_so(void) {
    char reason[PATH_MAX + 256];
    char missing[PATH_MAX + 16];
    char expected[PATH_MAX + 256];
    make_scratch();
    snprintf(missing, sizeof missing, "%s/Missing.DLL", scratch);
    CHECK(kx_load_module(missing, 0) == NULL);
    CHECK(kx_last_error() == KX_ERROR_MOD_NOT_FOUND);
    refusal(reason, sizeof reason);
    snprintf(expected, sizeof expected,
             "Module %s was not loaded: error 126 (The specified module could not be found.)",
             missing);
    CHECK_TEXT(reason, expected);
    remove_scratch();
}

static void a_group_writable_module_is_refused_when_trust_is_asked_for(void) {
    char reason[4 * PATH_MAX];
    char expected[4 * PATH_MAX];
    const char* path;
    kx_module* module;
    make_scratch();
    path = copy_module("kxtest_attach.so", 0775);
    CHECK(kx_load_module(path, KX_LOAD_TRUSTED_ONLY) == NULL);
    CHECK(kx_last_error() == KX_ERROR_ACCESS_DENIED);
    CHECK_TEXT(notifications(), "");
    refusal(reason, sizeof reason);
    snprintf(expected, sizeof expected,
             "Module %s (%s) was not loaded: %s can be changed by users other than its owner and "
             "root",
             path, path, path);
    CHECK_TEXT(reason, expected);
    /* The same file, once only its owner can change it. */
    CHECK(chmod(path, 0755) == 0);
    module = kx_load_module(path, KX_LOAD_TRUSTED_ONLY);
    CHECK(module != NULL);
    refusal(reason, sizeof reason);
    CHECK_TEXT(reason, "");
    CHECK(kx_free_module(module) == 1);
    CHECK_TEXT(notifications(), "attach\ndetach\n");
    remove_scratch();
}

static void an_attach_that_throws_is_a_failed_load_not_a_crash(void) {
    CHECK(kx_load_module(test_module("kxtest_throw.so"), 0) == NULL);
    CHECK(kx_last_error() == KX_ERROR_GEN_FAILURE);
}

static void bad_arguments_are_invalid_parameter(void) {
    char reason[1024];
    CHECK(kx_load_module(NULL, 0) == NULL);
    CHECK(kx_last_error() == KX_ERROR_INVALID_PARAMETER);
    CHECK(kx_load_module("", 0) == NULL);
    CHECK(kx_last_error() == KX_ERROR_INVALID_PARAMETER);
    CHECK(kx_load_module(test_module("kxtest_attach.so"), 0x80u) == NULL);
    CHECK(kx_last_error() == KX_ERROR_INVALID_PARAMETER);
    refusal(reason, sizeof reason);
    CHECK(strstr(reason, "error 87 (The parameter is incorrect.)") != NULL);
}

static void texts_are_cut_terminated_and_report_their_whole_length(void) {
    const char* whole =
        "Module /nonexistent/X.DLL was not loaded: error 126 (The specified "
        "module could not be found.)";
    const size_t whole_length = strlen(whole);
    char buffer[256];
    size_t length = 0;
    CHECK(kx_load_module("/nonexistent/X.DLL", 0) == NULL);

    memset(buffer, 'x', sizeof buffer);
    CHECK(kx_load_refusal(buffer, 8, &length) == KX_TEXT_TRUNCATED);
    CHECK(length == whole_length);
    CHECK_TEXT(buffer, "Module ");
    CHECK(buffer[8] == 'x'); /* nothing written past the size given */

    CHECK(kx_load_refusal(buffer, whole_length, &length) == KX_TEXT_TRUNCATED);
    CHECK(strlen(buffer) == whole_length - 1);
    CHECK(kx_load_refusal(buffer, whole_length + 1, &length) == KX_TEXT_OK);
    CHECK_TEXT(buffer, whole);

    length = 0;
    CHECK(kx_load_refusal(NULL, 0, &length) == KX_TEXT_TRUNCATED);
    CHECK(length == whole_length);
    CHECK(kx_load_refusal(NULL, 5, &length) == KX_TEXT_INVALID);

    /* A successful load leaves no reason behind. */
    CHECK(kx_free_module(kx_load_module(test_module("kxtest_attach.so"), 0)) == 1);
    CHECK(kx_load_refusal(buffer, sizeof buffer, &length) == KX_TEXT_OK);
    CHECK(length == 0 && buffer[0] == '\0');
    CHECK(kx_load_refusal(NULL, 0, &length) == KX_TEXT_OK);
}

static void error_texts_have_no_line_end_and_leave_the_last_error(void) {
    char buffer[128];
    size_t length = 0;
    CHECK(kx_get_export(NULL, "x") == NULL);
    CHECK(kx_error_text(KX_ERROR_MOD_NOT_FOUND, buffer, sizeof buffer, &length) == KX_TEXT_OK);
    CHECK_TEXT(buffer, "The specified module could not be found.");
    CHECK(length == strlen(buffer));
    CHECK(kx_error_text(KX_ERROR_ACCESS_DENIED, buffer, 7, &length) == KX_TEXT_TRUNCATED);
    CHECK_TEXT(buffer, "Access");
    CHECK(length == strlen("Access is denied."));
    CHECK(kx_error_text(99999ul, buffer, sizeof buffer, &length) == KX_TEXT_OK);
    CHECK_TEXT(buffer, "");
    CHECK(kx_last_error() == KX_ERROR_INVALID_HANDLE);
}

struct Case {
    const char* name;
    void (*run)(void);
};

static const struct Case cases[] = {
    {"LoadRunsTheAttachAndTheLastFreeTheDetach", load_runs_the_attach_and_the_last_free_the_detach},
    {"AFreedHandleStaysInvalidWhateverIsLoadedAfterIt",
     a_freed_handle_stays_invalid_whatever_is_loaded_after_it},
    {"AnExportTheModuleLacksIsNullWithProcNotFound",
     an_export_the_module_lacks_is_null_with_proc_not_found},
    {"ARefusedAttachFailsWithDllInitFailedAfterItsDetach",
     a_refused_attach_fails_with_dll_init_failed_after_its_detach},
    {"AMissingFileFailsWithModNotFoundAndSaysSo",
     a_missing_file_fails_with_mod_not_found_and_says_so},
    {"AGroupWritableModuleIsRefusedWhenTrustIsAskedFor",
     a_group_writable_module_is_refused_when_trust_is_asked_for},
    {"AnAttachThatThrowsIsAFailedLoadNotACrash",
     an_attach_that_throws_is_a_failed_load_not_a_crash},
    {"BadArgumentsAreInvalidParameter", bad_arguments_are_invalid_parameter},
    {"TextsAreCutTerminatedAndReportTheirWholeLength",
     texts_are_cut_terminated_and_report_their_whole_length},
    {"ErrorTextsHaveNoLineEndAndLeaveTheLastError",
     error_texts_have_no_line_end_and_leave_the_last_error},
};

int main(int argc, char** argv) {
    size_t i;
    for (i = 0; argc == 2 && i < sizeof cases / sizeof cases[0]; ++i) {
        if (strcmp(argv[1], cases[i].name) != 0) continue;
        cases[i].run();
        return failures == 0 ? 0 : 1;
    }
    fprintf(stderr, "usage: %s CASE\n", argv[0]);
    return 2;
}
