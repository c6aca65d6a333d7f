#include "payload/ContentDigest.h"

namespace {

// kSha256. Windows XP has it from Service Pack 3 on, but the headers declare it only for a
// later target than the program's.
constexpr ALG_ID kSha256 = ALG_CLASS_HASH | ALG_TYPE_ANY | 12;

}  // namespace

DWORD ContentDigest::Begin() {
  Release();
  // A provider with no keys of its own: only its hashes are wanted. SHA-256 comes with the AES
  // provider type, which Windows XP has from Service Pack 3 on.
  if (!CryptAcquireContextW(&provider_, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
    provider_ = 0;
    return LastErrorOr(NTE_PROV_TYPE_NOT_DEF);
  }
  if (!CryptCreateHash(provider_, kSha256, 0, 0, &hash_)) {
    const DWORD error = LastErrorOr(NTE_BAD_ALGID);
    hash_ = 0;
    Release();
    return error;
  }
  return ERROR_SUCCESS;
}

DWORD ContentDigest::Add(const void* bytes, DWORD size) {
  if (hash_ == 0) {
    return ERROR_INVALID_HANDLE;
  }
  return CryptHashData(hash_, static_cast<const BYTE*>(bytes), size, 0) ? ERROR_SUCCESS
                                                                        : LastErrorOr(NTE_BAD_HASH);
}

DWORD ContentDigest::Finish(Value& value) {
  if (hash_ == 0) {
    return ERROR_INVALID_HANDLE;
  }
  DWORD size = static_cast<DWORD>(value.size());
  const bool done = CryptGetHashParam(hash_, HP_HASHVAL, value.data(), &size, 0) != FALSE;
  const DWORD error = done ? ERROR_SUCCESS : LastErrorOr(NTE_BAD_HASH);
  Release();
  return error != ERROR_SUCCESS || size == value.size() ? error : NTE_BAD_LEN;
}

void ContentDigest::Release() {
  if (hash_ != 0) {
    CryptDestroyHash(hash_);
    hash_ = 0;
  }
  if (provider_ != 0) {
    CryptReleaseContext(provider_, 0);
    provider_ = 0;
  }
}
