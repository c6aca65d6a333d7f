// wintool: set-up and inspection inside a Wine prefix for the end-to-end tests. One invocation
// carries several commands, separated by a lone ";", so that one Wine start serves them all;
// each command prints one JSON line.
//
//   wintool.exe COMMAND ARGS... [; COMMAND ARGS...]...
//   wintool.exe --args-file FILE        (the same arguments, UTF-8, each ended by a NUL)
//
// Commands (ROOT is HKLM, HKCU, HKCR, HKU or their long names; --view 32|64 picks the registry
// view, default the tool's own, which is 32-bit):
//   reg-get ROOT KEY VALUE [--view N]            type and data; missing key or value: null
//   reg-set ROOT KEY VALUE TYPE DATA [--view N]  TYPE REG_SZ, REG_EXPAND_SZ or REG_DWORD
//   reg-delete-key ROOT KEY [--view N]           the key and everything below it
//   reg-delete-value ROOT KEY VALUE [--view N]
//   msi-state PRODUCTCODE                        MsiQueryProductStateW
//   msi-product-prop PRODUCTCODE PROPERTY        MsiGetProductInfoW
//   msi-products                                 every product the installer knows: code,
//                                                name, version and state
//   msi-install PATH [PROPERTIES] [--log FILE]   silent installation; the installer's result
//   version-info FILE                            the version resource as Explorer shows it
//   msi-remove PRODUCTCODE [--log FILE]          silent removal; the installer's result
//   msi-reinstall PRODUCTCODE MODE [--log FILE]  silent repair (MODE as msiexec /f takes it,
//                                                e.g. vomus); the installer's result
//   acl PATH                                     the owner and access list of a file or folder,
//                                                as read back by GetNamedSecurityInfoW, in SDDL
//   add-root-cert FILE                           DER or PEM certificate into the machine's Root
//   root-cert-present FILE                       whether that certificate is in the machine's Root
//   file-exists PATH | ls DIR | delete PATH      (delete removes folders with their contents)
//   url-cache                                    every entry of the user's URL cache (URL, file)
//   wow64 | sysdir | temp | version
//   attack [--replace-only] STOP LIMIT PATH=REPLACEMENT[=RELEASE]...
//                                                the attacker of the hold tests (see Attack);
//                                                a "*" in PATH stands for any one folder, one
//                                                in its file name for any characters there
//   hold-and-swap PATH REPLACEMENT READY LOG MARK GO DONE
//                                                the attacker of a program's own file (see
//                                                HoldAndSwap)
// The exit code is 0 when every command could be carried out (a missing registry value is an
// answer, not a failure) and 1 otherwise.

// <windows.h>, which HarnessCommon.h includes, must come before the other system headers.
// clang-format off
#include "HarnessCommon.h"
#include "FileAttack.h"
#include <aclapi.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>
#include <wincrypt.h>
#include <wininet.h>
// clang-format on

#include <algorithm>
#include <map>

using harness::JsonWriter;

