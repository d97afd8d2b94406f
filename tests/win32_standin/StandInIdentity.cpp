// Who the program runs as: its token and the SIDs in it, as text.
#include <cstring>

#include "StandInState.h"

namespace standin::detail {
namespace {

constexpr char kOwnUser[] = "S-1-5-21-7-7-7-1001";  // an administrator

HANDLE AddToken(const std::string &user, DWORD access) {
  Object token;
  token.kind = ObjectKind::Token;
  token.user = user;
  token.access = access;
  return AddHandle(token);
}

Object *Token(HANDLE handle) {
  Object *object = FindHandle(handle);
  return object && object->kind == ObjectKind::Token ? object : nullptr;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace
}  // namespace standin::detail

using namespace standin;
using namespace standin::detail;

HANDLE GetCurrentProcess() {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
}

BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  if (process != GetCurrentProcess()) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  *token = AddToken(kOwnUser, access);
  return TRUE;
}

BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID information, DWORD length,
                         LPDWORD needed) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Object *object = Token(token);
  if (object == nullptr || !(object->access & TOKEN_QUERY) || kind != TokenUser) {
    return Fail(object ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
  }
  // The SID's text follows the record, in the caller's buffer.
  *needed = static_cast<DWORD>(sizeof(TOKEN_USER) + object->user.size() + 1);
  if (length < *needed) {
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  auto *user = static_cast<TOKEN_USER *>(information);
  char *sid = reinterpret_cast<char *>(user + 1);
  std::memcpy(sid, object->user.c_str(), object->user.size() + 1);
  user->User = SID_AND_ATTRIBUTES{sid, 0};
  return TRUE;
}

BOOL ConvertSidToStringSidW(PSID sid, LPWSTR *text) {
  *text = WideCopy(static_cast<const char *>(sid));
  return TRUE;
}
