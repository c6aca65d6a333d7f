#include "net/DownloadUrl.h"

#include "config/TextUtil.h"

std::size_t ComposedUrlCapacity(std::wstring_view baseUrl, std::wstring_view fileName) {
  return baseUrl.size() + fileName.size() + 2;
}

bool ComposeDownloadUrl(std::wstring_view baseUrl, std::wstring_view fileName, std::size_t capacity,
                        std::wstring& url) {
  if (!text::BoundedCopy(url, baseUrl, capacity)) {
    return false;
  }
  // A base that already ends in "/" gets no second one, so both spellings name the same file.
  if (!text::EndsWith(baseUrl, L'/') && !text::BoundedAppend(url, L"/", capacity)) {
    return false;
  }
  return text::BoundedAppend(url, fileName, capacity);
}