namespace {

using Args = std::vector<std::wstring>;

struct RootName {
  const wchar_t* shortName;
  const wchar_t* longName;
  HKEY key;
};
const RootName kRoots[] = {
    {L"HKLM", L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {L"HKCU", L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {L"HKCR", L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {L"HKU", L"HKEY_USERS", HKEY_USERS},
};

// Thrown only inside this file, for a command that is written wrongly; reported as that
// command's error line.
struct UsageError {
  std::string message;
};

HKEY RootFromName(const std::wstring& name) {
  for (const auto& r : kRoots) {
    if (_wcsicmp(name.c_str(), r.shortName) == 0 || _wcsicmp(name.c_str(), r.longName) == 0) {
      return r.key;
    }
  }
  throw UsageError{"unknown registry root"};
}

// Takes "NAME VALUE" out of the arguments and returns VALUE; empty when NAME is not there.
std::wstring TakeOption(Args& args, const wchar_t* name) {
  const auto at = std::find(args.begin(), args.end(), name);
  if (at == args.end()) return {};
  if (at + 1 == args.end()) throw UsageError{"option without value"};
  std::wstring v = *(at + 1);
  args.erase(at, at + 2);
  return v;
}

// Takes "--view N" out of the arguments and returns the access flag it stands for.
REGSAM TakeView(Args& args) {
  const bool given = std::find(args.begin(), args.end(), L"--view") != args.end();
  const std::wstring v = given && args.back() != L"--view" ? TakeOption(args, L"--view") : L"";
  if (v == L"32") return KEY_WOW64_32KEY;
  if (v == L"64") return KEY_WOW64_64KEY;
  if (given) throw UsageError{"--view needs 32 or 64"};
  return 0;
}

void Expect(const Args& args, size_t min, size_t max) {
  if (args.size() < min || args.size() > max) throw UsageError{"wrong number of arguments"};
}

class Key {
 public:
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (h_) RegCloseKey(h_);
  }
  HKEY* Out() { return &h_; }
  HKEY Get() const { return h_; }

 private:
  HKEY h_ = nullptr;
};

const wchar_t* TypeName(DWORD type) {
  const std::pair<DWORD, const wchar_t*> kNames[] = {
      {REG_SZ, L"REG_SZ"},       {REG_EXPAND_SZ, L"REG_EXPAND_SZ"}, {REG_DWORD, L"REG_DWORD"},
      {REG_QWORD, L"REG_QWORD"}, {REG_MULTI_SZ, L"REG_MULTI_SZ"},   {REG_BINARY, L"REG_BINARY"},
      {REG_NONE, L"REG_NONE"},
  };
  for (const auto& [value, name] : kNames) {
    if (value == type) return name;
  }
  return L"other";
}

// Each command writes its own fields after "cmd" and returns whether it could be carried out.
bool RegGet(Args a, JsonWriter& j) {
  REGSAM view = TakeView(a);
  Expect(a, 3, 3);
  Key key;
  LONG rc = RegOpenKeyExW(RootFromName(a[0]), a[1].c_str(), 0, KEY_QUERY_VALUE | view, key.Out());
  DWORD type = 0, size = 0;
  if (rc == ERROR_SUCCESS) {
    rc = RegQueryValueExW(key.Get(), a[2].c_str(), nullptr, &type, nullptr, &size);
  }
  std::vector<BYTE> data(size + 4, 0);  // room for a terminator the value may lack
  if (rc == ERROR_SUCCESS) {
    rc = RegQueryValueExW(key.Get(), a[2].c_str(), nullptr, &type, data.data(), &size);
  }
  j.Key("code").Number(rc);
  if (rc == ERROR_FILE_NOT_FOUND) {
    j.Key("type").Null().Key("data").Null();
    return true;
  }
  if (rc != ERROR_SUCCESS) {
    return false;
  }
  j.Key("type").String(TypeName(type)).Key("data");
  const wchar_t* text = reinterpret_cast<const wchar_t*>(data.data());
  size_t chars = size / sizeof(wchar_t);
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
      std::wstring s(text, chars);
      while (!s.empty() && s.back() == L'\0') s.pop_back();
      j.String(s);
      break;
    }
    case REG_MULTI_SZ: {
      j.BeginArray();
      for (size_t i = 0; i < chars && text[i];) {
        std::wstring s(text + i);
        j.String(s);
        i += s.size() + 1;
      }
      j.EndArray();
      break;
    }
    case REG_DWORD:
    case REG_QWORD: {
      unsigned long long v = 0;  // little-endian: a DWORD fills the low half
      memcpy(&v, data.data(), type == REG_DWORD ? sizeof(DWORD) : sizeof v);
      j.Unsigned(v);
      break;
    }
    default: {
      std::wstring hex;
      wchar_t two[3];
      for (DWORD i = 0; i < size; ++i) {
        swprintf(two, 3, L"%02x", data[i]);
        hex += two;
      }
      j.String(hex);
    }
  }
  return true;
}

bool RegSet(Args a, JsonWriter& j) {
  REGSAM view = TakeView(a);
  Expect(a, 5, 5);
  Key key;
  LONG rc = RegCreateKeyExW(RootFromName(a[0]), a[1].c_str(), 0, nullptr, 0, KEY_SET_VALUE | view,
                            nullptr, key.Out(), nullptr);
  if (rc == ERROR_SUCCESS) {
    const std::wstring& type = a[3];
    if (type == L"REG_SZ" || type == L"REG_EXPAND_SZ") {
      rc = RegSetValueExW(key.Get(), a[2].c_str(), 0, type == L"REG_SZ" ? REG_SZ : REG_EXPAND_SZ,
                          reinterpret_cast<const BYTE*>(a[4].c_str()),
                          static_cast<DWORD>((a[4].size() + 1) * sizeof(wchar_t)));
    } else if (type == L"REG_DWORD") {
      std::uint32_t v = 0;
      if (!harness::ParseUnsigned32(a[4], v)) throw UsageError{"REG_DWORD needs a number"};
      DWORD d = v;
      rc = RegSetValueExW(key.Get(), a[2].c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&d),
                          sizeof d);
    } else {
      throw UsageError{"type must be REG_SZ, REG_EXPAND_SZ or REG_DWORD"};
    }
  }
  j.Key("code").Number(rc);
  return rc == ERROR_SUCCESS;
}

