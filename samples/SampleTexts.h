/* The numbers of the sample plug-ins' texts, shared by their resource scripts and their code. Each
 * plug-in has a string table of its own, so the numbers start at 1 in each. */
#ifndef SAMPLE_TEXTS_H
#define SAMPLE_TEXTS_H

/* SampleProtection */
#define IDS_PROTECTION_NAME 1
#define IDS_PROTECTION_PAUSE 2
#define IDS_PROTECTION_RESUME 3
#define IDS_PROTECTION_STATUS 4
#define IDS_PROTECTION_PAUSED 5
#define IDS_PROTECTION_ON 6
#define IDS_PROTECTION_STOPPED 7
#define IDS_PROTECTION_ENGINE_STOPPED 8
#define IDS_PROTECTION_VERSION 9
#define IDS_PROTECTION_DETAILS 10
#define IDS_PROTECTION_PAIRS 11

/* SampleUpdater */
#define IDS_UPDATER_NAME 1
#define IDS_UPDATER_ENTRY 2
#define IDS_UPDATER_DONE 3

/* SampleScanner */
#define IDS_SCANNER_NAME 1
#define IDS_SCANNER_TITLE 2
#define IDS_SCANNER_STATUS 3
#define IDS_SCANNER_DETAIL 4
#define IDS_SCANNER_DONE_TITLE 5
#define IDS_SCANNER_DONE_TEXT 6
#define IDS_SCANNER_LAST_SCAN 7

/* SampleErrorLogger */
#define IDS_LOGGER_NAME 1

#endif /* SAMPLE_TEXTS_H */
