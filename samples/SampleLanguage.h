/* The texts of a sample plug-in in the tray's language.
 *
 * A plug-in keeps its texts in a string table of its own resources, one block per language (see
 * SampleProtection.rc), and picks the language as the tray picks its language module: the user's
 * user-interface language, else the system's, else English. PluginInit hands it both: the user's as
 * its third argument (language1) and the system's as its second (language2). */
#ifndef SAMPLE_LANGUAGE_H
#define SAMPLE_LANGUAGE_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Chooses the language of this plug-in's texts; call it in PluginInit. */
void SampleChooseLanguage(WORD language1, WORD language2);

/* The chosen language (a LANGID of the string table). */
WORD SampleLanguage(void);

/* Text number id in the chosen language (English where that language lacks it), copied into buffer
 * and cut at capacity - 1 characters; an empty text when the plug-in has no such text. */
wchar_t* SampleText(UINT id, wchar_t* buffer, int capacity);

#ifdef __cplusplus
}
#endif

#endif /* SAMPLE_LANGUAGE_H */