bool RegDeleteKey(Args a, JsonWriter& j) {
  REGSAM view = TakeView(a);
  Expect(a, 2, 2);
  HKEY root = RootFromName(a[0]);
  LONG rc;
  {
    Key key;
    rc = RegOpenKeyExW(root, a[1].c_str(), 0, KEY_ALL_ACCESS | view, key.Out());
    if (rc == ERROR_SUCCESS) {
      // Empties the key; the key itself goes below, in the chosen view.
      rc = RegDeleteTreeW(key.Get(), nullptr);
    }
  }
  if (rc == ERROR_SUCCESS) {
    rc = RegDeleteKeyExW(root, a[1].c_str(), view, 0);
  }
  j.Key("code").Number(rc).Key("existed").Bool(rc != ERROR_FILE_NOT_FOUND);
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

bool RegDeleteValue(Args a, JsonWriter& j) {
  REGSAM view = TakeView(a);
  Expect(a, 3, 3);
  Key key;
  LONG rc = RegOpenKeyExW(RootFromName(a[0]), a[1].c_str(), 0, KEY_SET_VALUE | view, key.Out());
  if (rc == ERROR_SUCCESS) {
    rc = RegDeleteValueW(key.Get(), a[2].c_str());
  }
  j.Key("code").Number(rc).Key("existed").Bool(rc != ERROR_FILE_NOT_FOUND);
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

bool MsiState(Args a, JsonWriter& j) {
  Expect(a, 1, 1);
  j.Key("state").Number(MsiQueryProductStateW(a[0].c_str()));
  return true;
}

// MsiGetProductInfoW's result, and the value when it is ERROR_SUCCESS.
UINT ProductInfo(const std::wstring& product, const wchar_t* property, std::wstring& value) {
  DWORD size = 0;
  UINT rc = MsiGetProductInfoW(product.c_str(), property, nullptr, &size);
  value.clear();
  if (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
    value.resize(size + 1);
    size = static_cast<DWORD>(value.size());
    rc = MsiGetProductInfoW(product.c_str(), property, &value[0], &size);
    value.resize(rc == ERROR_SUCCESS ? size : 0);
  }
  return rc;
}

bool MsiProductProp(Args a, JsonWriter& j) {
  Expect(a, 2, 2);
  std::wstring value;
  const UINT rc = ProductInfo(a[0], a[1].c_str(), value);
  j.Key("code").Unsigned(rc).Key("value");
  rc == ERROR_SUCCESS ? j.String(value) : j.Null();
  // An unknown product or property is an answer.
  return rc == ERROR_SUCCESS || rc == ERROR_UNKNOWN_PRODUCT || rc == ERROR_UNKNOWN_PROPERTY;
}

// Every product the installer knows, as Programs and Features lists them: code, name, version
// and state. A name or version the installer cannot give is null.
bool MsiProducts(Args a, JsonWriter& j) {
  Expect(a, 0, 0);
  j.Key("products").BeginArray();
  wchar_t code[39];
  UINT rc = ERROR_SUCCESS;
  for (DWORD i = 0; (rc = MsiEnumProductsW(i, code)) == ERROR_SUCCESS; ++i) {
    j.BeginObject().Key("code").String(code);
    std::wstring value;
    for (const auto& [key, property] : {std::pair{"name", INSTALLPROPERTY_PRODUCTNAME},
                                        std::pair{"version", INSTALLPROPERTY_VERSIONSTRING}}) {
      j.Key(key);
      ProductInfo(code, property, value) == ERROR_SUCCESS ? j.String(value) : j.Null();
    }
    j.Key("state").Number(MsiQueryProductStateW(code)).EndObject();
  }
  j.EndArray().Key("code").Unsigned(rc == ERROR_NO_MORE_ITEMS ? 0 : rc);
  return rc == ERROR_NO_MORE_ITEMS;
}

// Runs one silent installer action, logged verbosely to --log FILE when given, and reports the
// installer's result; MIN to MAX arguments besides --log.
template <typename Action>
bool QuietInstaller(Args& a, size_t min, size_t max, JsonWriter& j, Action action) {
  const std::wstring log = TakeOption(a, L"--log");
  Expect(a, min, max);
  MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
  if (!log.empty()) {
    MsiEnableLogW(INSTALLLOGMODE_VERBOSE, log.c_str(), 0);
  }
  j.Key("code").Unsigned(action());
  return true;
}

bool MsiInstall(Args a, JsonWriter& j) {
  return QuietInstaller(a, 1, 2, j, [&] {
    return MsiInstallProductW(a[0].c_str(), a.size() > 1 ? a[1].c_str() : L"");
  });
}

bool MsiRemove(Args a, JsonWriter& j) {
  return QuietInstaller(a, 1, 1, j, [&] {
    return MsiConfigureProductExW(a[0].c_str(), INSTALLLEVEL_DEFAULT, INSTALLSTATE_ABSENT,
                                  L"REBOOT=ReallySuppress");
  });
}

// The letters of msiexec /f, each a REINSTALLMODE flag.
DWORD ReinstallMode(const std::wstring& letters) {
  const std::pair<wchar_t, DWORD> kFlags[] = {
      {L'p', REINSTALLMODE_FILEMISSING},      {L'o', REINSTALLMODE_FILEOLDERVERSION},
      {L'e', REINSTALLMODE_FILEEQUALVERSION}, {L'd', REINSTALLMODE_FILEEXACT},
      {L'c', REINSTALLMODE_FILEVERIFY},       {L'a', REINSTALLMODE_FILEREPLACE},
      {L'u', REINSTALLMODE_USERDATA},         {L'm', REINSTALLMODE_MACHINEDATA},
      {L's', REINSTALLMODE_SHORTCUT},         {L'v', REINSTALLMODE_PACKAGE},
  };
  DWORD mode = 0;
  for (const wchar_t letter : letters) {
    const auto found = std::find_if(std::begin(kFlags), std::end(kFlags),
                                    [letter](const auto& flag) { return flag.first == letter; });
    if (found == std::end(kFlags)) throw UsageError{"unknown reinstall mode letter"};
    mode |= found->second;
  }
  return mode;
}

bool MsiReinstall(Args a, JsonWriter& j) {
  return QuietInstaller(a, 2, 2, j,
                        [&] { return MsiReinstallProductW(a[0].c_str(), ReinstallMode(a[1])); });
}

bool Acl(Args a, JsonWriter& j) {
  Expect(a, 1, 1);
  const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD rc = GetNamedSecurityInfoW(a[0].c_str(), SE_FILE_OBJECT, parts, &owner, nullptr, &dacl,
                                   nullptr, &descriptor);
  j.Key("code").Unsigned(rc);
  wchar_t* text = nullptr;
  if (rc == ERROR_SUCCESS && !ConvertSecurityDescriptorToStringSecurityDescriptorW(
                                 descriptor, SDDL_REVISION_1, parts, &text, nullptr)) {
    rc = GetLastError();
  }
  j.Key("sddl");
  text != nullptr ? j.String(text) : j.Null();
  LocalFree(text);
  LocalFree(descriptor);
  return rc == ERROR_SUCCESS;
}

bool VersionInfo(Args a, JsonWriter& j) {
  Expect(a, 1, 1);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(a[0].c_str(), &ignored);
  std::vector<BYTE> data(size);
  if (size == 0 || !GetFileVersionInfoW(a[0].c_str(), 0, size, data.data())) {
    j.Key("strings").Null();  // no version resource: an answer
    return true;
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed) {
    wchar_t text[64];
    swprintf(text, 64, L"%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS),
             LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
             LOWORD(fixed->dwFileVersionLS));
    j.Key("file_version").String(text);
    swprintf(text, 64, L"%u.%u.%u.%u", HIWORD(fixed->dwProductVersionMS),
             LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS),
             LOWORD(fixed->dwProductVersionLS));
    j.Key("product_version").String(text);
  }
  WORD* translation = nullptr;
  if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation",
                      reinterpret_cast<void**>(&translation), &length) ||
      length < 4) {
    j.Key("strings").Null();
    return true;
  }
  wchar_t block[64];
  swprintf(block, 64, L"\\StringFileInfo\\%04x%04x\\", translation[0], translation[1]);
  j.Key("strings").BeginObject();
  for (const wchar_t* name : {L"ProductName", L"ProductVersion", L"CompanyName", L"FileDescription",
                              L"FileVersion", L"LegalCopyright"}) {
    wchar_t* value = nullptr;
    if (VerQueryValueW(data.data(), (std::wstring(block) + name).c_str(),
                       reinterpret_cast<void**>(&value), &length) &&
        value != nullptr) {
      j.Key(harness::ToUtf8(name).c_str()).String(value);
    }
  }
  j.EndObject();
  return true;
}

