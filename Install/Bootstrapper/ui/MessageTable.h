// The string table in the user's language. A product may carry translated tables beside the
// default one; every text the program shows is taken from the table that matches the user's
// interface language (see ChooseTableLanguage), chosen by the program itself so that the choice
// is the same on every system rather than left to the resource loader's own fallbacks.
#pragma once

#include <string>

#include "sys/Win32.h"

// Row `id` of `instance` in the user's table, whole, however long the product made it; empty
// for a missing row. Every message row is read this way: none is cut to a buffer's size.
std::wstring LoadTableText(HINSTANCE instance, UINT id);

// LoadStringW for the user's table: row `id` of `instance` into `buffer` of `capacity`
// characters, cut to fit and terminated; returns its length, 0 for a missing row. Allocates
// nothing, so that it serves the message that reports a lack of memory too, and the setting
// rows that are read into a setting's buffer.
int LoadTableString(HINSTANCE instance, UINT id, wchar_t* buffer, int capacity);
