#include "file/FolderTrust.h"

#include <cstdint>
#include <cwchar>

#include "platform/Handle.h"

namespace {

constexpr wchar_t kTrustedInstaller[] = L"S-1-5-80-956008885-3425870976-2724470633-1187018009-3431930357";

// Add a file, add a folder, delete a child, write attributes (a mount point
// needs no more), delete, write the access list, take ownership, generic
// write and all.
constexpr std::uint32_t kChangingRights =
    0x2u | 0x4u | 0x40u | 0x100u | 0x10000u | 0x40000u | 0x80000u | 0x10000000u | 0x40000000u;

struct Right {
  wchar_t code[3];
  std::uint32_t mask;
};

// The two-letter codes the system writes for a mask it does not print in
// hexadecimal: generic and standard rights, the file and key groups, and
// the single rights under their directory-service names.
constexpr Right kRights[] = {
    {L"GA", 0x10000000u}, {L"GR", 0x80000000u}, {L"GW", 0x40000000u}, {L"GX", 0x20000000u},
    {L"RC", 0x20000u},    {L"SD", 0x10000u},    {L"WD", 0x40000u},    {L"WO", 0x80000u},
    {L"FA", 0x1F01FFu},   {L"FR", 0x120089u},   {L"FW", 0x120116u},   {L"FX", 0x1200A0u},
    {L"KA", 0xF003Fu},    {L"KR", 0x20019u},    {L"KW", 0x20006u},    {L"KX", 0x20019u},
    {L"CC", 0x1u},        {L"DC", 0x2u},        {L"LC", 0x4u},        {L"SW", 0x8u},
    {L"RP", 0x10u},       {L"WP", 0x20u},       {L"DT", 0x40u},       {L"LO", 0x80u},
    {L"CR", 0x100u},
};

// Entry types that grant, and those that grant nothing (deny, audit,
// alarm, label, policy, attribute).
constexpr const wchar_t *kGranting[] = {L"A", L"OA", L"XA", L"ZA"};
constexpr const wchar_t *kNotGranting[] = {L"D",  L"OD", L"XD", L"AU", L"AL", L"OU",
                                           L"OL", L"XU", L"ML", L"SP", L"RA"};

template <std::size_t N>
bool OneOf(const std::wstring &text, const wchar_t *const (&list)[N]) {
  for (const wchar_t *item : list) {
    if (text == item) {
      return true;
    }
  }
  return false;
}

// "0x1301bf", or two-letter codes run together ("GXGR"); false for anything
// else.
bool ParseRights(const std::wstring &text, std::uint32_t &mask) {
  mask = 0;
  if (text.compare(0, 2, L"0x") == 0 || text.compare(0, 2, L"0X") == 0) {
    wchar_t *end = nullptr;
    mask = static_cast<std::uint32_t>(std::wcstoul(text.c_str(), &end, 16));
    return text.size() > 2 && *end == L'\0';
  }
  if (text.empty() || text.size() % 2 != 0) {
    return false;
  }
  for (std::size_t at = 0; at < text.size(); at += 2) {
    bool known = false;
    for (const Right &right : kRights) {
      if (text.compare(at, 2, right.code) == 0) {
        mask |= right.mask;
        known = true;
      }
    }
    if (!known) {
      return false;
    }
  }
  return true;
}

// Entry flags are two-letter codes run together ("OICIIO").
bool InheritOnly(const std::wstring &flags) {
  for (std::size_t at = 0; at + 1 < flags.size(); at += 2) {
    if (flags.compare(at, 2, L"IO") == 0) {
      return true;
    }
  }
  return false;
}

// The owner's rights entry (OW) speaks of the owner, who must be trusted.
bool Trusted(const std::wstring &sid, const std::wstring &ownUserSid) {
  return sid == L"SY" || sid == L"S-1-5-18" || sid == L"BA" || sid == L"S-1-5-32-544" ||
         sid == kTrustedInstaller || sid == L"OW" || (!ownUserSid.empty() && sid == ownUserSid);
}

// One entry, the text between its parentheses: "type;flags;rights;object;
// inherited object;sid" and, for a conditional entry, ";(condition)".
bool EntryIsTrusted(const std::wstring &entry, const std::wstring &ownUserSid) {
  std::wstring fields[6];
  std::size_t from = 0;
  for (int i = 0; i < 6; ++i) {
    const std::size_t end = entry.find(L';', from);
    if (end == std::wstring::npos && i < 5) {
      return false;
    }
    fields[i] = entry.substr(from, end - from);  // the last field runs to the end or the condition
    from = end + 1;
  }
  if (!OneOf(fields[0], kGranting)) {
    return OneOf(fields[0], kNotGranting);
  }
  std::uint32_t mask = 0;
  if (!ParseRights(fields[2], mask)) {
    return false;
  }
  return InheritOnly(fields[1]) || (mask & kChangingRights) == 0 || Trusted(fields[5], ownUserSid);
}

}  // namespace

bool FolderAdmitsOnlyTrusted(const std::wstring &sddl, const std::wstring &ownUserSid) {
  const std::size_t dacl = sddl.find(L"D:", 2);
  if (sddl.compare(0, 2, L"O:") != 0 || dacl == std::wstring::npos ||
      !Trusted(sddl.substr(2, dacl - 2), ownUserSid)) {
    return false;
  }
  std::size_t at = sddl.find(L'(', dacl);
  if (sddl.substr(dacl, at - dacl).find(L"NO_ACCESS_CONTROL") != std::wstring::npos) {
    return false;  // no list: everyone may do anything
  }
  while (at < sddl.size() && sddl[at] == L'(') {
    // A condition holds parentheses of its own.
    int depth = 0;
    std::size_t end = at;
    for (; end < sddl.size(); ++end) {
      depth += sddl[end] == L'(' ? 1 : sddl[end] == L')' ? -1 : 0;
      if (depth == 0) {
        break;
      }
    }
    if (end == sddl.size() || !EntryIsTrusted(sddl.substr(at + 1, end - at - 1), ownUserSid)) {
      return false;
    }
    at = end + 1;
  }
  // Nothing may follow the list but an audit list.
  return at >= sddl.size() || sddl.compare(at, 2, L"S:") == 0;
}

std::wstring TokenUserSid(HANDLE token) {
  alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  LPWSTR text = nullptr;
  if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) ||
      !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, &text)) {
    return {};
  }
  const std::wstring sid(text);
  LocalFree(text);
  return sid;
}

std::wstring OwnUserSid() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
    return {};
  }
  const CHandle token(raw);
  return TokenUserSid(token.Get());
}

bool HandleAdmitsOnlyTrusted(HANDLE object) {
  constexpr SECURITY_INFORMATION kWhat = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(object, SE_FILE_OBJECT, kWhat, nullptr, nullptr, nullptr, nullptr, &descriptor) !=
      ERROR_SUCCESS) {
    return false;
  }
  LPWSTR text = nullptr;
  const BOOL converted = ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                                              kWhat, &text, nullptr);
  LocalFree(descriptor);
  if (!converted) {
    return false;
  }
  const std::wstring sddl(text);
  LocalFree(text);
  return FolderAdmitsOnlyTrusted(sddl, OwnUserSid());
}