// A PEM file is recognised by its armour; anything else is taken as DER. A file that cannot be
// read is reported as the command's code.
bool LoadCertificate(const std::wstring& path, std::vector<BYTE>& der, JsonWriter& j) {
  std::string content;
  DWORD size = 0;
  bool loaded = harness::ReadWholeFile(path, content);
  if (loaded && content.find("-----BEGIN") == std::string::npos) {
    der.assign(content.begin(), content.end());
  } else if (loaded) {
    loaded = CryptStringToBinaryA(content.c_str(), static_cast<DWORD>(content.size()),
                                  CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr);
    der.resize(size);
    loaded = loaded &&
             CryptStringToBinaryA(content.c_str(), static_cast<DWORD>(content.size()),
                                  CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr);
  }
  if (!loaded) j.Key("code").Unsigned(GetLastError());
  return loaded;
}

HCERTSTORE OpenMachineRoot() {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
}

bool AddRootCert(Args a, JsonWriter& j) {
  Expect(a, 1, 1);
  std::vector<BYTE> der;
  if (!LoadCertificate(a[0], der, j)) return false;
  HCERTSTORE store = OpenMachineRoot();
  if (!store) {
    j.Key("code").Unsigned(GetLastError());
    return false;
  }
  PCCERT_CONTEXT added = nullptr;
  BOOL ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                             static_cast<DWORD>(der.size()),
                                             CERT_STORE_ADD_REPLACE_EXISTING, &added);
  DWORD code = ok ? 0 : GetLastError();
  j.Key("code").Unsigned(code);
  if (added) {
    wchar_t subject[512] = {};
    CertGetNameStringW(added, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject, 512);
    j.Key("subject").String(subject);
    CertFreeCertificateContext(added);
  }
  CertCloseStore(store, 0);
  return ok != FALSE;
}

