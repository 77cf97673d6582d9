#include "engine/run_errors.h"

#include "engine/update_client.h"
#include "services/http.h"

namespace {

struct ErrorCodeText {
  int code;
  const wchar_t* name;
  const wchar_t* meaning;
};

// Code 10 is shared: a check and a download are cancelled alike.
const ErrorCodeText ERROR_CODES[] = {
    {HTTP_SHORT_BODY, L"HTTP_SHORT_BODY", L"the transfer ended before the announced length"},
    {HTTP_CANNOT_CREATE, L"HTTP_CANNOT_CREATE", L"the local file cannot be created"},
    {HTTP_WRITE_FAILED, L"HTTP_WRITE_FAILED", L"a write failed although the drive has room"},
    {CHECK_NO_LIST, L"CHECK_NO_LIST", L"the file list names no files"},
    {HTTP_NO_INTERNET, L"HTTP_NO_INTERNET", L"no internet handle"},
    {HTTP_DISK_FULL, L"HTTP_DISK_FULL", L"the drive is full"},
    {HTTP_CANCELLED, L"CANCELLED", L"cancelled"},
    {CONNECT_NO_ADDRESS, L"CONNECT_NO_ADDRESS", L"the host name gives no address"},
    {HTTP_REQUEST_FAILED, L"HTTP_REQUEST_FAILED",
     L"no answer, a refused status, no length, a broken body or a stalled transfer"},
    {CONNECT_BAD_ROOT_FOLDER, L"CONNECT_BAD_ROOT_FOLDER", L"the root-folder descriptor does not unpack"},
    {DESCRIPTION_BAD_LIST, L"DESCRIPTION_BAD_LIST", L"the file list does not unpack (or unpacks past 64 MiB)"},
    {HTTP_NOT_FOUND, L"HTTP_NOT_FOUND", L"the server has no such file (404 or 410)"},
    {HTTP_CERTIFICATE, L"HTTP_CERTIFICATE", L"the https server's certificate does not verify"},
    {HTTP_STALLED, L"HTTP_STALLED", L"the address did not connect or sent nothing in time"},
    {CHECK_UNREADABLE_FILE, L"CHECK_UNREADABLE_FILE", L"an installed file cannot be read"},
    {CHECK_UNSAFE_NAME, L"CHECK_UNSAFE_NAME", L"the list names a path outside the program folder"},
    {CONNECT_NO_PROBE, L"CONNECT_NO_PROBE", L"no address of the host answered the probe"},
    {CONNECT_NO_ROOT_FOLDER, L"CONNECT_NO_ROOT_FOLDER", L"the root-folder descriptor cannot be downloaded"},
    {DESCRIPTION_NO_LIST, L"DESCRIPTION_NO_LIST", L"the file list cannot be downloaded"},
    {CONNECT_NO_STAMP, L"CONNECT_NO_STAMP", L"the root-folder descriptor has no Last-Modified time"},
    {DESCRIPTION_NO_STAMP, L"DESCRIPTION_NO_STAMP", L"the file list has no Last-Modified time"},
    {STAGE_BAD_CONTENT, L"STAGE_BAD_CONTENT", L"the content does not unpack or rebuild to the listed digest"},
    {STAGE_NO_FILE, L"STAGE_NO_FILE", L"a staging file cannot be written, read or moved"},
    {COMMIT_MOVE_FAILED, L"COMMIT_MOVE_FAILED", L"a staged file cannot be moved over the installed one"},
    {COMMIT_FILE_IN_USE, L"COMMIT_FILE_IN_USE", L"another program holds a file to replace or remove; nothing was changed"},
    {COMMIT_REMOVE_FAILED, L"COMMIT_REMOVE_FAILED", L"a file that the new version does not have cannot be removed"},
    {SELF_UPDATE_REPEATED, L"SELF_UPDATE_REPEATED", L"the list asks again for the self-update that was just made"},
    {STAGE_NO_FOLDER, L"STAGE_NO_FOLDER", L"the staging area cannot be made"},
    {HELPER_FAILED, L"HELPER_FAILED", L"the engine helper cannot be written or started"},
    {CHECK_UNVERIFIED_SELF_UPDATE, L"CHECK_UNVERIFIED_SELF_UPDATE", L"a self-update file has no CheckSum"},
    {SIGNATURE_REFUSED, L"SIGNATURE_REFUSED", L"a descriptor or list that no trusted signature vouches for"},
    {STAGE_UNVERIFIED, L"STAGE_UNVERIFIED", L"a file that is not what the signed list's SHA256 and Size say"},
};

}  // namespace

std::wstring DescribeErrorCode(int code) {
  for (const ErrorCodeText& entry : ERROR_CODES) {
    if (entry.code == code) return std::wstring(entry.name) + L" (" + entry.meaning + L")";
  }
  return L"code " + std::to_wstring(code);
}
