#include "prereq/RuntimeCommandLine.h"

#include <algorithm>

#include "config/TextUtil.h"

namespace runtime {

bool ComposeRedistributablePath(std::wstring_view tempFolder, std::wstring_view fileName,
                                std::wstring& path) {
  return text::BoundedCopy(path, tempFolder, kPathCapacity) &&
         text::BoundedAppend(path, fileName, kPathCapacity);
}

bool ComposeRedistributableCommandLine(std::wstring_view path, std::wstring_view arguments,
                                       std::wstring& commandLine) {
  std::wstring quotedArguments(arguments);
  std::replace(quotedArguments.begin(), quotedArguments.end(), L'\'', L'"');
  return text::BoundedCopy(commandLine, L"\"", kCommandLineCapacity) &&
         text::BoundedAppend(commandLine, path, kCommandLineCapacity) &&
         text::BoundedAppend(commandLine, L"\" ", kCommandLineCapacity) &&
         text::BoundedAppend(commandLine, quotedArguments, kCommandLineCapacity);
}

}  // namespace runtime
