// Bounded wide-string helpers shared by the libraries. Every function keeps the
// destination terminated and never writes past the capacity it is given.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <string>

namespace zerova {

inline bool IsEmpty(const wchar_t* text) { return text == nullptr || text[0] == L'\0'; }

// Length of text, looking at no more than maxLength characters.
inline size_t BoundedLength(const wchar_t* text, size_t maxLength)
{
    if (text == nullptr) return 0;
    size_t n = 0;
    while (n < maxLength && text[n] != L'\0') ++n;
    return n;
}

// Copies src into dest (capacity in characters, terminator included), truncating.
inline wchar_t* CopyString(wchar_t* dest, int capacity, const wchar_t* src)
{
    if (dest == nullptr || capacity < 1) return dest;
    int i = 0;
    if (src != nullptr)
        for (; i < capacity - 1 && src[i] != L'\0'; ++i) dest[i] = src[i];
    dest[i] = L'\0';
    return dest;
}

// printf-style formatting into dest; the result is cut at the capacity and always terminated.
inline wchar_t* FormatStringV(wchar_t* dest, int capacity, const wchar_t* format, va_list args)
{
    if (dest == nullptr || capacity < 1) return dest;
    dest[0] = L'\0';
    if (format == nullptr) return dest;
    int written = _vsnwprintf(dest, static_cast<size_t>(capacity) - 1, format, args);
    if (written < 0 || written >= capacity) dest[capacity - 1] = L'\0';
    else dest[written] = L'\0';
    return dest;
}

inline wchar_t* FormatString(wchar_t* dest, int capacity, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    FormatStringV(dest, capacity, format, args);
    va_end(args);
    return dest;
}

// Case-insensitive equality (ordinal, as the registry and the file system compare names).
inline bool EqualsNoCase(const wchar_t* a, const wchar_t* b)
{
    if (a == nullptr || b == nullptr) return a == b;
    return _wcsicmp(a, b) == 0;
}

// Appends to a caller's buffer and keeps where the text ends, so that n appends cost the length of
// what they add, not n times the length of the text.
class BoundedAppender {
public:
    BoundedAppender(wchar_t* buffer, int capacity)
        : m_buffer(buffer), m_capacity(buffer != nullptr && capacity > 0 ? static_cast<size_t>(capacity) : 0)
    {
        if (m_capacity == 0) return;
        m_used = BoundedLength(buffer, m_capacity);
        if (m_used == m_capacity) m_buffer[--m_used] = L'\0';  // unterminated: terminated at the end
    }

    void Append(const wchar_t* text)
    {
        if (m_capacity == 0 || text == nullptr) return;
        while (m_used + 1 < m_capacity && *text != L'\0') m_buffer[m_used++] = *text++;
        m_buffer[m_used] = L'\0';
    }
    wchar_t* Begin() const { return m_buffer; }
    wchar_t* End() const { return m_buffer + m_used; }

private:
    wchar_t* m_buffer;
    size_t m_capacity;
    size_t m_used = 0;
};

// Appends src to the text already in dest, truncating at the capacity (an unterminated dest is
// terminated at its end).
inline wchar_t* AppendString(wchar_t* dest, int capacity, const wchar_t* src)
{
    BoundedAppender(dest, capacity).Append(src);
    return dest;
}

// A text of at most Capacity - 1 characters that holds only the memory its characters need:
// for fields that are long at most but short or empty for most of their life.
template <size_t Capacity>
class BoundedText {
public:
    BoundedText() = default;
    explicit BoundedText(const wchar_t* text) { Assign(text); }

    void Assign(const wchar_t* text)
    {
        if (zerova::IsEmpty(text)) {
            Clear();
            return;
        }
        m_text.assign(text, BoundedLength(text, Capacity - 1));
        m_text.shrink_to_fit();
    }
    // Empties the text and gives its memory back.
    void Clear() { std::wstring().swap(m_text); }

    const wchar_t* Get() const { return m_text.c_str(); }
    bool IsEmpty() const { return m_text.empty(); }
    bool Equals(const wchar_t* text) const { return m_text == (text != nullptr ? text : L""); }
    wchar_t* CopyTo(wchar_t* buffer, int capacity) const { return CopyString(buffer, capacity, m_text.c_str()); }

private:
    std::wstring m_text;
};

}  // namespace zerova