bool RootCertPresent(Args a, JsonWriter& j) {
  Expect(a, 1, 1);
  std::vector<BYTE> der;
  if (!LoadCertificate(a[0], der, j)) return false;
  PCCERT_CONTEXT wanted =
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  HCERTSTORE store = OpenMachineRoot();
  bool present = false;
  if (wanted && store) {
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                      CERT_FIND_EXISTING, wanted, nullptr);
    present = found != nullptr;
    if (found) CertFreeCertificateContext(found);
  }
  if (store) CertCloseStore(store, 0);
  if (wanted) CertFreeCertificateContext(wanted);
  j.Key("present").Bool(present);
  return wanted != nullptr && store != nullptr;
}

bool FileExists(Args a, JsonWriter& j) {
  Expect(a, 1, 1);
  WIN32_FILE_ATTRIBUTE_DATA info{};
  bool exists = GetFileAttributesExW(a[0].c_str(), GetFileExInfoStandard, &info) != FALSE;
  j.Key("exists").Bool(exists);
  j.Key("directory").Bool(exists && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY));
  j.Key("size").Unsigned(
      exists ? (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow : 0);
  return true;
}

// The entry info of FindFirst/NextUrlCacheEntryW into a buffer that grows as asked.
using CacheEntryBuffer = std::vector<unsigned char>;
INTERNET_CACHE_ENTRY_INFOW* CacheEntry(CacheEntryBuffer& buffer) {
  return reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(buffer.data());
}

bool UrlCache(Args a, JsonWriter& j) {
  Expect(a, 0, 0);
  CacheEntryBuffer buffer(4096);
  DWORD size = static_cast<DWORD>(buffer.size());
  HANDLE find = FindFirstUrlCacheEntryW(nullptr, CacheEntry(buffer), &size);
  if (find == nullptr && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    buffer.resize(size);
    find = FindFirstUrlCacheEntryW(nullptr, CacheEntry(buffer), &size);
  }
  DWORD code = find == nullptr ? GetLastError() : 0;
  j.Key("entries").BeginArray();
  while (find != nullptr) {
    const INTERNET_CACHE_ENTRY_INFOW* entry = CacheEntry(buffer);
    j.BeginObject().Key("url").String(entry->lpszSourceUrlName ? entry->lpszSourceUrlName : L"");
    j.Key("file").String(entry->lpszLocalFileName ? entry->lpszLocalFileName : L"").EndObject();
    size = static_cast<DWORD>(buffer.size());
    if (!FindNextUrlCacheEntryW(find, CacheEntry(buffer), &size)) {
      if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
      buffer.resize(size);
      if (!FindNextUrlCacheEntryW(find, CacheEntry(buffer), &size)) break;
    }
  }
  if (find != nullptr) FindCloseUrlCache(find);
  j.EndArray();
  // An empty cache is an answer, not a failure.
  j.Key("code").Unsigned(code == ERROR_NO_MORE_ITEMS ? 0 : code);
  return code == 0 || code == ERROR_NO_MORE_ITEMS;
}

// Calls `visit` with each entry that `pattern` finds, "." and ".." apart, until it returns false.
// 0, or the error of the search.
template <typename Visit>
DWORD ForEachEntry(const std::wstring& pattern, Visit visit) {
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW(pattern.c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return GetLastError();
  bool more = true;
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") more = visit(name, entry);
  } while (more && FindNextFileW(search, &entry));
  FindClose(search);
  return 0;
}

