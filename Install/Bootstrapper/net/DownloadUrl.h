// The URL of a file below a base URL: the base, one "/" between, the file name. Pure: no Windows
// headers, compiled into setup.exe and into the host-native tests.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Characters of the buffer a composed URL is built in: both parts, room for the "/" between them
// and the terminator.
std::size_t ComposedUrlCapacity(std::wstring_view baseUrl, std::wstring_view fileName);

// `baseUrl`, then "/" unless it already ends in one, then `fileName`, built by bounded copy and
// append in a buffer of `capacity` characters including the terminator. False when a step does
// not fit; `url` then holds the text so far, cut to the buffer.
bool ComposeDownloadUrl(std::wstring_view baseUrl, std::wstring_view fileName, std::size_t capacity,
                        std::wstring& url);
