/* libFerrin as a C program sees it: the header compiles as C, the phase record
 * has its layout, unknown serial numbers get their answers, and one whole unit
 * runs against the stand-ins. Exits 0 when every check holds. */
#define _GNU_SOURCE
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ferrin.h"
#include "quenbar.h"
#include "tamsel.h"

static int failures = 0;

#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                               \
        }                                                             \
    } while (0)

static void writeText(const char* path, const char* text) {
    FILE* f = fopen(path, "w");
    if (!f) {
        ++failures;
        return;
    }
    fputs(text, f);
    fclose(f);
}

int main(void) {
    CHECK(sizeof(FN_Phase) == 64);
    CHECK(offsetof(FN_Phase, type) == 0);
    CHECK(offsetof(FN_Phase, failed) == 4);
    CHECK(offsetof(FN_Phase, ids) == 8);
    CHECK(offsetof(FN_Phase, count) == 16);
    CHECK(offsetof(FN_Phase, action) == 24);
    CHECK(offsetof(FN_Phase, value) == 32);
    CHECK(offsetof(FN_Phase, status) == 40);
    CHECK(offsetof(FN_Phase, failCount) == 48);
    CHECK(offsetof(FN_Phase, outcome) == 56);

    /* Unknown serial number. */
    size_t len = 0;
    char text[64];
    CHECK(FN_CompleteCurrentPhase("NONE") == FN_ERROR_SN_NOSTART);
    CHECK(FN_GetCurrentPhase("NONE") == NULL);
    CHECK(FN_GetCurrentTask("NONE") == NULL);
    CHECK(FN_GetLastErrorMsg("NONE") == NULL);
    CHECK(!FN_SessionExists("NONE"));
    CHECK(FN_GetNumItemsSent("NONE") == 0xFFFFFFFFu);
    CHECK(FN_GetNetCBSummary("NONE", text, sizeof(text)) == FN_ERROR_SN_NOSTART);
    CHECK(FN_GetStationID("NONE", NULL, &len) == FN_ERROR_SN_NOSTART);
    CHECK(FN_SubmitDataAsPlist("NONE", "x") == FN_ERROR_SN_NOSTART);
    CHECK(FN_CloseSession("NONE") == FN_ERROR_SN_NOSTART);
    CHECK(strcmp(FN_GetTolvarError(12), "Unknown err") == 0);
    CHECK(strcmp(keyTestNameString(), "testname") == 0);

    /* One unit with two check bits. */
    char dir[] = "/tmp/ferrin-c-XXXXXX";
    CHECK(mkdtemp(dir) != NULL);
    char records[256], plist[256], blob[256], blobFile[300];
    snprintf(records, sizeof(records), "%s/records", dir);
    snprintf(plist, sizeof(plist), "%s/unit.plist", dir);
    snprintf(blob, sizeof(blob), "%s/raw data", dir);
    snprintf(blobFile, sizeof(blobFile), "%s/spectrum.csv", blob);
    mkdir(records, 0755);
    mkdir(blob, 0755);
    writeText(blobFile, "nm,T\n400,0.9\n");
    writeText(plist,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>0</key><dict>"
              "<key>Tests</key><array><dict><key>testname</key><string>T400</string>"
              "<key>priority</key><string>0</string><key>result</key><string>PASS</string>"
              "<key>value</key><string>0.9</string></dict></array></dict></dict></plist>\n");
    QBStub_setRecordDir(records);
    const int ids[] = {0x11, 0x12};
    const char* names[] = {"ALPHA", "BETA"};
    TamselStub_setCheckList(2, ids, names);

    CHECK(FN_StartSession("C-UNIT", "1.0", "Lumbrel", 0x20) == FN_ERROR_NONE);
    FN_Phase* p = FN_GetCurrentPhase("C-UNIT");
    CHECK(p != NULL && p->count == 4);
    if (p && p->count == 4) {
        for (int i = 0; i < p->count; ++i) {
            if (p->action[i] == FN_ACTION_READ) {
                p->status[i] = FN_CB_PASSED;
                p->failCount[i] = 0;
                p->outcome[i] = FN_OUTCOME_DONE;
            } else {
                p->outcome[i] = FN_OUTCOME_IGNORED;
            }
        }
    }
    CHECK(FN_CompleteCurrentPhase("C-UNIT") == FN_ERROR_NONE);
    CHECK(FN_FatalErrorCheck("C-UNIT") == FN_ERROR_NONE);
    CHECK(FN_SubmitDataAsPlist("C-UNIT", plist) == FN_ERROR_NONE);
    CHECK(FN_GetNumItemsSent("C-UNIT") == 1);
    CHECK(FN_SubmitBlobFolder("C-UNIT", blob) == FN_ERROR_NONE);
    CHECK(FN_FinishMirbelSession("C-UNIT") == FN_ERROR_NONE);
    CHECK(FN_CloseSession("C-UNIT") == FN_ERROR_NONE);
    CHECK(!FN_SessionExists("C-UNIT"));
    CHECK(QBStub_callCount("QB_UUTCommit") == 1);
    CHECK(QBStub_callCount("QB_addBlob") == 1);

    char cmd[600];
    snprintf(cmd, sizeof(cmd), "rm -rf '%s'", dir);
    if (system(cmd) != 0) ++failures;
    if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
    return failures ? 1 : 0;
}
