/* The language of a sample plug-in's texts and their look-up in its string table. */
#include "SampleLanguage.h"

#include <string.h>

#define SAMPLE_ENGLISH MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)

static HMODULE g_module = NULL;
static WORD g_language = SAMPLE_ENGLISH;

typedef struct LanguageSearch {
    WORD primary;
    WORD found;
} LanguageSearch;

static BOOL CALLBACK MatchLanguage(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR context)
{
    LanguageSearch* search = (LanguageSearch*)context;
    (void)module;
    (void)type;
    (void)name;
    if (PRIMARYLANGID(language) != search->primary) return TRUE;
    search->found = language;
    return FALSE;
}

/* The table's language of the same primary language (German for Austrian German, say), or 0. */
static WORD TableLanguageFor(WORD wanted)
{
    LanguageSearch search;
    search.primary = PRIMARYLANGID(wanted);
    search.found = 0;
    if (wanted == 0) return 0;
    EnumResourceLanguagesW(g_module, (LPCWSTR)RT_STRING, MAKEINTRESOURCEW(1), MatchLanguage, (LONG_PTR)&search);
    return search.found;
}

void SampleChooseLanguage(WORD language1, WORD language2)
{
    WORD chosen;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       (LPCWSTR)(void*)&SampleChooseLanguage, &g_module);
    chosen = TableLanguageFor(language1);
    if (chosen == 0) chosen = TableLanguageFor(language2);
    g_language = chosen != 0 ? chosen : SAMPLE_ENGLISH;
}

WORD SampleLanguage(void) { return g_language; }

/* A block of the string table holds 16 texts, each a length and that many characters. */
static int CopyFromBlock(UINT id, WORD language, wchar_t* buffer, int capacity)
{
    HRSRC found = FindResourceExW(g_module, (LPCWSTR)RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), language);
    HGLOBAL loaded = found != NULL ? LoadResource(g_module, found) : NULL;
    const WCHAR* at = loaded != NULL ? (const WCHAR*)LockResource(loaded) : NULL;
    const WCHAR* end;
    UINT skip;
    int length;
    if (at == NULL) return 0;
    end = at + SizeofResource(g_module, found) / sizeof(WCHAR);
    for (skip = id % 16; skip > 0 && at < end; --skip) at += 1 + *at;
    if (at >= end || *at == 0 || at + 1 + *at > end) return 0;
    length = *at < capacity - 1 ? *at : capacity - 1;
    memcpy(buffer, at + 1, (size_t)length * sizeof(WCHAR));
    buffer[length] = L'\0';
    return 1;
}

wchar_t* SampleText(UINT id, wchar_t* buffer, int capacity)
{
    if (buffer == NULL || capacity < 1) return buffer;
    buffer[0] = L'\0';
    if (!CopyFromBlock(id, g_language, buffer, capacity)) CopyFromBlock(id, SAMPLE_ENGLISH, buffer, capacity);
    return buffer;
}
