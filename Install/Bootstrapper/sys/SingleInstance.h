// The name of the global mutex that keeps a second instance of the bootstrapper out.
#pragma once

inline constexpr wchar_t kSingleInstanceMutexName[] =
    L"Global\\_MSISETUP_{2956EBA1-9B5A-4679-8618-357136DA66CA}";
