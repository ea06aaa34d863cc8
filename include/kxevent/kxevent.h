/* kxevent.h: the public face of KXEvent.DLL.
 *
 * The three caller-owned records that cross the boundary, the result codes, the 17 exported
 * functions and the forwarding-module interface. Usable from C99 and C++. Every record is laid
 * out byte for byte as products and forwarding modules built elsewhere expect it.
 */
#ifndef KXEVENT_KXEVENT_H
#define KXEVENT_KXEVENT_H

#include <stddef.h>
#include <stdint.h>

/* Calling convention of every export: the Windows API one on 32-bit Windows (the called
 * function removes its arguments), the platform default elsewhere. */
#if defined(_WIN32) && !defined(_WIN64)
#define KX_API __stdcall
#else
#define KX_API
#endif

#if defined(KXEVENT_BUILDING)
#if defined(_WIN32)
#define KX_EXPORT __declspec(dllexport)
#else
#define KX_EXPORT __attribute__((visibility("default")))
#endif
#else
#define KX_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of the sends, the query and the population. */
#define EVENT_OK 0
#define EVENT_ERR_NO_ALERT_PATH 1
#define EVENT_ERR_NO_ALERTING_KEY 2
#define EVENT_ERR_NO_PRODUCT_NAME 3
#define EVENT_ERR_NO_DEFINITION 9
#define EVENT_ERR_NO_MEMORY 10

/* What happened, in words, when and where: 2040 bytes. */
typedef struct MessageRecord {
    uint32_t dwReserved0;
    char szSoftwareName[16];
    char szSoftwareVersion[16];
    char szTaskID[16];
    char szGMTTime[32];
    char szLocalTime[32];
    char szLongDescript[1024];
    char szResolution[256];
    uint32_t uSeverity;
    char szShortDescript[32];
    char szComputerName[64];
    char szSourceIP[16];
    char szSourceMAC[64];
    char szSourceSeg[64];
    char szTargetComputerName[64];
    char szTargetIP[16];
    char szTargetMAC[64];
    char szURL[256];
} MessageRecord;

/* The scan, the file, the user, the machine, mail and notes data: 5724 bytes. */
typedef struct DetailRecord {
    uint32_t dwReserved0;
    uint32_t uTrapID;
    char szEngineVersion[16];
    char szDatVersion[16];
    uint32_t uEngineStatus;
    char szVirusName[64];
    char szVirusType[32];
    char szFileName[1024];
    char szUserName[64];
    char szOS[32];
    char szProcessorSerial[32];
    char szTaskName[16];
    uint32_t uNumVirs;
    uint32_t uNumCleaned;
    uint32_t uNumDeleted;
    uint32_t uNumQuarantined;
    uint32_t uScanReturnCode;
    uint8_t abReserved[256];
    char szOBRuleName[256];
    char szLanguageCode[16];
    char szClientComputer[64];
    uint32_t dwTSClientID;
    char szAccessProcessName[64];
    char szEventName[64];
    char szInfo[64];
    uint32_t bAlwaysAlert;
    char szMailFromName[256];
    char szMailToName[1024];
    char szMailCCName[1024];
    char szMailSubjectLine[256];
    char szMailIdentifierInfo[256];
    char szNoteID[16];
    char szNotesServerName[258];
    char szNotesDBName[258];
    char szDomain[256];
} DetailRecord;

/* Data of the caller's own, carried through to forwarding modules untouched: 524 bytes. */
typedef struct ContextRecord {
    uint8_t abData[524];
} ContextRecord;

/* Fixed-value exports: they read and write no state. */
KX_EXPORT int KX_API EVENT_SendAlertUsingAMgr(uint32_t, uint32_t, uint32_t);
KX_EXPORT int KX_API EVENT_ConfigureEventClient(uint32_t);
KX_EXPORT int KX_API EVENT_GetEventClientConfig(uint32_t);
KX_EXPORT int KX_API EVENT_ConfigureEventMessages(uint32_t);
KX_EXPORT int KX_API EVENT_ConfigureEventMessagesEx(uint32_t, uint32_t, uint32_t);
KX_EXPORT int KX_API EVENT_ConfigureEventMgrClient(uint32_t);
KX_EXPORT int KX_API EVENT_ConfigureEventMgrClientEx(uint32_t, uint32_t, uint32_t);
KX_EXPORT int KX_API EVENT_GetDefaultPublishedAM(uint32_t, uint32_t, uint32_t);
KX_EXPORT int KX_API EVENT_HasEventClientBeenConfigured(void);
KX_EXPORT int KX_API EVENT_IsEventClientConfigurable(void);
KX_EXPORT int KX_API EVENT_SelectAlertManagerDestination(uint32_t, uint32_t, uint32_t);

/* Working exports. */
KX_EXPORT int KX_API EVENT_PopulateEventStructures(uint32_t uProductID, const char* pszTaskName,
                                                   MessageRecord* pMessage, DetailRecord* pDetail,
                                                   ContextRecord* pContext);
KX_EXPORT int KX_API EVENT_QueryMessageText(uint32_t uProductID, int32_t uEventID,
                                            MessageRecord* pMessage, DetailRecord* pDetail,
                                            ContextRecord* pContext, char* pszText,
                                            uint32_t cchText);
KX_EXPORT int KX_API EVENT_SendVELEvent(uint32_t uProductID, int32_t uEventID,
                                        const char* pszTaskName);
KX_EXPORT int KX_API EVENT_SendVELEventEx(uint32_t dwReserved1, uint32_t uProductID,
                                          int32_t uEventID, const char* pszTaskName,
                                          uint32_t bSuppressAlert, uint32_t dwReserved2);
