#include "engine/result_report.h"

#include "protocol/served_names.h"

std::wstring ResultReportUrl(const std::wstring& serverUrl, const std::wstring& channel, const std::wstring& version,
                             const std::wstring& result, unsigned bucket) {
  return serverUrl + L"report/" + (channel.empty() ? std::wstring(DEFAULT_CHANNEL) : channel) + L"/" +
         (version.empty() ? L"unknown" : version) + L"/" + result + L"/bucket-" + std::to_wstring(bucket);
}