bool ListFolder(Args a, JsonWriter& j) {
  Expect(a, 1, 1);
  struct Entry {
    std::wstring name;
    bool directory;
    unsigned long long size;
  };
  std::vector<Entry> entries;
  const DWORD code = ForEachEntry(a[0] + L"\\*", [&](const std::wstring& name, const auto& fd) {
    entries.push_back(
        {name, (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
         (static_cast<unsigned long long>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow});
    return true;
  });
  std::sort(entries.begin(), entries.end(), [](const Entry& x, const Entry& y) {
    return _wcsicmp(x.name.c_str(), y.name.c_str()) < 0;
  });
  j.Key("code").Unsigned(code).Key("entries").BeginArray();
  for (const auto& e : entries) {
    j.BeginObject().Key("name").String(e.name).Key("directory").Bool(e.directory);
    j.Key("size").Unsigned(e.size).EndObject();
  }
  j.EndArray();
  return code == 0;
}

// Removes a file or a whole folder; read-only attributes do not stop it.
DWORD DeleteTree(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError();
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return DeleteFileW(path.c_str()) ? 0 : GetLastError();
  }
  ForEachEntry(path + L"\\*", [&](const std::wstring& name, const auto&) {
    DeleteTree(path + L"\\" + name);
    return true;
  });
  return RemoveDirectoryW(path.c_str()) ? 0 : GetLastError();
}

bool Delete(Args a, JsonWriter& j) {
  Expect(a, 1, 1);
  DWORD code = DeleteTree(a[0]);
  bool missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
  j.Key("code").Unsigned(code).Key("deleted").Bool(code == 0).Key("existed").Bool(!missing);
  return code == 0 || missing;
}

bool Wow64(Args a, JsonWriter& j) {
  Expect(a, 0, 0);
  BOOL wow = FALSE;
  BOOL ok = IsWow64Process(GetCurrentProcess(), &wow);
  j.Key("wow64").Bool(ok && wow);
  return ok != FALSE;
}

bool SystemFolder(Args a, JsonWriter& j) {
  Expect(a, 0, 0);
  wchar_t path[MAX_PATH] = {};
  UINT n = GetSystemDirectoryW(path, MAX_PATH);
  j.Key("path").String(path);
  return n > 0 && n < MAX_PATH;
}

bool TempFolder(Args a, JsonWriter& j) {
  Expect(a, 0, 0);
  wchar_t path[MAX_PATH + 1] = {};
  DWORD n = GetTempPathW(MAX_PATH + 1, path);
  j.Key("path").String(path);
  return n > 0 && n <= MAX_PATH;
}

bool Version(Args a, JsonWriter& j) {
  Expect(a, 0, 0);
  OSVERSIONINFOEXW v{};
  v.dwOSVersionInfoSize = sizeof v;
  BOOL ok = GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&v));
  j.Key("major").Unsigned(v.dwMajorVersion).Key("minor").Unsigned(v.dwMinorVersion);
  j.Key("build").Unsigned(v.dwBuildNumber).Key("sp_major").Unsigned(v.wServicePackMajor);
  j.Key("sp_minor").Unsigned(v.wServicePackMinor).Key("csd").String(v.szCSDVersion);
  j.Key("product_type").Unsigned(v.wProductType);
  return ok != FALSE;
}

// hold-file PATH MARKER: opens PATH with no sharing, makes MARKER, and keeps PATH open until
// MARKER is deleted (or two minutes pass), so a test can have a file in use by another process.
bool HoldFile(Args a, JsonWriter& j) {
  Expect(a, 2, 2);
  HANDLE file = CreateFileW(a[0].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    j.Key("code").Unsigned(GetLastError());
    return false;
  }
  harness::TouchFile(a[1]);
  for (int waited = 0; waited < 120000 && harness::Exists(a[1]); waited += 20) {
    Sleep(20);
  }
  CloseHandle(file);
  j.Key("code").Unsigned(0);
  return true;
}

// Waits until `path` exists (five minutes at most); false when it never came.
bool WaitForFile(const std::wstring& path) {
  for (ULONGLONG start = GetTickCount64(); GetTickCount64() - start < 300000; Sleep(10)) {
    if (harness::Exists(path)) {
      return true;
    }
  }
  return false;
}

// The files that `path` names, with a "*" in its file name standing for any characters there:
// every file that matches, those the attacker moved away itself (".moved") apart.
std::vector<std::wstring> ResolveFileName(const std::wstring& path) {
  const size_t cut = path.rfind(L'\\');
  if (path.find(L'*', cut + 1) == std::wstring::npos) {
    return {path};
  }
  std::vector<std::wstring> found;
  ForEachEntry(path, [&](const std::wstring& name, const auto& entry) {
    const bool moved = name.size() > 6 && name.compare(name.size() - 6, 6, L".moved") == 0;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && !moved) {
      found.push_back(path.substr(0, cut + 1) + name);
    }
    return true;
  });
  return found;
}

// The files a PATH of the attacker names now: PATH itself, or with one "*" folder in it, the rest
// of PATH in the first folder there under which it exists (none when there is none yet); a "*" in
// the file name as ResolveFileName reads it.
std::vector<std::wstring> ResolveTargets(const std::wstring& path) {
  const size_t star = path.find(L"\\*\\");
  if (star == std::wstring::npos) {
    return ResolveFileName(path);
  }
  const std::wstring parent = path.substr(0, star + 1);
  const std::wstring rest = path.substr(star + 2);
  std::vector<std::wstring> found;
  ForEachEntry(parent + L"*", [&](const std::wstring& name, const auto& entry) {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      for (const std::wstring& candidate : ResolveFileName(parent + name + rest)) {
        if (harness::Exists(candidate)) found.push_back(candidate);
      }
    }
    return found.empty();
  });
  return found;
}