KX_EXPORT int KX_API EVENT_SendVELMessage(uint32_t uProductID, int32_t uEventID,
                                          MessageRecord* pMessage, DetailRecord* pDetail,
                                          ContextRecord* pContext);
KX_EXPORT int KX_API EVENT_SendVELMessageEx(uint32_t dwReserved1, uint32_t uProductID,
                                            int32_t uEventID, MessageRecord* pMessage,
                                            DetailRecord* pDetail, ContextRecord* pContext,
                                            uint32_t bSuppressAlert, uint32_t dwReserved2);

/* Entry notification, called by the platform's loader: reasons 1 attach, 0 detach, 2 and 3
 * thread attach and detach. Non-zero is success. */
#define KX_DLL_PROCESS_DETACH 0
#define KX_DLL_PROCESS_ATTACH 1
#define KX_DLL_THREAD_ATTACH 2
#define KX_DLL_THREAD_DETACH 3

/* The export of a forwarding module, called once per send with the send's records. */
typedef int(KX_API* ForwardVELMessageFn)(uint32_t uProductID, int32_t uEventID,
                                         MessageRecord* pMessage, DetailRecord* pDetail,
                                         ContextRecord* pContext);

#ifdef __cplusplus
}
#endif

/* Layout checks: every field at its offset, every record at its total. */
#if defined(__cplusplus)
#define KX_LAYOUT_CHECK(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define KX_LAYOUT_CHECK(cond, msg) _Static_assert(cond, msg)
#else
#define KX_LAYOUT_CHECK_JOIN2(a, b) a##b
#define KX_LAYOUT_CHECK_JOIN(a, b) KX_LAYOUT_CHECK_JOIN2(a, b)
#define KX_LAYOUT_CHECK(cond, msg) \
    typedef char KX_LAYOUT_CHECK_JOIN(kx_layout_check_, __LINE__)[(cond) ? 1 : -1]
#endif
#define KX_AT(rec, field, off) KX_LAYOUT_CHECK(offsetof(rec, field) == (off), #rec "." #field)

KX_AT(MessageRecord, dwReserved0, 0);
KX_AT(MessageRecord, szSoftwareName, 4);
KX_AT(MessageRecord, szSoftwareVersion, 20);
KX_AT(MessageRecord, szTaskID, 36);
KX_AT(MessageRecord, szGMTTime, 52);
KX_AT(MessageRecord, szLocalTime, 84);
KX_AT(MessageRecord, szLongDescript, 116);
KX_AT(MessageRecord, szResolution, 1140);
KX_AT(MessageRecord, uSeverity, 1396);
KX_AT(MessageRecord, szShortDescript, 1400);
KX_AT(MessageRecord, szComputerName, 1432);
KX_AT(MessageRecord, szSourceIP, 1496);
KX_AT(MessageRecord, szSourceMAC, 1512);
KX_AT(MessageRecord, szSourceSeg, 1576);
KX_AT(MessageRecord, szTargetComputerName, 1640);
KX_AT(MessageRecord, szTargetIP, 1704);
KX_AT(MessageRecord, szTargetMAC, 1720);
KX_AT(MessageRecord, szURL, 1784);
KX_LAYOUT_CHECK(sizeof(MessageRecord) == 2040, "MessageRecord is 2040 bytes");

KX_AT(DetailRecord, dwReserved0, 0);
KX_AT(DetailRecord, uTrapID, 4);
KX_AT(DetailRecord, szEngineVersion, 8);
KX_AT(DetailRecord, szDatVersion, 24);
KX_AT(DetailRecord, uEngineStatus, 40);
KX_AT(DetailRecord, szVirusName, 44);
KX_AT(DetailRecord, szVirusType, 108);
KX_AT(DetailRecord, szFileName, 140);
KX_AT(DetailRecord, szUserName, 1164);
KX_AT(DetailRecord, szOS, 1228);
KX_AT(DetailRecord, szProcessorSerial, 1260);
KX_AT(DetailRecord, szTaskName, 1292);
KX_AT(DetailRecord, uNumVirs, 1308);
KX_AT(DetailRecord, uNumCleaned, 1312);
KX_AT(DetailRecord, uNumDeleted, 1316);
KX_AT(DetailRecord, uNumQuarantined, 1320);
KX_AT(DetailRecord, uScanReturnCode, 1324);
KX_AT(DetailRecord, abReserved, 1328);
KX_AT(DetailRecord, szOBRuleName, 1584);
KX_AT(DetailRecord, szLanguageCode, 1840);
KX_AT(DetailRecord, szClientComputer, 1856);
KX_AT(DetailRecord, dwTSClientID, 1920);
KX_AT(DetailRecord, szAccessProcessName, 1924);
KX_AT(DetailRecord, szEventName, 1988);
KX_AT(DetailRecord, szInfo, 2052);
KX_AT(DetailRecord, bAlwaysAlert, 2116);
KX_AT(DetailRecord, szMailFromName, 2120);
KX_AT(DetailRecord, szMailToName, 2376);
KX_AT(DetailRecord, szMailCCName, 3400);
KX_AT(DetailRecord, szMailSubjectLine, 4424);
KX_AT(DetailRecord, szMailIdentifierInfo, 4680);
KX_AT(DetailRecord, szNoteID, 4936);
KX_AT(DetailRecord, szNotesServerName, 4952);
KX_AT(DetailRecord, szNotesDBName, 5210);
KX_AT(DetailRecord, szDomain, 5468);
KX_LAYOUT_CHECK(sizeof(DetailRecord) == 5724, "DetailRecord is 5724 bytes");

KX_LAYOUT_CHECK(sizeof(ContextRecord) == 524, "ContextRecord is 524 bytes");

#endif /* KXEVENT_KXEVENT_H */
