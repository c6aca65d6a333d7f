#include "config/ProductOptions.h"

#include "res/ResourceIds.h"

namespace {

constexpr wchar_t kOptionRuntime[] = L"RUNTIME";
constexpr wchar_t kOptionXmlParser[] = L"XMLPARSER";
constexpr wchar_t kOptionRuntimeDetail[] = L"RUNTIME_DETAIL";
constexpr wchar_t kOptionFeatures[] = L"FEATURES";
constexpr wchar_t kOptionDrivers[] = L"DRIVERS";
constexpr wchar_t kOptionFeatureProperties[] = L"FEATURE_PROPERTIES";
constexpr wchar_t kOff[] = L"off";
constexpr wchar_t kDefaultRuntimeDetail[] = L"Updating 2008 SP1 CRT";

// The text of option `name`, up to its terminator or the end of the resource; false when the
// executable does not carry it.
bool ReadOption(HMODULE module, const wchar_t* name, std::wstring& value) {
  HRSRC entry = FindResourceW(module, name, MAKEINTRESOURCEW(RT_PRODUCT_OPTION));
  HGLOBAL loaded = entry != nullptr ? LoadResource(module, entry) : nullptr;
  // Resources live in the mapped image and are never freed: nothing to release here.
  const auto* text =
      loaded != nullptr ? static_cast<const wchar_t*>(LockResource(loaded)) : nullptr;
  if (text == nullptr) {
    return false;
  }
  const std::size_t units = SizeofResource(module, entry) / sizeof(wchar_t);
  std::size_t length = 0;
  while (length < units && text[length] != L'\0') {
    ++length;
  }
  value.assign(text, length);
  return true;
}

bool IsOff(HMODULE module, const wchar_t* name) {
  std::wstring value;
  return ReadOption(module, name, value) && value == kOff;
}

}  // namespace

ProductOptions LoadProductOptions(HMODULE module) {
  ProductOptions options;
  options.runtime = !IsOff(module, kOptionRuntime);
  options.xmlParser = !IsOff(module, kOptionXmlParser);
  if (!ReadOption(module, kOptionRuntimeDetail, options.runtimeDetail)) {
    options.runtimeDetail = kDefaultRuntimeDetail;
  }
  FeatureSelectionPieces& pieces = options.featureSelection;
  options.hasFeatureSelection = ReadOption(module, kOptionFeatures, pieces.features);
  if (options.hasFeatureSelection) {
    ReadOption(module, kOptionDrivers, pieces.drivers);
    ReadOption(module, kOptionFeatureProperties, pieces.properties);
  }
  return options;
}