// attack [--replace-only] STOP LIMIT PATH=REPLACEMENT[=RELEASE]...: looks again and again for each
// file PATH and, the moment it is there (each of them, where PATH names several), tries to put a
// copy of REPLACEMENT in its place by a rename over it, and to move it away (not with
// --replace-only: an attacker that wants its file used rather than the program stopped, and
// wastes no time between two tries). After LIMIT failed attempts on
// a file it makes that file's RELEASE, if one is given (a stand-in may wait for it while the file
// is in use), and leaves the file alone: once the program has finished with a file, taking it is no
// attack. Ends when every file is done or STOP exists (five minutes at most). The copies wait
// beside STOP, outside the folders the program cleans. Reports per file the attempts, the ones that
// succeeded and the other errors.
// Whether a file is as it was: the same size and last written at the same moment.
bool SameFileState(const WIN32_FILE_ATTRIBUTE_DATA& a, const WIN32_FILE_ATTRIBUTE_DATA& b) {
  return a.nFileSizeLow == b.nFileSizeLow && a.nFileSizeHigh == b.nFileSizeHigh &&
         CompareFileTime(&a.ftLastWriteTime, &b.ftLastWriteTime) == 0;
}

bool Attack(Args a, JsonWriter& j) {
  const auto flag = std::find(a.begin(), a.end(), L"--replace-only");
  const bool replaceOnly = flag != a.end();
  if (replaceOnly) a.erase(flag);
  Expect(a, 3, 64);
  const std::wstring& stop = a[0];
  const unsigned limit = static_cast<unsigned>(std::wcstoul(a[1].c_str(), nullptr, 10));
  struct Target {
    std::wstring path, replacement, release, staging;
    unsigned attempts = 0;
    unsigned won = 0;
    std::vector<DWORD> errors;
  };
  std::vector<Target> targets;
  for (size_t i = 2; i < a.size(); ++i) {
    const size_t first = a[i].find(L'=');
    const size_t second = a[i].find(L'=', first + 1);
    if (first == std::wstring::npos) throw UsageError{"attack needs PATH=REPLACEMENT[=RELEASE]"};
    Target t;
    t.path = a[i].substr(0, first);
    t.replacement = a[i].substr(first + 1, second - first - 1);
    t.release = second == std::wstring::npos ? L"" : a[i].substr(second + 1);
    t.staging = stop + L"." + std::to_wstring(i);
    targets.push_back(t);
  }
  const auto note = [](Target& t, DWORD result) {
    ++t.attempts;
    if (result == ERROR_SUCCESS) {
      ++t.won;
    } else if (std::find(t.errors.begin(), t.errors.end(), result) == t.errors.end()) {
      t.errors.push_back(result);
    }
  };
  const ULONGLONG start = GetTickCount64();
  bool pending = true;
  // With --replace-only the files found are tried again at once, and looked for anew only when
  // the folders change: the moment between a writer letting go of a file and its next opener may
  // be very short.
  std::vector<std::vector<std::wstring>> files(targets.size());
  std::map<std::wstring, WIN32_FILE_ATTRIBUTE_DATA> replaced;
  std::vector<HANDLE> changes;
  for (Target& t : targets) {
    const size_t star = t.path.find(L'*');
    const std::wstring root = t.path.substr(0, t.path.rfind(L'\\', star));
    changes.push_back(
        replaceOnly ? FindFirstChangeNotificationW(root.c_str(), TRUE, FILE_NOTIFY_CHANGE_FILE_NAME)
                    : INVALID_HANDLE_VALUE);
  }
  while (pending && !harness::Exists(stop) && GetTickCount64() - start < 300000) {
    pending = false;
    bool found = false;
    for (size_t i = 0; i < targets.size(); ++i) {
      Target& t = targets[i];
      if (t.attempts - t.won >= limit) {
        continue;
      }
      pending = true;
      if (changes[i] == INVALID_HANDLE_VALUE || files[i].empty() ||
          WaitForSingleObject(changes[i], 0) == WAIT_OBJECT_0) {
        if (changes[i] != INVALID_HANDLE_VALUE) {
          FindNextChangeNotification(changes[i]);
        }
        files[i] = ResolveTargets(t.path);
      }
      for (const std::wstring& target : files[i]) {
        WIN32_FILE_ATTRIBUTE_DATA now;
        if (!GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &now)) {
          continue;
        }
        found = true;
        // A file that still is the replacement put there is left alone, so that the next try
        // comes the moment another writer changed it.
        const auto ours = replaced.find(target);
        if (ours != replaced.end() && SameFileState(ours->second, now)) {
          continue;
        }
        // A copy that a successful replacement used up is made again.
        if (!harness::Exists(t.staging)) {
          CopyFileW(t.replacement.c_str(), t.staging.c_str(), TRUE);
        }
        const DWORD result = attack::ReplaceByRename(target, t.staging);
        note(t, result);
        if (!replaceOnly) {
          note(t, attack::MoveAway(target));
        } else if (result == ERROR_SUCCESS &&
                   GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &now)) {
          replaced[target] = now;
        }
      }
      if (t.attempts - t.won >= limit && !t.release.empty()) {
        harness::TouchFile(t.release);
      }
    }
    if (!found && changes[0] != INVALID_HANDLE_VALUE) {
      // Woken at once by a change in the folders of the first PATH.
      WaitForSingleObject(changes[0], 1);
    } else if (!found) {
      Sleep(1);
    }
  }
  for (HANDLE change : changes) {
    if (change != INVALID_HANDLE_VALUE) {
      FindCloseChangeNotification(change);
    }
  }
  j.Key("targets").BeginArray();
  for (const Target& t : targets) {
    DeleteFileW(t.staging.c_str());
    j.BeginObject().Key("path").String(t.path);
    j.Key("attempts").Unsigned(t.attempts).Key("won").Unsigned(t.won).Key("errors").BeginArray();
    for (DWORD e : t.errors) j.Unsigned(e);
    j.EndArray().EndObject();
  }
  j.EndArray();
  return true;
}

// Whether the file `path`, read whoever else has it open, holds the 8-bit text `text`.
bool FileHoldsText(const std::wstring& path, const std::string& text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  std::string content(GetFileSize(file, nullptr), '\0');
  DWORD read = 0;
  const bool done =
      ReadFile(file, content.data(), static_cast<DWORD>(content.size()), &read, nullptr) != FALSE;
  CloseHandle(file);
  return done && content.find(text) != std::string::npos;
}

// hold-and-swap PATH REPLACEMENT READY LOG MARK GO DONE: the attacker of a program's own file. It
// opens PATH for deleting, sharing everything, before the program starts (READY tells the test),
// so that the program cannot take a hold of its own that keeps renames out; once the program's
// LOG holds MARK, a line it writes after that attempt, it lets go again, so that whatever the
// program reads by the path later sees a file nobody holds; once GO exists (the program is
// busy), it renames PATH away and copies REPLACEMENT to PATH, then makes DONE. Reports the
// open's, the rename's and the copy's results.
bool HoldAndSwap(Args a, JsonWriter& j) {
  Expect(a, 7, 7);
  const std::wstring &path = a[0], &replacement = a[1];
  HANDLE held = CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD opened = held == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  harness::TouchFile(a[2]);
  const std::string mark(a[4].begin(), a[4].end());
  for (ULONGLONG start = GetTickCount64();
       !FileHoldsText(a[3], mark) && GetTickCount64() - start < 300000; Sleep(2)) {
  }
  if (held != INVALID_HANDLE_VALUE) {
    CloseHandle(held);
  }
  const bool go = WaitForFile(a[5]);
  const DWORD moved = attack::MoveAway(path);
  const DWORD copied = CopyFileW(replacement.c_str(), path.c_str(), TRUE) ? 0 : GetLastError();
  harness::TouchFile(a[6]);
  j.Key("opened").Unsigned(opened).Key("go").Bool(go);
  j.Key("moved").Unsigned(moved).Key("copied").Unsigned(copied);
  return opened == ERROR_SUCCESS;
}

using Command = bool (*)(Args, JsonWriter&);
const std::map<std::wstring, Command> kCommands = {
    {L"reg-get", RegGet},
    {L"reg-set", RegSet},
    {L"reg-delete-key", RegDeleteKey},
    {L"reg-delete-value", RegDeleteValue},
    {L"msi-state", MsiState},
    {L"msi-product-prop", MsiProductProp},
    {L"msi-products", MsiProducts},
    {L"msi-install", MsiInstall},
    {L"msi-remove", MsiRemove},
    {L"msi-reinstall", MsiReinstall},
    {L"acl", Acl},
    {L"version-info", VersionInfo},
    {L"add-root-cert", AddRootCert},
    {L"root-cert-present", RootCertPresent},
    {L"file-exists", FileExists},
    {L"ls", ListFolder},
    {L"url-cache", UrlCache},
    {L"delete", Delete},
    {L"wow64", Wow64},
    {L"sysdir", SystemFolder},
    {L"temp", TempFolder},
    {L"version", Version},
    {L"hold-file", HoldFile},
    {L"attack", Attack},
    {L"hold-and-swap", HoldAndSwap},
};

bool RunCommand(const Args& words) {
  JsonWriter j;
  j.BeginObject().Key("cmd").String(words.empty() ? L"" : words[0]);
  bool ok = false;
  auto found = words.empty() ? kCommands.end() : kCommands.find(words[0]);
  if (found == kCommands.end()) {
    j.Key("error").Ascii("unknown command");
  } else {
    try {
      ok = found->second(Args(words.begin() + 1, words.end()), j);
    } catch (const UsageError& e) {
      j.Key("error").Ascii(e.message.c_str());
    }
  }
  j.Key("ok").Bool(ok).EndObject();
  harness::PrintLine(j.Text());
  return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Args args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == L"--args-file") {
    Args fromFile;
    if (!harness::ReadArgumentFile(args[1], fromFile)) {
      std::fwprintf(stderr, L"wintool: cannot read %ls\n", args[1].c_str());
      return 2;
    }
    args = std::move(fromFile);
  }
  bool allOk = true;
  Args command;
  for (size_t i = 0; i <= args.size(); ++i) {
    if (i == args.size() || args[i] == L";") {
      if (!command.empty()) allOk = RunCommand(command) && allOk;
      command.clear();
    } else {
      command.push_back(args[i]);
    }
  }
  return allOk ? 0 : 1;
}
